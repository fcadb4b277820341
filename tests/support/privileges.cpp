#include "support/privileges.h"

namespace tavrik::test {
namespace {

bool EnableIn(HANDLE token, const wchar_t* name) {
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // AdjustTokenPrivileges succeeds for a privilege the token lacks and
    // says so only through the last error.
    return LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
           AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) &&
           GetLastError() == ERROR_SUCCESS;
}

}  // namespace

bool EnablePrivilege(const wchar_t* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    const bool enabled = EnableIn(token, name);
    CloseHandle(token);
    return enabled;
}

bool EnablePrivileges(std::initializer_list<const wchar_t*> names) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    bool all = true;
    for (const wchar_t* name : names) all = EnableIn(token, name) && all;
    CloseHandle(token);
    return all;
}

}  // namespace tavrik::test
