// Dry runs: descriptor writes through SetNamedSecurityInfoW are reported to
// an observer instead of being made, so a host can show what a job would
// change. Only the simulated computer offers this.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "winapi/aclapi.h"
#include "winapi/security/bytes.h"

namespace winapi::machine {

struct PlannedWrite {
    std::wstring object;  // as SetNamedSecurityInfoW received it
    SE_OBJECT_TYPE type = SE_UNKNOWN_OBJECT_TYPE;
    SECURITY_INFORMATION parts = 0;  // the parts written (owner, group, DACL, SACL bits)
    std::wstring before;  // SDDL of the parts being written, as they are now
    std::wstring after;   // SDDL of the same parts as the call would write them
};

using DryRunObserver = std::function<void(const PlannedWrite&)>;

// An empty observer ends the dry run and forgets what it planned.
void SetDryRun(DryRunObserver observer);
bool DryRunActive();

// Called at the start of SetNamedSecurityInfoW. True when a dry run is
// active: the write was reported and must not be made.
// The write is also remembered, so that later reads of the object in the
// same dry run (a listing after the changes, a second change) see the
// planned descriptor instead of the one on disk.
// A registry key's plan is remembered by the key (`keyId`, not 0) rather than
// by the spelling of its name: listings read keys through handles that do
// not know the name they were opened by, and one key has many names.
bool InterceptWrite(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                    PACL dacl, PACL sacl, int64_t keyId = 0);

// The same for a call that stores the parts of `info` of the self-relative
// `given` as they stand (SetFileSecurityW, RegSetKeySecurity): the plan is
// what the object would then hold, each list with the flags `given` gives
// it, a SACL it lacks absent.
bool InterceptStoredWrite(const std::wstring& name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                          const Bytes& given, int64_t keyId = 0);

// Called by GetNamedSecurityInfoW with the whole descriptor it read: the
// parts a dry run planned for the object (by the name and type the write
// used, case-insensitively) replace the ones read. The descriptors of
// objects below a planned write keep the inherited entries they have now.
void ApplyPlannedWrite(const std::wstring& name, SE_OBJECT_TYPE type, Bytes* whole);

// The same for a registry key, by the key, however it was named or opened.
void ApplyPlannedKeyWrite(int64_t keyId, Bytes* whole);

}  // namespace winapi::machine
