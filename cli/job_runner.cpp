#include "cli/job_runner.h"

#include <iostream>

#include "cli/command.h"

#ifndef _WIN32
#include "winapi/machine/descendant_failures.h"
#include "winapi/machine/dry_run.h"
#endif

namespace tavrik::cli {

ConsoleJob::ConsoleJob(const JobOptions& options)
    : console(options.quiet, options.verbose), job(console.Callback()), status(ConfigureJob(job, options)) {}

void AddDryRunOption(CLI::App* cmd, JobOptions& options) {
#ifndef _WIN32
    cmd->add_flag("-n,--dry-run", options.dryRun,
                  "Change nothing; show the SDDL of each object the job would write, now and as the engine "
                  "hands it to Windows (which then recomputes the inherited entries, not shown). Reading, "
                  "messages and the log go on as usual. Linux only");
#else
    (void)cmd;
    (void)options;
#endif
}

int RunJob(CTavrik& job, JobConsole& console, const JobOptions& options) {
#ifndef _WIN32
    if (options.dryRun) {
        winapi::machine::SetDryRun([&console, &options](const winapi::machine::PlannedWrite& planned) {
            console.Finish();
            if (planned.before == planned.after) {
                if (!options.quiet) std::cout << "Would leave <" << ToConsole(planned.object) << "> as it is\n";
                return;
            }
            std::cout << "Would change <" << ToConsole(planned.object) << ">\n"
                      << "   now:   " << ToConsole(planned.before) << "\n"
                      << "   after: " << ToConsole(planned.after) << "\n";
        });
    }
    // Descendants a write could not bring up to date fail the write of
    // their ancestor; the job names each of them and goes on.
    winapi::machine::SetDescendantFailureObserver(
        [&job](const std::wstring& object, DWORD error) { job.ReportDescendantNotUpdated(object, error); });
#else
    (void)options;
#endif
    console.BeginRun(job);
    DWORD code = job.Run();
    console.EndRun();
#ifndef _WIN32
    winapi::machine::SetDescendantFailureObserver(nullptr);
    if (options.dryRun) winapi::machine::SetDryRun(nullptr);
#endif
    console.Finish();
    if (code != RTN_OK) console.ReportFailure(code, FailureLine(job, code, console.progress()), job.m_lastOsError);
    if (code == RTN_OK && job.GetObjectsNotProcessed() != 0) return kExitCompletedWithErrors;
    return static_cast<int>(code);
}

}  // namespace tavrik::cli
