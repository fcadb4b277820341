// Dry runs: descriptor writes through SetNamedSecurityInfoW are reported to
// an observer instead of being made, so a host can show what a job would
// change. Only the simulated computer offers this.
#pragma once

#include <functional>
#include <string>

#include "winapi/aclapi.h"

namespace winapi::machine {

struct PlannedWrite {
    std::wstring object;  // as SetNamedSecurityInfoW received it
    SE_OBJECT_TYPE type = SE_UNKNOWN_OBJECT_TYPE;
    std::wstring before;  // SDDL of the parts being written, as they are now
    std::wstring after;   // SDDL of the same parts as the call would write them
};

using DryRunObserver = std::function<void(const PlannedWrite&)>;

// An empty observer ends the dry run.
void SetDryRun(DryRunObserver observer);
bool DryRunActive();

// Called at the start of SetNamedSecurityInfoW. True when a dry run is
// active: the write was reported and must not be made.
bool InterceptWrite(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                    PACL dacl, PACL sacl);

}  // namespace winapi::machine
