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
};

thread_local StepRead kept;
// Descriptor writes made by this thread so far.
thread_local uint64_t writes = 0;

}  // namespace

void RememberStepRead(const std::wstring& name, const Bytes& sd) {
    const uint64_t step = machine::CurrentStep();
    if (step == 0) return;
    kept.step = step;
    kept.name.assign(name);
    kept.sd.assign(sd.begin(), sd.end());
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
