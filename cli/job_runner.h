// Runs a configured job on the console: messages, progress, dry run, and
// the engine's return code as the exit status.
#pragma once

#include "cli/job_console.h"
#include "cli/job_options.h"

namespace tavrik::cli {

// The exit status of a job that went on to its end but passed over or
// failed on some objects. The engine never returns 1, so it stands apart
// from every code that stops a job.
constexpr int kExitCompletedWithErrors = 1;

// Runs `job` (already configured) and returns its exit status: the return
// code, or kExitCompletedWithErrors. With
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

// Adds --dry-run to a changing subcommand, and the options every changing
// subcommand shares with it (--json, --undo, --no-undo).
void AddDryRunOption(CLI::App* cmd, JobOptions& options);
// Adds --json: one JSON object a line on stdout (docs/json.md).
void AddJsonOption(CLI::App* cmd, JobOptions& options);
// Adds --undo FILE and --no-undo.
void AddUndoOptions(CLI::App* cmd, JobOptions& options);
// Adds --force to a subcommand that changes DACLs or owners: without it, a
// change after which nobody could change an object's permissions any more
// is refused for that object.
void AddForceOption(CLI::App* cmd, JobOptions& options);

}  // namespace tavrik::cli
