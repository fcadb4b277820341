// The domain context of SDDL conversions: the SIDs behind the
// machine-relative aliases (LA, LG, ...) and the domain aliases (DA, DU, ...).
// The simulated computer installs a provider when it opens; until then a
// fixed machine SID stands in.
#pragma once

#include <functional>

#include "winapi/security/bytes.h"

namespace winapi {

struct SddlDomainContext {
    Bytes machineSid;  // S-1-5-21-a-b-c of the local computer
    Bytes domainSid;   // the domain the computer belongs to; empty when none
};

using SddlDomainProvider = std::function<SddlDomainContext()>;

void SetSddlDomainProvider(SddlDomainProvider provider);
SddlDomainContext CurrentSddlDomainContext();

}  // namespace winapi
