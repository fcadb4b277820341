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

namespace {

// A letter's drive as this thread last worked it out; valid until the
// thread's next look-up. Throws as the rows do.
const std::optional<Drive>& DriveAnswer(const Computer& computer, wchar_t letter) {
    wchar_t upper = static_cast<wchar_t>(letter >= L'a' && letter <= L'z' ? letter - 32 : letter);
    // Every name asks for its drive. A thread keeps each letter's record
    // as it last worked it out, under the rows' generation and, for the
    // local computer, the generation of the Samba shares that decide
    // the record's rules; either moving works it out again.
    struct Answer {
        uint64_t network = 0;
        uint64_t samba = 0;
        std::string sambaConfig;
        int64_t computer = 0;
        bool isLocal = false;
        std::optional<Drive> drive;
    };
    thread_local Answer answers[27];  // the last for any other letter, never kept
    const bool kept = upper >= L'A' && upper <= L'Z';
    Answer* answer = &answers[kept ? upper - L'A' : 26];
    const uint64_t network = NetworkGeneration();
    if (kept && answer->network == network && answer->computer == computer.id &&
        answer->isLocal == computer.isLocal &&
        (!computer.isLocal || SambaSharesGeneration(answer->sambaConfig) == answer->samba)) {
        return answer->drive;
    }
    std::string directory;
    std::string sambaConfig;
    {
        std::lock_guard guard(MachineLock());
        const CachedNetwork& rows = CurrentNetwork();
        auto it = rows.driveDirectories.find({computer.id, upper});
        if (it != rows.driveDirectories.end()) directory = it->second;
        sambaConfig = rows.sambaConfig;
    }
    // Taken before the record is worked out: a change of the shares
    // meanwhile leaves the answer under a generation that no longer holds.
    const uint64_t samba = computer.isLocal ? SambaSharesGeneration(sambaConfig) : 0;
    answer->network = 0;  // matches nothing until filled
    answer->drive.reset();
    if (!directory.empty()) answer->drive = DriveFor(computer, directory);
    answer->samba = samba;
    answer->sambaConfig = std::move(sambaConfig);
    answer->computer = computer.id;
    answer->isLocal = computer.isLocal;
    if (kept) answer->network = network;
    return answer->drive;
}

}  // namespace

std::optional<Drive> FindDrive(const Computer& computer, wchar_t letter) {
    try {
        return DriveAnswer(computer, letter);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool AssignDrive(const Computer& computer, wchar_t letter, Drive* out) {
    try {
        const std::optional<Drive>& drive = DriveAnswer(computer, letter);
        if (!drive) return false;
        *out = *drive;
        return true;
    } catch (const std::exception&) {
        return false;
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
