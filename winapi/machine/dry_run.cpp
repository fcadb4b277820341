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

    // The parts as the call would hand them to the object, with the
    // protection the call asks for; Windows then adds inherited entries.
    SECURITY_DESCRIPTOR next;
    InitializeSecurityDescriptor(&next, SECURITY_DESCRIPTOR_REVISION);
    if (info & OWNER_SECURITY_INFORMATION) SetSecurityDescriptorOwner(&next, owner, FALSE);
    if (info & GROUP_SECURITY_INFORMATION) SetSecurityDescriptorGroup(&next, group, FALSE);
    if (info & DACL_SECURITY_INFORMATION) SetSecurityDescriptorDacl(&next, TRUE, dacl, FALSE);
    if (info & SACL_SECURITY_INFORMATION) SetSecurityDescriptorSacl(&next, TRUE, sacl, FALSE);
    SECURITY_DESCRIPTOR_CONTROL control = 0, mask = 0;
    if (info & PROTECTED_DACL_SECURITY_INFORMATION) { mask |= SE_DACL_PROTECTED; control |= SE_DACL_PROTECTED; }
    if (info & UNPROTECTED_DACL_SECURITY_INFORMATION) mask |= SE_DACL_PROTECTED;
    if (info & PROTECTED_SACL_SECURITY_INFORMATION) { mask |= SE_SACL_PROTECTED; control |= SE_SACL_PROTECTED; }
    if (info & UNPROTECTED_SACL_SECURITY_INFORMATION) mask |= SE_SACL_PROTECTED;
    if (mask != 0) SetSecurityDescriptorControl(&next, mask, control);
    planned.after = ToSddl(&next, parts);

    Observer()(planned);
    return true;
}

}  // namespace winapi::machine
