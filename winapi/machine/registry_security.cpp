#include "winapi/machine/registry_security.h"

#include <vector>

#include "winapi/security/inheritance.h"
#include "winapi/machine/descendant_failures.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/registry_model.h"
#include "winapi/win32.h"

namespace winapi::machine {
namespace {

constexpr SECURITY_INFORMATION kDaclInfo =
    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
constexpr SECURITY_INFORMATION kSaclInfo =
    SACL_SECURITY_INFORMATION | PROTECTED_SACL_SECURITY_INFORMATION | UNPROTECTED_SACL_SECURITY_INFORMATION;

// Registry writes through the named calls open keys for backup, as file
// writes do, so enabled backup and restore privileges count.
constexpr bool kBackupSemantics = true;

// "MACHINE\SOFTWARE\..." for a key, for reports.
std::wstring KeyPathOf(const KeyRecord& key) {
    std::wstring path = key.name;
    for (auto parent = KeyById(key.parentId); parent; parent = parent->parentId ? KeyById(parent->parentId) : std::nullopt) {
        path = parent->name + L"\\" + path;
    }
    return path;
}

}  // namespace

ACCESS_MASK AccessToWrite(SECURITY_INFORMATION info) {
    ACCESS_MASK access = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION))
        access |= WRITE_OWNER;
    if (info & kDaclInfo) access |= WRITE_DAC;
    if (info & kSaclInfo) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

ACCESS_MASK AccessToRead(SECURITY_INFORMATION info) {
    ACCESS_MASK access = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                LABEL_SECURITY_INFORMATION))
        access |= READ_CONTROL;
    if (info & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

DWORD SetKeySecurity(const KeyRecord& key, const AccessToken& token, SECURITY_INFORMATION info, PSID owner,
                     PSID group, PACL dacl, PACL sacl) {
    const GENERIC_MAPPING& mapping = RegistryGenericMapping();
    ACCESS_MASK granted = 0;
    ACCESS_MASK desired = AccessToWrite(info);
    if (desired == 0) return ERROR_SUCCESS;
    DWORD error = CheckAccess(key.descriptor.data(), key.descriptor.size(), token, desired, mapping, kBackupSemantics,
                              &granted);
    if (error != ERROR_SUCCESS) return error;
    if ((info & OWNER_SECURITY_INFORMATION) && owner != nullptr && !token.HasEnabled(SE_RESTORE_NAME) &&
        !TokenHasSid(token, static_cast<const BYTE*>(owner)))
        return ERROR_INVALID_OWNER;

    std::optional<KeyRecord> parent = key.parentId == 0 ? std::nullopt : KeyById(key.parentId);
    Bytes updated;
    error = ApplySecurityInformation(key.descriptor, parent ? &parent->descriptor : nullptr, true, info, owner, group,
                                     dacl, sacl, mapping, &updated);
    if (error != ERROR_SUCCESS) return error;
    WriteKeyDescriptor(key.id, updated);

    // Depth first, with an explicit stack: registry trees can be deep.
    ACCESS_MASK childAccess = READ_CONTROL | WRITE_DAC | ((info & kSaclInfo) ? ACCESS_SYSTEM_SECURITY : 0);
    DWORD firstError = ERROR_SUCCESS;
    std::vector<std::pair<int64_t, Bytes>> stack;
    stack.emplace_back(key.id, updated);
    while (!stack.empty()) {
        auto [id, parentSd] = std::move(stack.back());
        stack.pop_back();
        for (const KeyRecord& child : ChildKeys(id)) {
            Bytes childSd;
            bool changed = false;
            DWORD childError = Reinherit(child.descriptor, parentSd, true, mapping, &childSd, &changed);
            if (childError != ERROR_SUCCESS) {
                // Named to the host; its siblings are still propagated.
                NoteDescendantFailure(KeyPathOf(child), childError);
                if (firstError == ERROR_SUCCESS) firstError = childError;
                continue;
            }
            if (!changed) continue;
            ACCESS_MASK childGranted = 0;
            childError = CheckAccess(child.descriptor.data(), child.descriptor.size(), token, childAccess,
                                           mapping, kBackupSemantics, &childGranted);
            if (childError != ERROR_SUCCESS) {
                NoteDescendantFailure(KeyPathOf(child), childError);
                if (firstError == ERROR_SUCCESS) firstError = childError;
                continue;
            }
            WriteKeyDescriptor(child.id, childSd);
            stack.emplace_back(child.id, std::move(childSd));
        }
    }
    return firstError;
}

}  // namespace winapi::machine
