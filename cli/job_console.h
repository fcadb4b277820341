// Where a job's messages go on the console: ordinary lines to stdout, error
// and warning lines and a failed run's summary to stderr, and, on a
// terminal, a progress line on stderr that disappears when the job ends.
#pragma once

#include <chrono>
#include <string>

#include "engine/tavrik.h"

namespace tavrik::cli {

class JobConsole {
public:
    explicit JobConsole(bool quiet);
    ~JobConsole();
    JobConsole(const JobConsole&) = delete;
    JobConsole& operator=(const JobConsole&) = delete;

    MessageCallback Callback();
    // Listing records are counted but not printed (a backup writes them to
    // its file, where they are wanted).
    void HideRecords() { hideRecords_ = true; }
    // Removes the progress line; called before the process prints anything else.
    void Finish();

    long objectsDone() const { return objects_; }
    long errors() const { return errors_; }

    // Whether a message line reports a problem (it goes to stderr).
    static bool IsErrorLine(const std::wstring& line);

private:
    void Handle(const std::wstring& line);
    void DrawProgress(bool force);
    void ClearProgress();

    bool quiet_;
    bool progress_;  // stderr is a terminal
    bool progressShown_ = false;
    bool finished_ = false;
    bool hideRecords_ = false;
    long objects_ = 0;
    long errors_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace tavrik::cli
