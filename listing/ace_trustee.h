// The trustee a listing shows for an ACE: whatever SID the ACE holds,
// including the server SID of a compound ACE. Types the reader does not know
// are read at the basic place, so that every ACE of the list gets a trustee
// or stops the text with an error.
#pragma once

#include "acl/ace_sid.h"

namespace tavrik {

// The trustee SID of `ace`, or null when the ACE is too short to hold it or
// the SID it holds does not fit inside the ACE.
inline PSID AceTrustee(const ACE_HEADER* ace) { return AceSid(ace, AceSidReach::EveryAce); }

}  // namespace tavrik
