// What --verbose adds to a job's console output, on stderr: what the job
// was told to do, one line per object with what became of it, and the
// timings at the end (objects, elapsed time, time per object).
#pragma once

#include <chrono>
#include <string>

#include "engine/tavrik.h"

namespace tavrik::cli {

class VerboseReport {
public:
    explicit VerboseReport(bool on) : on_(on) {}

    bool on() const { return on_; }
    // Describes the configured job and starts the clock; just before Run.
    void Begin(const CTavrik& job);
    // The engine announced that it starts on `object`; unless an error line
    // follows before the next object, it ends `outcome` ("processed").
    void Announce(const std::wstring& object, const char* outcome);
    // The engine is done with `object` already (a listing record).
    void Done(const std::wstring& object, const char* outcome);
    // An error line; `named` is the object it names, if any.
    void Error(const std::wstring& named);
    // After the run: the last object's line and the timings. Once.
    void End();

private:
    void Line(const std::string& text);
    void FlushPending();

    bool on_;
    bool begun_ = false;
    bool ended_ = false;
    long objects_ = 0;
    long failed_ = 0;
    std::wstring pending_;
    const char* pendingOutcome_ = nullptr;
    bool pendingFailed_ = false;
    std::chrono::steady_clock::time_point start_;
};

// The words of a job's settings, as --verbose shows them before the run:
// "grant 'BUILTIN\Users' read_ex (inherit ci,oi); recursive: directories,
// files; object <C:\Data> (file)".
std::string DescribeJob(const CTavrik& job);

}  // namespace tavrik::cli
