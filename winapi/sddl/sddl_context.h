// The domain context of SDDL conversions: the SIDs behind the
// machine-relative aliases (LA, LG, ...) and the domain aliases (DA, DU, ...).
// The simulated computer installs a provider when it opens; until then a
// fixed machine SID stands in.
#pragma once

#include <functional>
#include <memory>

#include "winapi/security/bytes.h"

namespace winapi {

struct SddlDomainContext {
    Bytes machineSid;  // S-1-5-21-a-b-c of the local computer
    Bytes domainSid;   // the domain the computer belongs to; empty when none
};

using SddlDomainProvider = std::function<SddlDomainContext()>;

// A provider gives the same answer until it is replaced or its owner calls
// ForgetSddlDomainContext, so that each thread can keep the answer it got.
void SetSddlDomainProvider(SddlDomainProvider provider);
void ForgetSddlDomainContext();
SddlDomainContext CurrentSddlDomainContext();

// The context this thread last got from the provider, asked again only after
// the provider changed or forgot it: a walk converts one descriptor per
// object, and copying the two SIDs for each was a tenth of the conversion.
// The reference stays valid until this thread's next call.
using SharedSddlDomainContext = std::shared_ptr<const SddlDomainContext>;
const SharedSddlDomainContext& KeptSddlDomainContext();

}  // namespace winapi
