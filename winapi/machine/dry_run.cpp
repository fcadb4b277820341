#include "winapi/machine/dry_run.h"

#include <cwctype>
#include <map>
#include <memory>
#include <utility>

#include "winapi/security/descriptor_parts.h"
#include "winapi/win32.h"

namespace winapi::machine {
namespace {

DryRunObserver& Observer() {
    static DryRunObserver observer;
    return observer;
}

// What a dry run planned for one object: the parts it wrote, as one
// self-relative descriptor holding those parts only.
struct Plan {
    SECURITY_INFORMATION info = 0;
    Bytes descriptor;
};
using PlanKey = std::pair<int, std::wstring>;

std::map<PlanKey, Plan>& Plans() {
    static std::map<PlanKey, Plan> plans;
    return plans;
}

// Registry keys' plans, by key.
std::map<int64_t, Plan>& KeyPlans() {
    static std::map<int64_t, Plan> plans;
    return plans;
}

PlanKey KeyOf(const std::wstring& name, SE_OBJECT_TYPE type) {
    std::wstring folded = name;
    for (auto& c : folded) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return {static_cast<int>(type), folded};
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

void SetDryRun(DryRunObserver observer) {
    if (!observer) {
        Plans().clear();
        KeyPlans().clear();
    }
    Observer() = std::move(observer);
}

namespace {

// Replaces in `whole` the parts `plan` holds.
void Apply(const Plan& plan, Bytes* whole) {
    winapi::DescriptorParts now, planned;
    if (winapi::ParseSelfRelative(whole->data(), whole->size(), &now) != ERROR_SUCCESS) return;
    if (winapi::ParseSelfRelative(plan.descriptor.data(), plan.descriptor.size(), &planned) != ERROR_SUCCESS) return;
    SECURITY_DESCRIPTOR_CONTROL control = now.control & ~SE_SELF_RELATIVE;
    auto take = [&](SECURITY_DESCRIPTOR_CONTROL bits) { control = (control & ~bits) | (planned.control & bits); };
    if (plan.info & OWNER_SECURITY_INFORMATION) now.owner = planned.owner;
    if (plan.info & GROUP_SECURITY_INFORMATION) now.group = planned.group;
    if (plan.info & DACL_SECURITY_INFORMATION) {
        now.dacl = planned.dacl;
        take(SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_DEFAULTED);
    }
    if (plan.info & SACL_SECURITY_INFORMATION) {
        now.sacl = planned.sacl;
        take(SE_SACL_PRESENT | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED | SE_SACL_DEFAULTED);
    }
    *whole = winapi::BuildSelfRelative(control, now.owner, now.group, now.sacl, now.dacl);
}

}  // namespace

void ApplyPlannedWrite(const std::wstring& name, SE_OBJECT_TYPE type, Bytes* whole) {
    if (!DryRunActive() || Plans().empty()) return;
    const auto found = Plans().find(KeyOf(name, type));
    if (found != Plans().end()) Apply(found->second, whole);
}

void ApplyPlannedKeyWrite(int64_t keyId, Bytes* whole) {
    if (!DryRunActive() || KeyPlans().empty()) return;
    const auto found = KeyPlans().find(keyId);
    if (found != KeyPlans().end()) Apply(found->second, whole);
}

bool DryRunActive() { return static_cast<bool>(Observer()); }

namespace {

// Later reads of the object in the same dry run see `descriptor` (its parts
// of `planned`) instead of what the object holds.
void Remember(const PlannedWrite& planned, Bytes descriptor, int64_t keyId) {
    if (descriptor.empty()) return;
    Plan plan;
    plan.info = planned.parts;
    plan.descriptor = std::move(descriptor);
    if (keyId != 0) {
        KeyPlans()[keyId] = std::move(plan);
    } else {
        Plans()[KeyOf(planned.object, planned.type)] = std::move(plan);
    }
}

}  // namespace

bool InterceptWrite(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                    PACL dacl, PACL sacl, int64_t keyId) {
    if (!DryRunActive()) return false;
    const SECURITY_INFORMATION parts = info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                               DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
    PlannedWrite planned;
    planned.object = name ? name : L"";
    planned.type = type;
    planned.parts = parts;

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

    // Kept in self-relative form: the caller's blocks are gone after the call.
    DWORD size = 0;
    MakeSelfRelativeSD(&next, nullptr, &size);
    Bytes descriptor(size);
    if (size == 0 || !MakeSelfRelativeSD(&next, descriptor.data(), &size)) descriptor.clear();
    Remember(planned, std::move(descriptor), keyId);
    Observer()(planned);
    return true;
}

bool InterceptStoredWrite(const std::wstring& name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                          const Bytes& given, int64_t keyId) {
    if (!DryRunActive()) return false;
    PlannedWrite planned;
    planned.object = name;
    planned.type = type;
    planned.parts = info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                            SACL_SECURITY_INFORMATION);
    PSECURITY_DESCRIPTOR current = nullptr;
    DWORD error = GetNamedSecurityInfoW(name.c_str(), type, planned.parts, nullptr, nullptr, nullptr, nullptr, &current);
    LocalPtr currentOwner(current);
    planned.before = error == ERROR_SUCCESS ? ToSddl(current, planned.parts) : L"(not readable)";
    // Over what the object holds now, or over nothing when it cannot be
    // read: the parts written come from `given` alone either way.
    Bytes now = error == ERROR_SUCCESS
                    ? Bytes(static_cast<const BYTE*>(current),
                            static_cast<const BYTE*>(current) + GetSecurityDescriptorLength(current))
                    : winapi::BuildSelfRelative(0, nullptr, nullptr, nullptr, nullptr);
    Bytes after;
    if (winapi::ReplaceParts(now, given, planned.parts, &after) != ERROR_SUCCESS) return false;
    planned.after = ToSddl(after.data(), planned.parts);
    Remember(planned, std::move(after), keyId);
    Observer()(planned);
    return true;
}

}  // namespace winapi::machine
