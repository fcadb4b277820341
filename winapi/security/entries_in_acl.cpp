// SetEntriesInAclW: merging explicit-access entries into an ACL the way
// Windows does, each entry applied to the result of the ones before it.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "winapi/security/ace_list.h"
#include "winapi/security/bytes.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/security/security_layout.h"
#include "winapi/security/trustee_sid.h"
#include "winapi/win32.h"

namespace {

using winapi::Bytes;

// Only the inheritance bits of grfInheritance become ACE flags; the
// INHERITED_ACE bit is the system's to set, not the caller's.
constexpr DWORD kEntryFlagMask = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE |
                                 INHERIT_ONLY_ACE;

// An ACE of the list being built; the common sizes are held inline.
struct Ace {
    winapi::AceEntry entry;

    BYTE Type() const { return entry.Type(); }
    BYTE Flags() const { return entry.Flags(); }
    const SID* Sid() const { return winapi::AceSid(reinterpret_cast<const ACE_HEADER*>(entry.data())); }
    void AddMask(ACCESS_MASK mask) { entry.SetMask(entry.Mask() | mask); }

    bool Is(BYTE type, const Bytes& sid) const {
        if (Type() != type) return false;
        const SID* own = Sid();
        if (own == nullptr) return false;
        // The SID's own length, as SidBytes would copy it.
        const auto* p = reinterpret_cast<const BYTE*>(own);
        const size_t length = 8 + 4 * std::min<size_t>(p[1], SID_MAX_SUB_AUTHORITIES);
        return length == sid.size() && std::memcmp(p, sid.data(), length) == 0;
    }
};

Ace MakeAce(BYTE type, BYTE flags, ACCESS_MASK mask, const Bytes& sid) {
    Bytes bytes(8 + sid.size(), 0);
    bytes[0] = type;
    bytes[1] = flags;
    winapi::WriteWord(bytes.data() + 2, static_cast<WORD>(bytes.size()));
    winapi::WriteDword(bytes.data() + 4, mask);
    std::memcpy(bytes.data() + 8, sid.data(), sid.size());
    return Ace{winapi::AceEntry(bytes)};
}

// The explicit part of the list being built; inherited ACEs are kept aside
// and never matched.
class ExplicitAces {
public:
    std::vector<Ace> aces;

    // ORs the mask into an ACE of this type, SID and exact flags; true if found.
    bool MergeInto(BYTE type, BYTE flags, ACCESS_MASK mask, const Bytes& sid) {
        for (Ace& ace : aces) {
            if (ace.Is(type, sid) && ace.Flags() == flags) {
                ace.AddMask(mask);
                return true;
            }
        }
        return false;
    }

    void RemoveAll(BYTE type, const Bytes& sid) {
        std::erase_if(aces, [&](const Ace& ace) { return ace.Is(type, sid); });
    }

    // An allow ACE goes after the explicit denies: before the first explicit
    // allow, or at the end when there is none.
    void InsertAllow(Ace ace) {
        auto firstAllow = std::find_if(aces.begin(), aces.end(),
                                       [](const Ace& a) { return a.Type() == ACCESS_ALLOWED_ACE_TYPE; });
        aces.insert(firstAllow, std::move(ace));
    }

