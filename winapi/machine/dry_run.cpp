#include "winapi/machine/dry_run.h"

#include <memory>

#include "winapi/win32.h"

namespace winapi::machine {
namespace {

DryRunObserver& Observer() {
    static DryRunObserver observer;
    return observer;
}

struct LocalBlock {
    void operator()(void* block) const { LocalFree(block); }
};
using LocalPtr = std::unique_ptr<void, LocalBlock>;

std::wstring ToSddl(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, parts, &text, nullptr))
        return L"(not convertible)";
    LocalPtr owned(text);
    return text;
}

}  // namespace

void SetDryRun(DryRunObserver observer) { Observer() = std::move(observer); }

bool DryRunActive() { return static_cast<bool>(Observer()); }

bool InterceptWrite(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                    PACL dacl, PACL sacl) {
    if (!DryRunActive()) return false;
    const SECURITY_INFORMATION parts = info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                               DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
    PlannedWrite planned;
    planned.object = name ? name : L"";
    planned.type = type;

    PSECURITY_DESCRIPTOR current = nullptr;
    DWORD error = GetNamedSecurityInfoW(name, type, parts, nullptr, nullptr, nullptr, nullptr, &current);
    LocalPtr currentOwner(current);
    planned.before = error == ERROR_SUCCESS ? ToSddl(current, parts) : L"(not readable)";

    // The parts as the call hands them to the object. Files and registry
    // keys come out auto-inherited and keep their protection unless the
    // call names one; the inherited entries shown are the ones the engine
    // passed, which Windows recomputes from the parent.
    SECURITY_DESCRIPTOR next;
    InitializeSecurityDescriptor(&next, SECURITY_DESCRIPTOR_REVISION);
    if (info & OWNER_SECURITY_INFORMATION) SetSecurityDescriptorOwner(&next, owner, FALSE);
    if (info & GROUP_SECURITY_INFORMATION) SetSecurityDescriptorGroup(&next, group, FALSE);
    if (info & DACL_SECURITY_INFORMATION) SetSecurityDescriptorDacl(&next, TRUE, dacl, FALSE);
    if (info & SACL_SECURITY_INFORMATION) SetSecurityDescriptorSacl(&next, TRUE, sacl, FALSE);
    SECURITY_DESCRIPTOR_CONTROL now = 0;
    DWORD revision = 0;
    if (current == nullptr || !GetSecurityDescriptorControl(current, &now, &revision)) now = 0;
    const bool inheriting = type == SE_FILE_OBJECT || type == SE_REGISTRY_KEY || type == SE_REGISTRY_WOW64_32KEY;
    SECURITY_DESCRIPTOR_CONTROL control = 0, mask = 0;
    auto protection = [&](SECURITY_INFORMATION part, SECURITY_INFORMATION protect, SECURITY_INFORMATION unprotect,
                          SECURITY_DESCRIPTOR_CONTROL protectedBit, SECURITY_DESCRIPTOR_CONTROL inheritedBit) {
        if (!(info & part)) return;
        mask |= protectedBit;
        if ((info & protect) || (!(info & unprotect) && (now & protectedBit))) control |= protectedBit;
        if (inheriting) {
            mask |= inheritedBit;
            control |= inheritedBit;
        }
    };
    protection(DACL_SECURITY_INFORMATION, PROTECTED_DACL_SECURITY_INFORMATION, UNPROTECTED_DACL_SECURITY_INFORMATION,
               SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED);
    protection(SACL_SECURITY_INFORMATION, PROTECTED_SACL_SECURITY_INFORMATION, UNPROTECTED_SACL_SECURITY_INFORMATION,
               SE_SACL_PROTECTED, SE_SACL_AUTO_INHERITED);
    if (mask != 0) SetSecurityDescriptorControl(&next, mask, control);
    planned.after = ToSddl(&next, parts);

    Observer()(planned);
    return true;
}

}  // namespace winapi::machine
