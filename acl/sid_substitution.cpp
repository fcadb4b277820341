// SIDs replaced in place by a map, as a restore to another domain or
// computer needs them: through the same walk and rewrite as the trustee
// actions.
#include "acl/ace_sid.h"
#include "engine/tavrik.h"
#include "objects/csd.h"

DWORD CSD::SubstituteAceSids(DWORD aclType, const std::function<PSID(PSID)>& substitute) {
    return WalkAces(aclType, [&](const ACE_HEADER* ace, AceWalk& walk) -> DWORD {
        PSID sid = tavrik::AceSid(ace);
        if (!sid) return RTN_OK;
        PSID replacement = substitute(sid);
        if (!replacement || EqualSid(sid, replacement)) return RTN_OK;
        return RewriteWalkedAce(walk, TRUSTEE_REPLACE, replacement);
    });
}