    void InsertFront(Ace ace) { aces.insert(aces.begin(), std::move(ace)); }
};

DWORD ApplyEntry(const EXPLICIT_ACCESS_W& entry, ExplicitAces* list) {
    if (entry.grfAccessMode == NOT_USED_ACCESS) return ERROR_SUCCESS;
    if (entry.grfAccessMode > SET_AUDIT_FAILURE) return ERROR_INVALID_PARAMETER;
    Bytes sid;
    if (DWORD error = winapi::TrusteeSid(entry.Trustee, &sid)) return error;
    const auto flags = static_cast<BYTE>(entry.grfInheritance & kEntryFlagMask);
    const ACCESS_MASK mask = entry.grfAccessPermissions;

    switch (entry.grfAccessMode) {
        case SET_ACCESS:
            list->RemoveAll(ACCESS_ALLOWED_ACE_TYPE, sid);
            list->RemoveAll(ACCESS_DENIED_ACE_TYPE, sid);
            [[fallthrough]];
        case GRANT_ACCESS:
            if (!list->MergeInto(ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid))
                list->InsertAllow(MakeAce(ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid));
            break;
        case DENY_ACCESS:
            if (!list->MergeInto(ACCESS_DENIED_ACE_TYPE, flags, mask, sid))
                list->InsertFront(MakeAce(ACCESS_DENIED_ACE_TYPE, flags, mask, sid));
            break;
        case REVOKE_ACCESS:
            // Allow ACEs only exist in a DACL and audit ACEs only in a SACL,
            // so one rule serves both lists; deny ACEs survive a revoke.
            list->RemoveAll(ACCESS_ALLOWED_ACE_TYPE, sid);
            list->RemoveAll(SYSTEM_AUDIT_ACE_TYPE, sid);
            break;
        case SET_AUDIT_SUCCESS:
        case SET_AUDIT_FAILURE: {
            const auto auditFlags = static_cast<BYTE>(
                flags | (entry.grfAccessMode == SET_AUDIT_SUCCESS ? SUCCESSFUL_ACCESS_ACE_FLAG : FAILED_ACCESS_ACE_FLAG));
            if (!list->MergeInto(SYSTEM_AUDIT_ACE_TYPE, auditFlags, mask, sid))
                list->InsertFront(MakeAce(SYSTEM_AUDIT_ACE_TYPE, auditFlags, mask, sid));
            break;
        }
        default:
            break;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries, PACL OldAcl,
                       PACL* NewAcl) {
    if (NewAcl == nullptr || (cCountOfExplicitEntries > 0 && pListOfExplicitEntries == nullptr))
        return ERROR_INVALID_PARAMETER;
    *NewAcl = nullptr;
    if (OldAcl != nullptr && !IsValidAcl(OldAcl)) return ERROR_INVALID_ACL;
    if (cCountOfExplicitEntries == 0 && OldAcl == nullptr) return ERROR_SUCCESS;

    ExplicitAces list;
    std::vector<Ace> inherited;
    winapi::ForEachAce(OldAcl, [&](const ACE_HEADER* header, WORD) {
        Ace ace{winapi::AceEntry(reinterpret_cast<const BYTE*>(header), header->AceSize)};
        (header->AceFlags & INHERITED_ACE ? inherited : list.aces).push_back(std::move(ace));
        return true;
    });
    for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
        if (DWORD error = ApplyEntry(pListOfExplicitEntries[i], &list)) return error;
    }

    size_t size = sizeof(ACL);
    BYTE revision = ACL_REVISION;
    for (const std::vector<Ace>* part : {&list.aces, &inherited}) {
        for (const Ace& ace : *part) {
            size += ace.entry.size();
            if (winapi::HasObjectAceLayout(ace.Type())) revision = ACL_REVISION_DS;
        }
    }
    if (size > MAXWORD) return ERROR_INVALID_PARAMETER;

    auto* acl = static_cast<BYTE*>(LocalAlloc(LPTR, size));
    if (acl == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    acl[0] = revision;
    winapi::WriteWord(acl + 2, static_cast<WORD>(size));
    winapi::WriteWord(acl + 4, static_cast<WORD>(list.aces.size() + inherited.size()));
    size_t at = sizeof(ACL);
    for (const std::vector<Ace>* part : {&list.aces, &inherited}) {
        for (const Ace& ace : *part) {
            std::memcpy(acl + at, ace.entry.data(), ace.entry.size());
            at += ace.entry.size();
        }
    }
    *NewAcl = reinterpret_cast<PACL>(acl);
    return ERROR_SUCCESS;
}
