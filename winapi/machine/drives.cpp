// Drive letters and file shares of a computer as host directories.
#include <map>

#include "winapi/files/ntacl_namespace.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/named_objects.h"
#include "winapi/machine/network_cache.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

// The namespace depends on the process and the file system, not on the
// moment, so each directory is decided once.
std::string AttributeNameFor(const std::string& directory) {
    static std::map<std::string, std::string> known;
    std::lock_guard guard(MachineLock());
    auto it = known.find(directory);
    if (it != known.end()) return it->second;
    return known.emplace(directory, NtAclAttributeName(directory)).first->second;
}

// A directory of the local computer inside a Samba share takes the share's
// attribute name and rules; elsewhere the probed attribute name stands.
Drive DriveFor(const Computer& computer, const std::string& directory) {
    Drive drive{directory, {}, std::nullopt};
    if (computer.isLocal) drive.samba = SambaShareHolding(directory);
    drive.xattrName = drive.samba ? drive.samba->attributeName : AttributeNameFor(directory);
    return drive;
}

}  // namespace

std::optional<Drive> FindDrive(const Computer& computer, wchar_t letter) {
    try {
        wchar_t upper = static_cast<wchar_t>(letter >= L'a' && letter <= L'z' ? letter - 32 : letter);
        std::string directory;
        {
            std::lock_guard guard(MachineLock());
            const auto& directories = CurrentNetwork().driveDirectories;
            auto it = directories.find({computer.id, upper});
            if (it == directories.end()) return std::nullopt;
            directory = it->second;
        }
        return DriveFor(computer, directory);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::wstring> FindNetworkDrive(const Computer& computer, wchar_t letter) {
    try {
        wchar_t upper = static_cast<wchar_t>(letter >= L'a' && letter <= L'z' ? letter - 32 : letter);
        std::lock_guard guard(MachineLock());
        Query q = CurrentStore().Prepare(
            "SELECT remote FROM drives WHERE computer_id = ?1 AND letter = ?2 AND remote <> ''");
        q.Bind(1, computer.id).Bind(2, std::wstring(1, upper));
        if (!q.Step()) return std::nullopt;
        return q.WText(0);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<Drive> FindFileShare(const Computer& computer, std::wstring_view share) {
    try {
        auto object = FindNamedObject(computer.id, NamedObjectKind::Share, share);
        if (!object || object->directory.empty()) return std::nullopt;
        return DriveFor(computer, object->directory);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace winapi::machine
