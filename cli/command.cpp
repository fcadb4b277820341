#include "cli/command.h"

#include <algorithm>
#include <utility>

#include "winapi/win32.h"

namespace tavrik::cli {
namespace {

std::vector<std::pair<int, CommandSetup>>& Registry() {
    static std::vector<std::pair<int, CommandSetup>> registry;
    return registry;
}

}  // namespace

CommandRegistration::CommandRegistration(int order, CommandSetup setup) {
    Registry().emplace_back(order, std::move(setup));
}

std::vector<CommandSetup> RegisteredCommands() {
    auto entries = Registry();
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<CommandSetup> setups;
    for (auto& entry : entries) setups.push_back(std::move(entry.second));
    return setups;
}

#ifdef _WIN32
std::string ToConsole(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}
void ToConsole(const std::wstring& text, std::string* out) { *out = ToConsole(text); }
std::wstring FromConsole(const std::string& text) {
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}
#else
// Linux wide strings hold UTF-32; the console speaks UTF-8. The text is
// written through a pointer into room for the longest form, since every
// listed record passes here and a push per byte cost more than the rest.
void ToConsole(const std::wstring& text, std::string* result) {
    std::string& out = *result;
    out.resize(text.size() * 4);
    char* end = out.data();
    const wchar_t* in = text.data();
    const wchar_t* const last = in + text.size();
    // Records are almost all ASCII: eight characters at a time while they are.
    while (last - in >= 8) {
        auto any = static_cast<char32_t>(in[0]);
        for (int i = 1; i < 8; ++i) any |= static_cast<char32_t>(in[i]);
        if (any >= 0x80) break;
        for (int i = 0; i < 8; ++i) end[i] = static_cast<char>(in[i]);
        in += 8;
        end += 8;
    }
    for (; in != last; ++in) {
        auto c = static_cast<char32_t>(*in);
        if (c < 0x80) {
            *end++ = static_cast<char>(c);
            continue;
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x800) {
            *end++ = static_cast<char>(0xC0 | (c >> 6));
            *end++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *end++ = static_cast<char>(0xE0 | (c >> 12));
            *end++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *end++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *end++ = static_cast<char>(0xF0 | (c >> 18));
            *end++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *end++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *end++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(end - out.data()));
}
std::string ToConsole(const std::wstring& text) {
    std::string out;
    ToConsole(text, &out);
    return out;
}
std::wstring FromConsole(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        char32_t c = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > text.size()) {
                len = 1;
            } else {
                c = b & (0xFF >> (len + 1));
                for (size_t k = 1; k < len; ++k) {
                    auto cb = static_cast<unsigned char>(text[i + k]);
                    if ((cb & 0xC0) != 0x80) { c = 0xFFFD; len = 1; break; }
                    c = (c << 6) | (cb & 0x3F);
                }
            }
        }
        out += static_cast<wchar_t>(c);
        i += len;
    }
    return out;
}
#endif

}  // namespace tavrik::cli
