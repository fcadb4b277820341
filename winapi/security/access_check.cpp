#include "winapi/security/access_check.h"

#include "winapi/security/ace_list.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/errors.h"
#include "winapi/security/security_layout.h"

namespace winapi {
namespace {

// Whether an ACE's SID speaks for the caller. Every real token carries
// Everyone, whether or not the token builder listed it; OWNER RIGHTS stands
// for whoever owns the object.
bool AceAppliesTo(const AceView& ace, const AccessToken& token, bool callerIsOwner) {
    const BYTE* sid = ace.Sid();
    if (sid == nullptr) return false;
    if (SameSid(sid, EveryoneSid().data())) return true;
    if (SameSid(sid, OwnerRightsSid().data())) return callerIsOwner;
    return TokenHasSid(token, sid);
}

// ACEs that take part in the check: effective (not inherit-only) allow and
// deny ACEs. An object ACE naming an object type concerns directory-service
// objects only; a callback ACE's condition cannot be evaluated here, so its
// allow never grants while its deny still applies, as an unknown outcome
// does for conditional ACEs.
enum class AceRole { Ignore, Allow, Deny };

AceRole RoleOf(const AceView& ace) {
    if (ace.Flags() & INHERIT_ONLY_ACE) return AceRole::Ignore;
    if (ace.NamesObjectType()) return AceRole::Ignore;
    if (ace.IsDeny()) return AceRole::Deny;
    if (ace.IsAllow()) return ace.IsCallbackAce() ? AceRole::Ignore : AceRole::Allow;
    return AceRole::Ignore;
}

bool HasEffectiveOwnerRightsAce(const BYTE* dacl) {
    bool found = false;
    VisitValidatedAces(dacl, [&found](const AceView& ace) {
        found = found || (RoleOf(ace) != AceRole::Ignore && SameSid(ace.Sid(), OwnerRightsSid().data()));
    });
    return found;
}

}  // namespace

bool TokenHasSid(const AccessToken& token, const BYTE* sid) {
    if (sid == nullptr || CheckedSidLength(sid, SECURITY_MAX_SID_SIZE) == 0) return false;
    auto matches = [sid](const Bytes& candidate) {
        return CheckedSidLength(candidate.data(), candidate.size()) != 0 && SameSid(candidate.data(), sid);
    };
    if (matches(token.user)) return true;
    for (const Bytes& group : token.groups) {
        if (matches(group)) return true;
    }
    return false;
}

DWORD CheckAccess(const BYTE* sd, size_t sdSize, const AccessToken& token, ACCESS_MASK desired,
                  const GENERIC_MAPPING& mapping, bool backupSemantics, ACCESS_MASK* granted) {
    *granted = 0;
    DescriptorParts parts;
    if (sd == nullptr || ParseSelfRelative(sd, sdSize, &parts) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;

    const bool wantsMaximum = (desired & MAXIMUM_ALLOWED) != 0;
    desired = MapGenericRights(desired & ~MAXIMUM_ALLOWED, mapping);

    ACCESS_MASK grantedBits = 0;
    if (desired & ACCESS_SYSTEM_SECURITY) {
        if (!token.HasEnabled(SE_SECURITY_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
        grantedBits |= ACCESS_SYSTEM_SECURITY;
    }
    // Privileges are honoured before the DACL is read, so no deny ACE can
    // take back what they grant.
    if (token.HasEnabled(SE_TAKE_OWNERSHIP_NAME) && (wantsMaximum || (desired & WRITE_OWNER))) {
        grantedBits |= WRITE_OWNER;
    }
    if (backupSemantics && token.HasEnabled(SE_BACKUP_NAME)) {
        const ACCESS_MASK readAll = mapping.GenericRead | mapping.GenericExecute | READ_CONTROL;
        grantedBits |= wantsMaximum ? readAll : (readAll & desired);
    }
    if (backupSemantics && token.HasEnabled(SE_RESTORE_NAME)) {
        const ACCESS_MASK writeAll = mapping.GenericWrite | WRITE_DAC | WRITE_OWNER | DELETE;
        grantedBits |= wantsMaximum ? writeAll : (writeAll & desired);
    }

    const ACCESS_MASK everything = mapping.GenericAll | STANDARD_RIGHTS_ALL;
    ACCESS_MASK allowed = grantedBits;
    if (parts.dacl == nullptr) {
        // No DACL at all (absent or NULL): the object is open to everyone.
        allowed |= wantsMaximum ? everything : desired;
    } else {
        const BYTE* dacl = reinterpret_cast<const BYTE*>(parts.dacl);
        // ParseSelfRelative has validated the DACL within its own size, as
        // CheckedAceListValid would, so its ACEs are walked as they are.

        const bool callerIsOwner =
            parts.owner != nullptr && TokenHasSid(token, reinterpret_cast<const BYTE*>(parts.owner));
        if (callerIsOwner && !HasEffectiveOwnerRightsAce(dacl)) allowed |= READ_CONTROL | WRITE_DAC;

        ACCESS_MASK denied = 0;
        bool refused = false, settled = false;
        VisitValidatedAces(dacl, [&](const AceView& ace) {
            if (refused || settled) return;
            const AceRole role = RoleOf(ace);
            if (role == AceRole::Ignore || !AceAppliesTo(ace, token, callerIsOwner)) return;
            // Only the privilege grants SACL access, whatever an ACE claims.
            const ACCESS_MASK mask =
                MapGenericRights(ace.Mask(), mapping) & ~(ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED);
            if (role == AceRole::Allow) {
                allowed |= mask & ~denied;
            } else if (wantsMaximum) {
                denied |= mask & ~allowed;
            } else if (mask & desired & ~allowed) {
                refused = true;
            }
            settled = !wantsMaximum && (desired & ~allowed) == 0;
        });
        if (refused) return ERROR_ACCESS_DENIED;
    }

    if (desired & ~allowed) return ERROR_ACCESS_DENIED;
    if (wantsMaximum) {
        const ACCESS_MASK result = allowed | desired;
        if (result == 0) return ERROR_ACCESS_DENIED;
        *granted = result;
    } else {
        *granted = desired;
    }
    return ERROR_SUCCESS;
}

}  // namespace winapi
