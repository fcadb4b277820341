#include "cli/object_path.h"

#include "cli/command.h"

#ifndef _WIN32
#include <filesystem>

#include "winapi/machine/inventory.h"
#endif

namespace tavrik::cli {
namespace {

bool IsWindowsFileName(const std::wstring& name) {
    bool drive = name.size() >= 2 && name[1] == L':' &&
                 ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z'));
    bool unc = name.size() >= 2 && name[0] == L'\\' && name[1] == L'\\';
    return drive || unc;
}

#ifndef _WIN32
// The longest drive directory that holds `path`, as a drive-form name.
std::optional<std::wstring> MapHostPath(const std::filesystem::path& path) {
    std::wstring best;
    size_t bestLength = 0;
    const std::string text = path.string();
    for (const auto& drive : winapi::machine::Drives()) {
        if (drive.directory.empty()) continue;
        std::filesystem::path root = std::filesystem::weakly_canonical(drive.directory);
        const std::string rootText = root.string();
        bool inside = text == rootText ||
                      (text.size() > rootText.size() && text.compare(0, rootText.size(), rootText) == 0 &&
                       (text[rootText.size()] == '/' || rootText == "/"));
        if (!inside || rootText.size() < bestLength) continue;
        std::string rest = text.substr(rootText.size());
        std::wstring name;
        name += static_cast<wchar_t>(towupper(drive.letter));
        name += L":";
        std::wstring wideRest = FromConsole(rest);
        for (auto& c : wideRest)
            if (c == L'/') c = L'\\';
        if (wideRest.empty() || wideRest[0] != L'\\') name += L'\\';
        name += wideRest;
        best = name;
        bestLength = rootText.size();
    }
    if (bestLength == 0 && best.empty()) return std::nullopt;
    return best;
}
#endif

}  // namespace

std::string SuggestObjectType(const std::wstring& name) {
    if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) return {};
#ifndef _WIN32
    auto named = [&name](const std::vector<winapi::machine::NamedObjectInfo>& objects) {
        auto upper = [](std::wstring text) {
            for (auto& c : text) c = static_cast<wchar_t>(towupper(c));
            return text;
        };
        for (const auto& object : objects)
            if (upper(object.name) == upper(name)) return true;
        return false;
    };
    const std::string typed = ToConsole(name);
    try {
        if (named(winapi::machine::Services())) return "'" + typed + "' is a service: add --type service";
        if (named(winapi::machine::Printers())) return "'" + typed + "' is a printer: add --type printer";
        if (named(winapi::machine::Shares())) return "'" + typed + "' is a share: add --type share";
    } catch (const std::exception&) {
        // A computer that cannot be read has nothing to suggest.
    }
#endif
    return "for a service, printer or share give --type service, --type printer or --type share";
}

std::optional<std::wstring> ToObjectName(const std::string& typed, DWORD objectType, std::string& error) {
    std::wstring name = FromConsole(typed);
    if (objectType != SE_FILE_OBJECT || name.empty()) return name;
    if (IsWindowsFileName(name)) {
        // C:/Data is how many type it; Windows takes it, but not once the
        // engine has turned it into the long-path form, which takes every
        // character literally. No file name can hold a slash, so none is lost.
        for (auto& c : name)
            if (c == L'/') c = L'\\';
        return name;
    }
#ifdef _WIN32
    DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        error = "cannot make '" + typed + "' an absolute path";
        return std::nullopt;
    }
    std::wstring full(needed, L'\0');
    DWORD written = GetFullPathNameW(name.c_str(), needed, full.data(), nullptr);
    full.resize(written);
    return full;
#else
    std::error_code ec;
    std::filesystem::path host = std::filesystem::weakly_canonical(std::filesystem::absolute(typed, ec), ec);
    if (ec) {
        error = "cannot make '" + typed + "' an absolute path: " + ec.message();
        return std::nullopt;
    }
    auto mapped = MapHostPath(host);
    if (!mapped) {
        error = "'" + host.string() +
                "' is not inside a drive of the simulated computer; map one with 'tavrik machine map-drive'";
        return std::nullopt;
    }
    return mapped;
#endif
}

}  // namespace tavrik::cli
