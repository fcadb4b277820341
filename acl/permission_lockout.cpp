#include "acl/permission_lockout.h"

#include <initializer_list>

#include "acl/ace_sid.h"
#include "acl/recent_by_bytes.h"

namespace tavrik {
namespace {

// A SID built in place: S-1-<authority>-<sub authorities>.
struct BuiltSid {
    BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
    PSID Get() { return bytes; }
};

BuiltSid MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    BuiltSid sid;
    SID_IDENTIFIER_AUTHORITY identifier = {{0, 0, 0, 0, 0, authority}};
    InitializeSid(sid.Get(), &identifier, static_cast<BYTE>(subAuthorities.size()));
    DWORD index = 0;
    for (DWORD value : subAuthorities) *GetSidSubAuthority(sid.Get(), index++) = value;
    return sid;
}

enum class Role { Ignore, Allow, Deny };

// Entries the access check reads: effective allow and deny entries. An
// object entry naming an object type concerns directory objects only, and
// the condition of a callback entry cannot be known here, so its allow is
// not counted while its deny is.
Role RoleOf(const ACE_HEADER* ace) {
    if (ace->AceFlags & INHERIT_ONLY_ACE) return Role::Ignore;
    switch (ace->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
            return Role::Allow;
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
            return Role::Deny;
        default:
            return Role::Ignore;
    }
}

bool SpeaksOfWriteDac(ACCESS_MASK mask) { return (mask & (WRITE_DAC | GENERIC_ALL)) != 0; }

// Calls `visit` with each entry of `dacl` in order until it returns false;
// false when the ACL cannot be read. One pass from entry to entry: GetAce
// would walk the list from its start for every index.
template <class Visit>
bool VisitEntries(PACL dacl, Visit visit) {
    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return false;
    const auto* base = reinterpret_cast<const BYTE*>(dacl);
    const size_t aclSize = dacl->AclSize;
    size_t offset = sizeof(ACL);
    for (DWORD i = 0; i < size.AceCount; ++i) {
        if (aclSize < offset || aclSize - offset < sizeof(ACE_HEADER)) return false;
        const auto* header = reinterpret_cast<const ACE_HEADER*>(base + offset);
        if (header->AceSize < sizeof(ACE_HEADER) || header->AceSize > aclSize - offset) return false;
        if (!visit(header)) return true;
        offset += header->AceSize;
    }
    return true;
}

// Whether the first effective entry that speaks of WRITE_DAC for an account
// holding `sids` allows it.
bool EntriesGrantWriteDac(PACL dacl, std::initializer_list<PSID> sids) {
    bool granted = false;
    VisitEntries(dacl, [&](const ACE_HEADER* header) {
        const Role role = RoleOf(header);
        if (role == Role::Ignore) return true;
        // Allow and deny entries keep their mask right after the header.
        if (!SpeaksOfWriteDac(reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask)) return true;
        const PSID sid = AceSid(header);
        if (sid == nullptr) return true;
        for (PSID held : sids) {
            if (held != nullptr && EqualSid(sid, held)) {
                granted = role == Role::Allow;
                return false;
            }
        }
        return true;
    });
    return granted;
}

bool HasEffectiveEntryFor(PACL dacl, PSID wanted) {
    bool found = false;
    VisitEntries(dacl, [&](const ACE_HEADER* header) {
        if (RoleOf(header) == Role::Ignore) return true;
        const PSID sid = AceSid(header);
        found = sid != nullptr && EqualSid(sid, wanted);
        return !found;
    });
    return found;
}

bool JudgeLeavesPermissionsChangeable(PACL dacl, PSID owner) {
    BuiltSid ownerRights = MakeSid(3, {4});  // S-1-3-4
    const bool validOwner = owner != nullptr && IsValidSid(owner);
    // The owner's own right stands unless OWNER RIGHTS entries replace it:
    // the common case, settled before the other accounts are built.
    if (validOwner && !HasEffectiveEntryFor(dacl, ownerRights.Get())) return true;

    BuiltSid everyone = MakeSid(1, {0});                 // S-1-1-0
    BuiltSid authenticatedUsers = MakeSid(5, {11});      // S-1-5-11
    BuiltSid system = MakeSid(5, {18});                  // S-1-5-18
    BuiltSid administrators = MakeSid(5, {32, 544});     // S-1-5-32-544
    BuiltSid users = MakeSid(5, {32, 545});              // S-1-5-32-545
    BuiltSid unixRoot = MakeSid(22, {1, 0});             // S-1-22-1-0
    BuiltSid unixRootGroup = MakeSid(22, {2, 0});        // S-1-22-2-0

    // Each account with the groups its token always holds: a deny to one of
    // them takes the right away from the account.
    if (EntriesGrantWriteDac(dacl, {system.Get(), administrators.Get(), everyone.Get(), authenticatedUsers.Get()}))
        return true;
    if (EntriesGrantWriteDac(dacl, {administrators.Get(), users.Get(), everyone.Get(), authenticatedUsers.Get()}))
        return true;
    if (EntriesGrantWriteDac(dacl, {unixRoot.Get(), unixRootGroup.Get(), everyone.Get()})) return true;
    return validOwner &&
           EntriesGrantWriteDac(dacl, {owner, ownerRights.Get(), everyone.Get(), authenticatedUsers.Get()});
}

}  // namespace

bool LeavesPermissionsChangeable(PACL dacl, PSID owner) {
    if (dacl == nullptr) return true;
    // The answer depends on the bytes of the DACL (as far as its size
    // says, which is as far as the judgement reads) and the owner alone; a
    // recursive job asks it of the same few lists on every object. An
    // owner that is no SID is judged afresh.
    if (dacl->AclSize < sizeof(ACL) || (owner != nullptr && !IsValidSid(owner))) {
        return JudgeLeavesPermissionsChangeable(dacl, owner);
    }
    // The key: the DACL's bytes, then a byte telling whether there is an
    // owner and the owner's bytes (the layout AppendAclKey and AppendSidKey
    // give).
    static constexpr BYTE kPresent = 1, kAbsent = 0;
    thread_local RecentByBytes<bool> recent;
    RecentByBytes<bool>::Pieces key;
    key.Add(&kPresent, 1);
    key.Add(dacl, dacl->AclSize);
    key.Add(owner ? &kPresent : &kAbsent, 1);
    if (owner) key.Add(owner, GetLengthSid(owner));
    if (const bool* kept = recent.Find(key)) return *kept;
    const bool answer = JudgeLeavesPermissionsChangeable(dacl, owner);
    recent.Keep(key, answer);
    return answer;
}

std::wstring LockoutReason(PSID owner) {
    const bool validOwner = owner != nullptr && IsValidSid(owner);
    return std::wstring(L"after this change nobody could change its permissions any more: no entry of its DACL, "
                        L"read in order with its deny entries, would give WRITE_DAC or full control to SYSTEM, "
                        L"Administrators, the Unix root account or the owner, ") +
           (validOwner ? L"and its OWNER RIGHTS entries withhold the owner's own right to change them."
                       : L"and it has no owner whose own right to change them would remain.");
}

}  // namespace tavrik
