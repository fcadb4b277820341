#include "winapi/files/step_reads.h"

#include <cstdint>

#include "winapi/machine/network_cache.h"

namespace winapi {
namespace {

// One object is enough: the reads of a step come one after the other.
struct StepRead {
    uint64_t step = 0;
    std::wstring name;
    Bytes sd;
    bool hasStored = false;
    Bytes stored;
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

thread_local StepRead kept;
// Descriptor writes made by this thread so far.
thread_local uint64_t writes = 0;

}  // namespace

void RememberStepRead(const std::wstring& name, const Bytes& sd, const Bytes* stored, const struct stat* status) {
    const uint64_t step = machine::CurrentStep();
    if (step == 0) return;
    kept.step = step;
    kept.name.assign(name);
    kept.sd.assign(sd.begin(), sd.end());
    kept.hasStored = stored && status;
    if (!kept.hasStored) return;
    kept.stored.assign(stored->begin(), stored->end());
    kept.device = status->st_dev;
    kept.inode = status->st_ino;
    kept.mode = status->st_mode;
    kept.owner = status->st_uid;
    kept.group = status->st_gid;
}

bool RecallStoredStepRead(const std::wstring& name, const struct stat& status, Bytes* sd, Bytes* stored) {
    if (!kept.hasStored || kept.device != status.st_dev || kept.inode != status.st_ino ||
        kept.mode != status.st_mode || kept.owner != status.st_uid || kept.group != status.st_gid) {
        return false;
    }
    if (!RecallStepRead(name, sd)) return false;
    stored->assign(kept.stored.begin(), kept.stored.end());
    return true;
}

bool RecallStepRead(const std::wstring& name, Bytes* sd) {
    if (kept.step == 0 || kept.step != machine::CurrentStep() || kept.name != name) return false;
    sd->assign(kept.sd.begin(), kept.sd.end());
    return true;
}

void ForgetStepReads() {
    kept.step = 0;
    ++writes;
}

StepMark CurrentStepMark() { return StepMark{machine::CurrentStep(), writes}; }

bool StillInStep(const StepMark& mark) {
    return mark.step != 0 && mark.step == machine::CurrentStep() && mark.writes == writes;
}

}  // namespace winapi
