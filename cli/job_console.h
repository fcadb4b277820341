// Where a job's messages go on the console: ordinary lines to stdout, error
// and warning lines and a failed run's summary to stderr, and, on a
// terminal, a progress line on stderr that disappears when the job ends.
// With --quiet stdout carries only what was asked for (listing records,
// planned changes): the summary goes to stderr too.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli/failure_report.h"
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
    // After a failed run: prints `errorLine`, then the run's summary (held
    // back until now) with the code's number and name after its first line.
    // `osError` is the run's last system error.
    void ReportFailure(DWORD code, const std::wstring& errorLine, DWORD osError);
    const JobProgress& progress() const { return seen_; }

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
    JobProgress seen_;
    std::wstring failureSummary_;
    // "Info: Privilege ... could not be enabled" lines, held until the run's
    // end shows whether they matter.
    std::vector<std::wstring> privilegeNotes_;
    bool accessDenied_ = false;  // an error line reported access denied
    void ShowPrivilegeNotes(bool succeeded);
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace tavrik::cli
