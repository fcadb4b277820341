#include "acl/permission_lockout.h"

#include <initializer_list>
#include <vector>

#include "acl/ace_sid.h"

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

// Whether the first effective entry that speaks of WRITE_DAC for an account
// holding `sids` allows it.
bool EntriesGrantWriteDac(PACL dacl, const std::vector<PSID>& sids) {
    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        const Role role = RoleOf(header);
        if (role == Role::Ignore) continue;
        // Allow and deny entries keep their mask right after the header.
        if (!SpeaksOfWriteDac(static_cast<const ACCESS_ALLOWED_ACE*>(raw)->Mask)) continue;
        const PSID sid = AceSid(header);
        if (sid == nullptr) continue;
        for (PSID held : sids) {
            if (held != nullptr && EqualSid(sid, held)) return role == Role::Allow;
        }
    }
    return false;
}

bool HasEffectiveEntryFor(PACL dacl, PSID wanted) {
    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if (RoleOf(header) == Role::Ignore) continue;
        const PSID sid = AceSid(header);
        if (sid != nullptr && EqualSid(sid, wanted)) return true;
    }
    return false;
}

}  // namespace

bool LeavesPermissionsChangeable(PACL dacl, PSID owner) {
    if (dacl == nullptr) return true;
    BuiltSid everyone = MakeSid(1, {0});                 // S-1-1-0
    BuiltSid ownerRights = MakeSid(3, {4});              // S-1-3-4
    BuiltSid authenticatedUsers = MakeSid(5, {11});      // S-1-5-11
    BuiltSid system = MakeSid(5, {18});                  // S-1-5-18
    BuiltSid administrators = MakeSid(5, {32, 544});     // S-1-5-32-544
    BuiltSid users = MakeSid(5, {32, 545});              // S-1-5-32-545
    BuiltSid unixRoot = MakeSid(22, {1, 0});             // S-1-22-1-0
    BuiltSid unixRootGroup = MakeSid(22, {2, 0});        // S-1-22-2-0

    const bool validOwner = owner != nullptr && IsValidSid(owner);
    // The owner's own right stands unless OWNER RIGHTS entries replace it.
    if (validOwner && !HasEffectiveEntryFor(dacl, ownerRights.Get())) return true;

    // Each account with the groups its token always holds: a deny to one of
    // them takes the right away from the account.
    std::vector<std::vector<PSID>> keepers = {
        {system.Get(), administrators.Get(), everyone.Get(), authenticatedUsers.Get()},
        {administrators.Get(), users.Get(), everyone.Get(), authenticatedUsers.Get()},
        {unixRoot.Get(), unixRootGroup.Get(), everyone.Get()},
    };
    if (validOwner) keepers.push_back({owner, ownerRights.Get(), everyone.Get(), authenticatedUsers.Get()});
    for (const auto& sids : keepers) {
        if (EntriesGrantWriteDac(dacl, sids)) return true;
    }
    return false;
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
