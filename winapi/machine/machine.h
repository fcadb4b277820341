// What the Windows layer's front ends need from the simulated computer:
// which computer a name reaches, where its drives and file shares live,
// the calling token, and injected faults. Implemented over the store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "winapi/samba/samba_config.h"
#include "winapi/security/access_check.h"

namespace winapi::machine {

struct Computer {
    int64_t id = 0;
    std::wstring name;     // as stored, e.g. L"WS01"
    bool isLocal = false;  // the computer the process runs on
    bool reachable = true;
};

// A drive letter or a file share of a computer, mapped to a host directory.
struct Drive {
    std::string directory;      // absolute host path, UTF-8, no trailing slash
    std::string xattrName;      // "security.NTACL", or "user.NTACL" where the
                                // process cannot write the security namespace
    // Set when the directory lies in an acl_xattr share of the local
    // computer's Samba server: descriptors are then kept as smbd keeps them.
    std::optional<SambaShare> samba;
};

// The computer a name reaches: empty, "\\\\NAME" or "NAME" (any case). The
// local computer also answers to its own name. Unknown: nullopt.
std::optional<Computer> FindComputer(std::wstring_view name);
Computer LocalComputer();

std::optional<Drive> FindDrive(const Computer& computer, wchar_t letter);
// LocalComputer() and FindDrive() assigned into `out`, whose buffers are
// kept: for callers that ask for every name they parse. AssignDrive is
// false, leaving `out` as it was, when the letter has no drive.
void AssignLocalComputer(Computer* out);
bool AssignDrive(const Computer& computer, wchar_t letter, Drive* out);
// The \\server\share a drive letter of `computer` is mapped to, if it is
// a network drive.
std::optional<std::wstring> FindNetworkDrive(const Computer& computer, wchar_t letter);
// A share of `computer` whose target is a directory (a file share).
std::optional<Drive> FindFileShare(const Computer& computer, std::wstring_view share);

// The calling process's token as it stands now (privileges included).
AccessToken CurrentToken();
// The same, shared read-only until the token changes: for calls that only
// check access, at the cost of no copy.
std::shared_ptr<const AccessToken> SharedToken();

// Fault injection. A non-zero result is the error the named Win32 call must
// fail with for `object` (a path or name as the call received it).
DWORD InjectedFailure(std::string_view call, std::wstring_view object = {});
// True while extended-attribute writes must fail as on a full disk.
bool DiskFullInjected();

// Empty while the network's database is open for writing; otherwise a
// sentence naming the file and saying why it was opened only for reading
// (a full disk, a read-only file system).
std::string DatabaseReadOnlyNote();

}  // namespace winapi::machine
