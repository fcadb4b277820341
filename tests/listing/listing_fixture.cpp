#include "listing_fixture.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/local_memory.h"
#include "engine/utf16_file.h"

namespace tavrik::test {

namespace {

std::wstring WindowsName(const std::string& relative) {
    std::wstring name = L"C:\\";
    for (char c : relative) name += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return name;
}

// Jobs switch their privileges off when they end; the helpers that read
// and write descriptors outside a job switch them on again.
void EnablePrivileges() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME, SE_TAKE_OWNERSHIP_NAME}) {
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
        }
    }
    CloseHandle(token);
}

}  // namespace

std::unique_ptr<CTavrik> ListingTest::NewJob() {
    return std::make_unique<CTavrik>([this](const std::wstring& line) { messages.push_back(line); });
}

std::string ListingTest::HostPath(const std::string& relative) const { return machine_.DriveC() + "/" + relative; }

std::string ListingTest::BackupPath(const std::string& name) const { return machine_.Folder() + "/" + name; }

std::wstring ListingTest::MakeDirectory(const std::string& relative) {
    std::filesystem::create_directories(HostPath(relative));
    return WindowsName(relative);
}

std::wstring ListingTest::MakeFile(const std::string& relative, const std::string& content) {
    const std::filesystem::path path = HostPath(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << content;
    return WindowsName(relative);
}

std::wstring ListingTest::Sddl(const std::wstring& name, DWORD type, SECURITY_INFORMATION info) {
    EnablePrivileges();
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

DWORD ListingTest::SetSddl(const std::wstring& name, DWORD type, const std::wstring& sddl, SECURITY_INFORMATION info) {
    EnablePrivileges();
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

std::string ListingTest::ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ListingTest::WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ListingTest::Utf16(const std::wstring& text) { return ToUtf16LeBytes(text); }

std::string ListingTest::Utf16File(const std::wstring& text) { return std::string("\xFF\xFE", 2) + Utf16(text); }

bool ListingTest::HasMessage(const std::wstring& text) const {
    for (const auto& line : messages) {
        if (line == text) return true;
    }
    return false;
}

std::vector<std::wstring> ListingTest::MessagesStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> found;
    for (const auto& line : messages) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

}  // namespace tavrik::test
