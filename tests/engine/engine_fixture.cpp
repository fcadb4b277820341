#include "engine_fixture.h"

#include <filesystem>
#include <fstream>

#include "engine/local_memory.h"

namespace tavrik::test {

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring WindowsName(const std::string& relative) {
    std::wstring name = L"C:\\" + Widen(relative);
    for (auto& c : name) {
        if (c == L'/') c = L'\\';
    }
    return name;
}

// Test set-up writes owners and SACLs as an administrator's tools would,
// with the restore and security privileges switched on.
void EnableSetupPrivileges() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    for (const wchar_t* name : {SE_RESTORE_NAME, SE_SECURITY_NAME}) {
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
    CloseHandle(token);
}

}  // namespace

EngineTest::EngineTest() = default;

std::unique_ptr<CTavrik> EngineTest::NewJob() {
    return std::make_unique<CTavrik>([this](const std::wstring& line) { messages.push_back(line); });
}

std::string EngineTest::HostPath(const std::string& relative) const { return machine_.DriveC() + "/" + relative; }

std::wstring EngineTest::MakeFile(const std::string& relative, const std::string& content) {
    const std::filesystem::path path = HostPath(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << content;
    return WindowsName(relative);
}

std::wstring EngineTest::MakeDirectory(const std::string& relative) {
    std::filesystem::create_directories(HostPath(relative));
    return WindowsName(relative);
}

std::wstring EngineTest::Sddl(const std::wstring& name, DWORD type, SECURITY_INFORMATION info) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), static_cast<SE_OBJECT_TYPE>(type), info, nullptr, nullptr, nullptr,
                              nullptr, &raw) != ERROR_SUCCESS) {
        return L"<unreadable>";
    }
    LocalPtr<> sd(raw);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1, info, &text, nullptr)) {
        return L"<unconvertible>";
    }
    LocalPtr<WCHAR> owned(text);
    return text;
}

DWORD EngineTest::SetSddl(const std::wstring& name, DWORD type, const std::wstring& sddl, SECURITY_INFORMATION info) {
    EnableSetupPrivileges();
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr)) {
        return GetLastError();
    }
    LocalPtr<> sd(raw);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr, sacl = nullptr;
    PSID owner = nullptr, group = nullptr;
    GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted);
    GetSecurityDescriptorSacl(sd.get(), &present, &sacl, &defaulted);
    GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted);
    GetSecurityDescriptorGroup(sd.get(), &group, &defaulted);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd.get(), &control, &revision);
    if ((info & DACL_SECURITY_INFORMATION) && (control & SE_DACL_PROTECTED)) info |= PROTECTED_DACL_SECURITY_INFORMATION;
    if ((info & SACL_SECURITY_INFORMATION) && (control & SE_SACL_PROTECTED)) info |= PROTECTED_SACL_SECURITY_INFORMATION;
    std::wstring writable = name;
    return SetNamedSecurityInfoW(writable.data(), static_cast<SE_OBJECT_TYPE>(type), info, owner, group, dacl, sacl);
}

std::wstring EngineTest::SidOf(const std::wstring& system, const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof(sid);
    WCHAR domain[256] = {};
    DWORD domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountNameW(system.empty() ? nullptr : system.c_str(), account.c_str(), sid, &sidSize, domain,
                            &domainSize, &use)) {
        return L"<unknown account>";
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"<bad sid>";
    LocalPtr<WCHAR> owned(text);
    return text;
}

bool EngineTest::HasMessage(const std::wstring& text) const {
    for (const auto& line : messages) {
        if (line == text) return true;
    }
    return false;
}

bool EngineTest::HasMessageStartingWith(const std::wstring& prefix) const {
    return !MessagesStartingWith(prefix).empty();
}

std::vector<std::wstring> EngineTest::MessagesStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> found;
    for (const auto& line : messages) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

}  // namespace tavrik::test
