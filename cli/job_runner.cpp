#include "cli/job_runner.h"

#include <filesystem>
#include <iostream>
#include <memory>

#include "cli/command.h"
#include "cli/undo_journal.h"
#include "listing/json_records.h"
#include "listing/descriptor_diff.h"

#ifndef _WIN32
#include "winapi/machine/descendant_failures.h"
#include "winapi/machine/dry_run.h"
#include "winapi/machine/machine.h"
#endif

namespace tavrik::cli {

ConsoleJob::ConsoleJob(const JobOptions& options)
    : console(options.quiet, options.verbose), job(console.Callback()), status(RTN_OK) {
    if (options.json) console.UseJson(job);
    status = ConfigureJob(job, options);
}

void AddJsonOption(CLI::App* cmd, JobOptions& options) {
    cmd->add_flag("--json", options.json,
                  "Print one JSON object a line on stdout (records, changes with their before and after, "
                  "errors with their codes, and a closing summary); every other message goes to stderr. "
                  "The fields are described in docs/json.md");
}

namespace {

// Changes as JSON records: the parts a write touches, read before and
// after it.
void RecordChangesAsJson(CTavrik& job) {
    auto before = std::make_shared<json::Record>();
    job.m_beforeWrite = [&job, before](const std::wstring& object, DWORD type, SECURITY_INFORMATION parts) {
        DWORD error = 0;
        *before = json::ReadDescriptor(job, object, type, parts, error);
        return RTN_OK;
    };
    job.m_afterWrite = [&job, before](const std::wstring& object, DWORD type, SECURITY_INFORMATION parts,
                                      DWORD result) {
        if (result != RTN_OK) return;
        DWORD error = 0;
        const json::Record after = json::ReadDescriptor(job, object, type, parts, error);
        std::cout << json::Line(json::ChangeRecord(object, type, *before, after, false)) << "\n";
    };
}

}  // namespace

void AddUndoOptions(CLI::App* cmd, JobOptions& options) {
    cmd->add_option("--undo", options.undoFile,
                    "Write the descriptor of each object, as it was before the job first changed it, to this "
                    "file (the backup format, each record on disk before its change); 'tavrik restore FILE' "
                    "puts it back. Without it the file is kept in the state directory ($XDG_STATE_HOME/tavrik/undo "
                    "or ~/.local/state/tavrik/undo), the last ten jobs' worth: see 'tavrik undo'");
    cmd->add_flag("--no-undo", options.noUndo, "Keep no undo file for this job")->excludes("--undo");
    // The subcommand's words name its undo file ("trustee replace").
    std::string command = cmd->get_name();
    for (const CLI::App* parent = cmd->get_parent(); parent && parent->get_parent(); parent = parent->get_parent())
        command = parent->get_name() + " " + command;
    options.command = command;
}

void AddDryRunOption(CLI::App* cmd, JobOptions& options) {
    AddJsonOption(cmd, options);
    AddUndoOptions(cmd, options);
#ifndef _WIN32
    auto* dryRun = cmd->add_flag(
        "-n,--dry-run", options.dryRun,
        "Change nothing; for each object the job would write, show what would change: '+' entries added, "
        "'-' entries removed, '~' entries with other rights, and owner, group and protection changes, in the "
        "listing's words. Listings of the same job (--list) show the planned descriptors. Windows would then "
        "recompute the inherited entries of the objects below, which is not shown. Linux only");
    cmd->add_flag("--sddl", options.sddl, "With --dry-run: show the changes in SDDL instead of the listing's words")
        ->needs(dryRun);
#else
    (void)cmd;
    (void)options;
#endif
}

void AddForceOption(CLI::App* cmd, JobOptions& options) {
    cmd->add_flag("--force", options.force,
                  "Make the change even on an object it would leave with nobody able to change its permissions "
                  "(no DACL entry that, read in order with the deny entries, gives WRITE_DAC or full control to "
                  "SYSTEM, Administrators, the Unix root account or the owner, and no implicit right of the "
                  "owner because OWNER RIGHTS entries withhold it). Without --force such an object is left as it "
                  "is, named with the reason, and the job goes on to the others and exits with status 1");
}

int RunJob(CTavrik& job, JobConsole& console, const JobOptions& options) {
    // The command guards people against locking everyone out of an object;
    // a host of the engine decides that for itself.
    job.SetRefuseLockout(options.force ? FALSE : TRUE);
#ifndef _WIN32
    if (options.dryRun) {
        winapi::machine::SetDryRun([&console, &options, &job](const winapi::machine::PlannedWrite& planned) {
            console.Finish();
            if (options.json) {
                std::cout << json::Line(json::ChangeRecord(
                                 planned.object, planned.type, json::DescriptorFromSddl(job, planned.before, planned.type),
                                 json::DescriptorFromSddl(job, planned.after, planned.type), true))
                          << "\n";
                return;
            }
            tavrik::DescriptorDiff diff;
            const bool compared =
                planned.before != planned.after &&
                tavrik::DiffSddl(job, planned.type, planned.before, planned.after, planned.parts, diff);
            if (planned.before == planned.after || (compared && diff.Same())) {
                if (!options.quiet) std::cout << "Would leave <" << ToConsole(planned.object) << "> as it is\n";
                return;
            }
            std::cout << "Would change <" << ToConsole(planned.object) << ">\n";
            if (!compared) {
                // A descriptor that could not be read has nothing to compare with.
                std::cout << "   now:   " << ToConsole(planned.before) << "\n"
                          << "   after: " << ToConsole(planned.after) << "\n";
                return;
            }
            for (const auto& line : tavrik::DiffLines(diff, options.sddl)) std::cout << "   " << ToConsole(line) << "\n";
        });
    }
    // Descendants a write could not bring up to date fail the write of
    // their ancestor; the job names each of them and goes on.
    winapi::machine::SetDescendantFailureObserver(
        [&job](const std::wstring& object, DWORD error) { job.ReportDescendantNotUpdated(object, error); });
#endif
    if (options.json && !options.dryRun && !job.m_beforeWrite) RecordChangesAsJson(job);
    // The undo record goes first: it is on disk before anything is written.
    UndoJournal undo;
    const bool defaultUndo = options.undoFile.empty();
    if (!options.dryRun && !options.noUndo && !options.command.empty()) {
        const std::filesystem::path file = defaultUndo ? NewUndoFile(options.command) : std::filesystem::path();
        const std::wstring name = defaultUndo ? file.wstring() : FromConsole(options.undoFile);
        if (!name.empty() && undo.Open(name)) {
            undo.Attach(job);
        } else if (!defaultUndo) {
            console.Finish();
            std::cerr << "tavrik: cannot create the undo file '" << options.undoFile << "'; nothing was changed\n";
            return static_cast<int>(RTN_ERR_OPEN_BACKUP_FILE);
        } else {
            // The job's own work matters more than its undo file.
            console.Finish();
            std::cerr << "Warning: no undo file is kept for this job (the state directory "
                      << (UndoDirectory().empty() ? std::string("has no name") : UndoDirectory().string() + " cannot be written")
                      << ")\n";
        }
    }
    console.BeginRun(job);
    DWORD code = job.Run();
    console.EndRun();
    job.m_beforeWrite = nullptr;
    job.m_afterWrite = nullptr;
    undo.Close(defaultUndo);
    if (defaultUndo && undo.records() > 0) PruneUndoFiles();
#ifndef _WIN32
    winapi::machine::SetDescendantFailureObserver(nullptr);
    if (options.dryRun) winapi::machine::SetDryRun(nullptr);
#endif
    console.Finish();
#ifndef _WIN32
    // A job that could not save a change to the network says why, once.
    if (code != RTN_OK || job.GetObjectsNotProcessed() != 0) {
        const std::string note = winapi::machine::DatabaseReadOnlyNote();
        if (!note.empty()) std::cerr << "tavrik: " << note << "\n";
    }
#endif
    if (code != RTN_OK) console.ReportFailure(code, FailureLine(job, code, console.progress()), job.m_lastOsError);
    int status = code == RTN_OK && job.GetObjectsNotProcessed() != 0 ? kExitCompletedWithErrors
                                                                     : static_cast<int>(code);
    // A verify that ran to its end says by its status whether all was the same.
    const bool verify = (job.m_actions & ACTION_RESTORE) && job.m_restoreMode == RESTORE_VERIFY;
    if (verify && status == 0 && (job.m_restoreTally.differs != 0 || job.m_restoreTally.missing != 0)) {
        status = kExitCompletedWithErrors;
    }
    if (options.json) {
        json::Record summary = {{"record", "summary"},
                                {"return_code", code},
                                {"return_code_name", code == RTN_OK ? "OK" : json::ReturnCodeName(code)},
                                {"exit_status", status},
                                {"objects", console.objectsDone()},
                                {"objects_not_processed", job.GetObjectsNotProcessed()},
                                {"dry_run", options.dryRun}};
        if (verify) {
            summary["same"] = job.m_restoreTally.same;
            summary["differ"] = job.m_restoreTally.differs;
            summary["missing"] = job.m_restoreTally.missing;
        }
        std::cout << json::Line(summary) << std::endl;
    }
    return status;
}

}  // namespace tavrik::cli
