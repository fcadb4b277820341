// Switching one privilege of the process token on or off.
#include <algorithm>

#include "engine/tavrik.h"

DWORD CTavrik::EnablePrivilege(std::wstring name, BOOL enable) {
    auto known = std::find(m_enabledPrivileges.begin(), m_enabledPrivileges.end(), name);
    if (enable && known != m_enabledPrivileges.end()) return RTN_OK;
    if (!enable && known != m_enabledPrivileges.end()) m_enabledPrivileges.erase(known);
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
    if (!adjusted || error != ERROR_SUCCESS) return RTN_ERR_PRIVILEGE;
    if (enable && m_keepEnabledPrivileges) m_enabledPrivileges.push_back(std::move(name));
    return RTN_OK;
}
