// The trustee a listing shows for an ACE: whatever SID the ACE holds,
// including the server SID of a compound ACE; types unknown to the reader are
// read at the basic place rather than passed over, so the listing never
// drops an entry silently.
#pragma once

#include "acl/ace_sid.h"

namespace tavrik {

// The trustee SID of `ace`, or null when the ACE is too short to hold it or
// the SID it holds does not fit inside the ACE.
inline PSID AceTrustee(const ACE_HEADER* ace) { return AceSid(ace, AceSidReach::EveryAce); }

}  // namespace tavrik
