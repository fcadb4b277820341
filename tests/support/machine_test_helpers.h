// Small helpers for the simulated-computer tests: SIDs and descriptors
// between text and bytes, owned the way the Win32 calls hand them out.
#pragma once

#include <memory>
#include <string>

#include "winapi/security/bytes.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace machine_test {

struct LocalFreeDeleter {
    void operator()(void* block) const { LocalFree(block); }
};
using LocalBlock = std::unique_ptr<void, LocalFreeDeleter>;

inline winapi::Bytes SidBytes(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    LocalBlock owned(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return winapi::Bytes(bytes, bytes + GetLengthSid(sid));
}

inline std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"(invalid)";
    LocalBlock owned(text);
    return text;
}

inline std::wstring SddlOf(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION info) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, info, &text, nullptr))
        return L"(not convertible)";
    LocalBlock owned(text);
    return text;
}

inline LocalBlock DescriptorOf(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) return nullptr;
    return LocalBlock(sd);
}

inline winapi::machine::ComputerSpec ComputerNamed(const std::wstring& name, DWORD role = 0,
                                                  const std::wstring& domain = {}, bool reachable = true) {
    winapi::machine::ComputerSpec request;
    request.name = name;
    request.role = role;
    request.domain = domain;
    request.reachable = reachable;
    return request;
}

inline winapi::machine::DomainSpec DomainNamed(const std::wstring& flat, const std::wstring& dns,
                                               const std::wstring& controller) {
    winapi::machine::DomainSpec request;
    request.flatName = flat;
    request.dnsName = dns;
    request.controller = controller;
    return request;
}

constexpr SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Enables or disables one privilege of the process token; returns the last
// error AdjustTokenPrivileges left (ERROR_SUCCESS or ERROR_NOT_ALL_ASSIGNED).
inline DWORD SwitchPrivilege(const wchar_t* name, bool enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return GetLastError();
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    DWORD result = ERROR_SUCCESS;
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        result = GetLastError();
    } else if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) {
        result = GetLastError();
    } else {
        result = GetLastError();
    }
    CloseHandle(token);
    return result;
}

}  // namespace machine_test
