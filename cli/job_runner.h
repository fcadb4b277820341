// Runs a configured job on the console: messages, progress, dry run, and
// the engine's return code as the exit status.
#pragma once

#include "cli/job_console.h"
#include "cli/job_options.h"

namespace tavrik::cli {

// Runs `job` (already configured) and returns its return code. With
// `options.dryRun`, descriptor writes are shown instead of made.
int RunJob(CTavrik& job, JobConsole& console, const JobOptions& options);

// The job the subcommands build: a console and a job wired to it, with the
// shared options applied. `status` is RTN_OK or why configuring failed.
struct ConsoleJob {
    explicit ConsoleJob(const JobOptions& options);
    JobConsole console;
    CTavrik job;
    DWORD status;
};

// Adds --dry-run to a changing subcommand.
void AddDryRunOption(CLI::App* cmd, JobOptions& options);

}  // namespace tavrik::cli
