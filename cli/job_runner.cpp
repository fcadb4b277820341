#include "cli/job_runner.h"

#include <iostream>

#include "cli/command.h"

#ifndef _WIN32
#include "winapi/machine/dry_run.h"
#endif

namespace tavrik::cli {

ConsoleJob::ConsoleJob(const JobOptions& options)
    : console(options.quiet), job(console.Callback()), status(ConfigureJob(job, options)) {}

void AddDryRunOption(CLI::App* cmd, JobOptions& options) {
#ifndef _WIN32
    cmd->add_flag("-n,--dry-run", options.dryRun,
                  "Show, for each object, its descriptor now and the one the engine would write (before "
                  "Windows adds inherited entries), and change nothing. The engine itself runs as usual: it "
                  "reads every object and reports every step. Linux (simulated computer) only");
#else
    (void)cmd;
    (void)options;
#endif
}

int RunJob(CTavrik& job, JobConsole& console, const JobOptions& options) {
#ifndef _WIN32
    if (options.dryRun) {
        winapi::machine::SetDryRun([&console](const winapi::machine::PlannedWrite& planned) {
            console.Finish();
            std::cout << "Would change <" << ToConsole(planned.object) << ">\n"
                      << "   now:   " << ToConsole(planned.before) << "\n"
                      << "   after: " << ToConsole(planned.after) << "\n";
        });
    }
#else
    (void)options;
#endif
    DWORD code = job.Run();
#ifndef _WIN32
    if (options.dryRun) winapi::machine::SetDryRun(nullptr);
#endif
    console.Finish();
    return static_cast<int>(code);
}

}  // namespace tavrik::cli
