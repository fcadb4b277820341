// Where a job's messages go on the console: ordinary lines to stdout, error
// and warning lines and a failed run's summary to stderr, and, on a
// terminal, a progress line on stderr that disappears when the job ends.
// With --quiet stdout carries only what was asked for (listing records,
// planned changes): the summary goes to stderr too. With --verbose stderr
// also says what the job does to each object and how long it took. Error
// and warning lines are coloured where stderr is a terminal (not with
// NO_COLOR).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli/failure_report.h"
#include "cli/verbose_report.h"
#include "engine/tavrik.h"

namespace tavrik::cli {

class JobConsole {
public:
    explicit JobConsole(bool quiet, bool verbose = false);
    ~JobConsole();
    JobConsole(const JobConsole&) = delete;
    JobConsole& operator=(const JobConsole&) = delete;

    MessageCallback Callback();
    // Listing records are counted but not printed (a backup writes them to
    // its file, where they are wanted).
    void HideRecords() { hideRecords_ = true; }
    // JSON mode: stdout carries only JSON lines (the records the job makes,
    // an error record for each error line, with the code and the system
    // error of `job`); every text line goes to stderr.
    void UseJson(CTavrik& job) { jsonJob_ = &job; }
    // Removes the progress line; called before the process prints anything else.
    void Finish();
    // Around the run: --verbose describes `job` before it, and gives the
    // last object's line and the timings after it.
    void BeginRun(const CTavrik& job);
    void EndRun();
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
    // A listed object's SDDL or CSV record in a job that is not JSON.
    void HandleRecord(const std::wstring& line);
    void DrawProgress(bool force);
    void ClearProgress();
    // Writes `text` (one message, without its line end) to stderr, coloured
    // by its tone where the terminal takes colour.
    void ToStderr(const std::string& text);

    bool quiet_;
    bool progress_;  // stderr is a terminal
    bool progressShown_ = false;
    bool finished_ = false;
    bool hideRecords_ = false;
    bool listing_ = false;  // the job lists: its other lines are records
    bool colour_;
    VerboseReport verbose_;
    CTavrik* jsonJob_ = nullptr;
    void PrintErrorRecord(const std::wstring& line, DWORD code, DWORD osError);
    long objects_ = 0;
    long errors_ = 0;
    JobProgress seen_;
    std::wstring failureSummary_;
    std::string record_;  // a record's console text, its room kept from record to record
    // "Info: Privilege ... could not be enabled" lines, held until the run's
    // end shows whether they matter.
    std::vector<std::wstring> privilegeNotes_;
    bool accessDenied_ = false;  // an error line reported access denied
    void ShowPrivilegeNotes(bool succeeded);
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace tavrik::cli
