// Trustee actions: the explicit ACEs of the accounts in the job's trustee
// list are removed, moved to another account or copied for it.
#include "acl/ace_sid.h"
#include "acl/trustee.h"
#include "engine/tavrik.h"
#include "objects/csd.h"

DWORD CSD::ApplyTrusteeActions(DWORD aclType) {
    return WalkAces(aclType, [&](const ACE_HEADER* ace, AceWalk& walk) -> DWORD {
        if (ace->AceFlags & INHERITED_ACE) return RTN_OK;
        // An ACE of a type without a readable SID belongs to no trustee.
        PSID aceSid = tavrik::AceSid(ace);
        if (!aceSid) return RTN_OK;

        for (CTrustee* trustee : m_engine->m_trustees) {
            if (!trustee->m_active || !trustee->m_sid || !EqualSid(aceSid, trustee->m_sid)) continue;
            // A replacement trustee without a SID gives nothing to build
            // with: the ACE stays as it is.
            PSID newSid = trustee->m_newTrustee ? trustee->m_newTrustee->m_sid : nullptr;
            if (!(trustee->m_flags & TRUSTEE_REMOVE) && !newSid) return RTN_OK;
            // A copy for the trustee itself would add the same entry again.
            if ((trustee->m_flags & TRUSTEE_COPY) && !(trustee->m_flags & (TRUSTEE_REMOVE | TRUSTEE_REPLACE)) &&
                EqualSid(aceSid, newSid)) {
                return RTN_OK;
            }
            return RewriteWalkedAce(walk, trustee->m_flags, newSid);  // the first matching entry decides
        }
        return RTN_OK;
    });
}
