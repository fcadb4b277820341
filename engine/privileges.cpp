// Switching one privilege of the process token on or off.
#include "engine/tavrik.h"

DWORD CTavrik::EnablePrivilege(std::wstring name, BOOL enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return RTN_ERR_PRIVILEGE;

    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    const wchar_t* systemName = m_serverName.empty() ? nullptr : m_serverName.c_str();
    if (!LookupPrivilegeValueW(systemName, name.c_str(), &privileges.Privileges[0].Luid)) {
        CloseHandle(token);
        return RTN_ERR_PRIVILEGE;
    }
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;

    // AdjustTokenPrivileges succeeds even when the token lacks the privilege;
    // only the last error (ERROR_NOT_ALL_ASSIGNED) tells.
    SetLastError(ERROR_SUCCESS);
    const BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(token);
    return (adjusted && error == ERROR_SUCCESS) ? RTN_OK : RTN_ERR_PRIVILEGE;
}
