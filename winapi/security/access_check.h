// Access check of a security descriptor against the calling token
// (MS-DTYP 2.5.3.2), as every open, read and write of the simulated
// computer performs it.
#pragma once

#include <set>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/security/bytes.h"
#include "winapi/security.h"

namespace winapi {

// The token of the calling process: its user, its groups (all enabled) and
// its privileges. The simulated computer builds it; the check only reads it.
struct AccessToken {
    Bytes user;                               // SID bytes
    std::vector<Bytes> groups;                // SID bytes of every group
    std::set<std::wstring> heldPrivileges;    // e.g. L"SeBackupPrivilege"
    // Subset of heldPrivileges; looked up by any text without a temporary
    // string, as every access check asks for several.
    std::set<std::wstring, std::less<>> enabledPrivileges;
    bool HasEnabled(std::wstring_view privilege) const {
        return enabledPrivileges.find(privilege) != enabledPrivileges.end();
    }
};

// Checks `desired` (generic bits, MAXIMUM_ALLOWED and ACCESS_SYSTEM_SECURITY
// allowed) against the self-relative descriptor `sd`. `backupSemantics` is
// true for opens with FILE_FLAG_BACKUP_SEMANTICS or REG_OPTION_BACKUP_RESTORE,
// where enabled backup and restore privileges grant reading and writing.
// Returns ERROR_SUCCESS and the granted mask, ERROR_ACCESS_DENIED, or
// ERROR_PRIVILEGE_NOT_HELD (ACCESS_SYSTEM_SECURITY without an enabled
// SeSecurityPrivilege).
DWORD CheckAccess(const BYTE* sd, size_t sdSize, const AccessToken& token, ACCESS_MASK desired,
                  const GENERIC_MAPPING& mapping, bool backupSemantics, ACCESS_MASK* granted);

// True when `sid` (SID bytes) is the token's user or one of its groups.
bool TokenHasSid(const AccessToken& token, const BYTE* sid);

}  // namespace winapi
