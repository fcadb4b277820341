// Drive letters and file shares of a computer as host directories.
#include <sys/xattr.h>
#include <unistd.h>

#include <map>

#include "winapi/machine/machine.h"
#include "winapi/machine/named_objects.h"
#include "winapi/machine/network_cache.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

// Writing the security namespace needs CAP_SYS_ADMIN; without it Samba's
// attribute goes to the user namespace. The answer depends on the process
// and the file system, so each directory is probed once, on a scratch file.
std::string AttributeNameFor(const std::string& directory) {
    static std::map<std::string, std::string> known;
    std::lock_guard guard(MachineLock());
    auto it = known.find(directory);
    if (it != known.end()) return it->second;
    std::string chosen = "user.NTACL";
    std::string probe = directory + "/.tavrik-xattr-probe-" + std::to_string(getpid());
    FILE* file = std::fopen(probe.c_str(), "wx");
    if (file != nullptr) {
        std::fclose(file);
        const char value = 0;
        if (setxattr(probe.c_str(), "security.NTACL", &value, 1, 0) == 0) chosen = "security.NTACL";
        unlink(probe.c_str());
        known.emplace(directory, chosen);
    } else if (geteuid() == 0) {
        chosen = "security.NTACL";  // unwritable directory: guess, but do not remember
    }
    return chosen;
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
