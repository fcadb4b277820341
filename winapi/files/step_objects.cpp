#include "winapi/files/step_objects.h"

namespace winapi {
namespace {

struct StepObject {
    bool holding = false;
    std::wstring name;
    StepMark mark;
    ResolvedPath object;
    machine::Drive drive;
};

// One object is enough: the calls of a step come one after the other. It
// is made once per thread and reused, so that keeping an object costs no
// allocation, and freed when the thread ends. Plain values, so that a
// handle closed after that (the process exiting with handles still open)
// finds nothing destroyed and keeps nothing.
thread_local StepObject* kept = nullptr;
thread_local bool threadEnded = false;

struct FreedWithThread {
    bool armed = false;
    ~FreedWithThread() {
        delete kept;
        kept = nullptr;
        threadEnded = true;
    }
};
thread_local FreedWithThread freedWithThread;

void Reset() {
    if (!kept || !kept->holding) return;
    kept->holding = false;
    // Closes what it held (and with it a write lock taken on it); the rest
    // is written over by the next object kept, its buffers kept.
    kept->object.object.Reset();
    kept->object.parent = UniqueFd();
    kept->object.lockedForWrite = false;
}

}  // namespace

void KeepStepObject(std::wstring_view name, const StepMark& mark, ResolvedPath&& object, machine::Drive&& drive) {
    Reset();
    if (!StillInStep(mark) || !object.object.Valid() || threadEnded) return;
    if (!kept) {
        freedWithThread.armed = true;  // its destructor frees the object
        kept = new StepObject;
    }
    kept->name.assign(name);
    kept->mark = mark;
    kept->object = std::move(object);
    kept->drive = std::move(drive);
    kept->holding = true;
}

bool TakeStepObject(std::wstring_view name, FinalLink finalLink, ResolvedPath* out, machine::Drive* drive) {
    if (!kept || !kept->holding) return false;
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
