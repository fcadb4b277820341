// The object a handle was opened on, kept when the handle closes for the
// rest of the job step it was opened in.
//
// A walk's step opens its entry more than once: the engine opens a handle
// to read the descriptor and closes it, then writes the descriptor by
// name. Each resolution of the name costs an open, a status call and a
// close. Within one step (step_reads.h), with no descriptor written by
// this process since, the next call naming the same object (the exact same
// name, not following a final link) gets the descriptor the handle had:
// the object the name resolved to a moment ago in the same step, as a
// second resolution would give unless the tree changed meanwhile, which a
// step may see from the next step on. Outside a step nothing is kept.
#pragma once

#include <string>
#include <string_view>

#include "winapi/files/file_paths.h"
#include "winapi/files/step_reads.h"

namespace winapi {

// Keeps `object` (resolved from `name` on `drive` with FinalLink::Keep in
// the step `mark`) while that step holds; replaces what was kept before.
// Takes `object` and `drive` from the caller when it keeps them (moved once,
// straight into place), and leaves them untouched when it does not.
void KeepStepObject(std::wstring_view name, const StepMark& mark, ResolvedPath&& object, machine::Drive&& drive);

// Hands out what KeepStepObject kept for `name`, when the step it was kept
// in still holds and `finalLink` is Keep; false otherwise.
bool TakeStepObject(std::wstring_view name, FinalLink finalLink, ResolvedPath* out, machine::Drive* drive);

// Closes what is kept (a search closes: its walk is done with it).
void DropStepObject();

}  // namespace winapi
