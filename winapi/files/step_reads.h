// The descriptor the last read of a file found, kept for the rest of the
// job step it was read in.
//
// A job step reads one object's descriptor more than once: the engine
// opens the object and reads it, the host's undo file reads it again
// before the write, and each read resolves the name, reads the attribute,
// decodes it and works out what a deferred propagation owes it. Within one
// step (a walk's entry, or one object of a restore) the later reads of
// the same name get what the first one found, as long as nothing in this
// process wrote a descriptor since; the access check is still made by each
// call. Outside a step (no walk, no restore) nothing is kept. A write made
// by another process between two reads of one step is seen by the next
// step, as if the second read had come right after the first.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "winapi/security/bytes.h"

namespace winapi {

// Keeps `sd` as what `name` holds now (with what is owed it folded in).
// `stored`, when given, is the attribute's raw value `sd` was decoded from
// (empty: no attribute) for the object `status` describes, with what is
// owed folded in as a write folds it: a write later in the step may then
// work out what it stores from `sd` (and see that it would leave the object
// as it is) without locking and reading it first.
void RememberStepRead(const std::wstring& name, const Bytes& sd, const Bytes* stored = nullptr,
                      const struct stat* status = nullptr);

// What RememberStepRead kept for `name` in this step, when nothing wrote
// a descriptor since; false otherwise.
bool RecallStepRead(const std::wstring& name, Bytes* sd);

// The same with the raw value, when one was kept for this very object (the
// same file, mode and owners as `status`, from which a file without the
// attribute derives its descriptor).
bool RecallStoredStepRead(const std::wstring& name, const struct stat& status, Bytes* sd, Bytes* stored);

// Every write of a file's descriptor calls this: what was kept may be stale.
void ForgetStepReads();

// Where the step stands when something is read: what was read then holds
// while StillInStep says so (the same step, and no descriptor written by
// this process since). Outside a step nothing holds.
struct StepMark {
    uint64_t step = 0;
    uint64_t writes = 0;
};
StepMark CurrentStepMark();
bool StillInStep(const StepMark& mark);

}  // namespace winapi
