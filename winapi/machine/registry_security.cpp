#include "winapi/machine/registry_security.h"

#include <vector>

#include "winapi/security/descriptor_parts.h"
#include "winapi/security/inheritance.h"
#include "winapi/machine/change_observer.h"
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

constexpr SECURITY_INFORMATION kBothLists = DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// Whether two descriptors of one key hold the same `lists` (DACL_ and
// SACL_SECURITY_INFORMATION), with the same flags.
bool SameLists(const Bytes& before, const Bytes& after, SECURITY_INFORMATION lists) {
    DescriptorParts old, now;
    if (ParseSelfRelative(before.data(), before.size(), &old) != ERROR_SUCCESS ||
        ParseSelfRelative(after.data(), after.size(), &now) != ERROR_SUCCESS) {
        return false;
    }
    auto same = [&](const ACL* a, const ACL* b, SECURITY_DESCRIPTOR_CONTROL flags) {
        if ((old.control & flags) != (now.control & flags) || !a != !b) return false;
        return !a || AclBytes(a) == AclBytes(b);
    };
    return (!(lists & DACL_SECURITY_INFORMATION) ||
            same(old.dacl, now.dacl, SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED)) &&
           (!(lists & SACL_SECURITY_INFORMATION) ||
            same(old.sacl, now.sacl, SE_SACL_PRESENT | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED));
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

DWORD SetKeySecurity(const KeyRecord& key, const std::wstring& name, const AccessToken& token,
                     SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl, PACL sacl) {
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

    // The lists the write sets are the ones its propagation recomputes
    // below: a write of the DACL leaves the SACLs below as they are
    // (changing them would take ACCESS_SYSTEM_SECURITY there, which such a
    // write does not ask for), and one of the owner or group alone hands
    // nothing down.
    const SECURITY_INFORMATION lists =
        ((info & kDaclInfo) ? DACL_SECURITY_INFORMATION : 0) | ((info & kSaclInfo) ? SACL_SECURITY_INFORMATION : 0);
    if (lists == 0) return ERROR_SUCCESS;

    // Depth first, with an explicit stack: registry trees can be deep.
    ACCESS_MASK childAccess = READ_CONTROL | WRITE_DAC | ((info & kSaclInfo) ? ACCESS_SYSTEM_SECURITY : 0);
    DWORD firstError = ERROR_SUCCESS;
    struct Visit {
        int64_t id;
        Bytes sd;
        std::wstring name;
    };
    std::vector<Visit> stack;
    stack.push_back({key.id, updated, name});
    while (!stack.empty()) {
        auto [id, parentSd, parentName] = std::move(stack.back());
        stack.pop_back();
        for (const KeyRecord& child : ChildKeys(id)) {
            Bytes childSd;
            bool changed = false;
            DWORD childError = Reinherit(child.descriptor, parentSd, true, mapping, &childSd, &changed);
            if (childError != ERROR_SUCCESS) {
                // Named to the host; its siblings are still propagated.
                NoteDescendantFailure(KeyPath(child), childError);
                if (firstError == ERROR_SUCCESS) firstError = childError;
                continue;
            }
            if (changed && lists != kBothLists) {
                Bytes only;
                childError = ReplaceParts(child.descriptor, childSd, lists, &only);
                if (childError != ERROR_SUCCESS) {
                    NoteDescendantFailure(KeyPath(child), childError);
                    if (firstError == ERROR_SUCCESS) firstError = childError;
                    continue;
                }
                changed = !SameLists(child.descriptor, only, lists);
                childSd = std::move(only);
            }
            if (!changed) continue;
            ACCESS_MASK childGranted = 0;
            childError = CheckAccess(child.descriptor.data(), child.descriptor.size(), token, childAccess,
                                           mapping, kBackupSemantics, &childGranted);
            if (childError != ERROR_SUCCESS) {
                NoteDescendantFailure(KeyPath(child), childError);
                if (firstError == ERROR_SUCCESS) firstError = childError;
                continue;
            }
            std::wstring childName = parentName + L"\\" + child.name;
            // A host keeping an undo record hears of the key before it
            // changes (and reads it as it stands: owner, group and DACL, and
            // the SACL when the write sets it); one it cannot record is left
            // as it is, with the keys below it.
            if (InheritedChangesObserved()) {
                childError = NoteComingInheritedChange(childName, SE_REGISTRY_KEY,
                                                       OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                           DACL_SECURITY_INFORMATION | (lists & SACL_SECURITY_INFORMATION));
            }
            if (childError != ERROR_SUCCESS) {
                NoteDescendantFailure(KeyPath(child), childError);
                if (firstError == ERROR_SUCCESS) firstError = childError;
                continue;
            }
            WriteKeyDescriptor(child.id, childSd);
            stack.push_back({child.id, std::move(childSd), std::move(childName)});
        }
    }
    return firstError;
}

DWORD StoreKeySecurity(const KeyRecord& key, ACCESS_MASK granted, const AccessToken& token,
                       SECURITY_INFORMATION info, const Bytes& sd) {
    // The handle was opened for what the caller meant to do: its access
    // decides, as the key's descriptor did when it was opened.
    const ACCESS_MASK desired = AccessToWrite(info);
    if ((granted & desired) != desired) return ERROR_ACCESS_DENIED;
    DescriptorParts given;
    if (ParseSelfRelative(sd.data(), sd.size(), &given) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    if ((info & OWNER_SECURITY_INFORMATION) && given.owner && !token.HasEnabled(SE_RESTORE_NAME) &&
        !TokenHasSid(token, reinterpret_cast<const BYTE*>(given.owner)))
        return ERROR_INVALID_OWNER;
    Bytes updated;
    if (DWORD error = ReplaceParts(key.descriptor, sd, info, &updated); error != ERROR_SUCCESS) return error;
    if (updated != key.descriptor) WriteKeyDescriptor(key.id, updated);
    return ERROR_SUCCESS;
}

}  // namespace winapi::machine
