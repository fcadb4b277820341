#include "winapi/files/step_objects.h"

#include <new>

namespace winapi {
namespace {

struct StepObject {
    std::wstring name;
    StepMark mark;
    ResolvedPath object;
    machine::Drive drive;
};

// One object is enough: the calls of a step come one after the other. A
// plain pointer, so that a handle closed while the process exits (after
// this thread's objects are gone) finds nothing destroyed.
thread_local StepObject* kept = nullptr;

void Reset() {
    delete kept;
    kept = nullptr;
}

}  // namespace

void KeepStepObject(std::wstring_view name, const StepMark& mark, ResolvedPath object, machine::Drive drive) {
    Reset();
    if (!StillInStep(mark) || !object.object.Valid()) return;
    kept = new (std::nothrow) StepObject{std::wstring(name), mark, std::move(object), std::move(drive)};
}

bool TakeStepObject(std::wstring_view name, FinalLink finalLink, ResolvedPath* out, machine::Drive* drive) {
    if (!kept) return false;
    if (!StillInStep(kept->mark)) {
        Reset();
        return false;
    }
    if (finalLink != FinalLink::Keep || kept->name != name) return false;
    *out = std::move(kept->object);
    if (drive) *drive = std::move(kept->drive);
    Reset();
    return true;
}

void DropStepObject() { Reset(); }

}  // namespace winapi
