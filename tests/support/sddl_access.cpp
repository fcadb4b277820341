#include "support/sddl_access.h"

#include <memory>

namespace tavrik::test {
namespace {

struct LocalBlockFree {
    void operator()(void* block) const { LocalFree(block); }
};
template <class T = void>
using LocalBlock = std::unique_ptr<T, LocalBlockFree>;

}  // namespace

std::wstring ReadSddl(const std::wstring& name, DWORD type, SECURITY_INFORMATION info) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), static_cast<SE_OBJECT_TYPE>(type), info, nullptr, nullptr, nullptr,
                              nullptr, &raw) != ERROR_SUCCESS) {
        return L"<unreadable>";
    }
    LocalBlock<> sd(raw);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1, info, &text, nullptr)) {
        return L"<unconvertible>";
    }
    LocalBlock<WCHAR> owned(text);
    return text;
}

DWORD WriteSddl(const std::wstring& name, DWORD type, const std::wstring& sddl, SECURITY_INFORMATION info) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr)) {
        return GetLastError();
    }
    LocalBlock<> sd(raw);
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

}  // namespace tavrik::test
