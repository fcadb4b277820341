// tavrik list | backup | restore.
#include <memory>

#include "cli/command.h"
#include "cli/job_runner.h"
#include "cli/listing_options.h"

#ifndef _WIN32
#include "winapi/files/link_policy.h"
#include "winapi/machine/network_cache.h"
#endif

namespace tavrik::cli {
namespace {

struct ListArguments {
    JobOptions job;
    ListingOptions listing;
    std::string file;
};

void AddList(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<ListArguments>();
    auto* cmd = app.add_subcommand("list", "Show the security descriptors of an object (and what lies below it)");
    AddJobOptions(cmd, args->job);
    AddListingOptions(cmd, args->listing);
    cmd->add_option("--output", args->file, "Also write the records to this file (UTF-16LE)");
    AddJsonOption(cmd, args->job);
    cmd->footer("Examples:\n  tavrik list 'C:\\Data' --recurse --format text\n"
                "  tavrik list HKLM\\SOFTWARE\\Vendor --type registry --what all --names both\n"
                "  tavrik list 'C:\\Data' --recurse --json | jq -r 'select(.record==\"object\") | .object'\n"
                "With --json (or --format json) each object is one JSON line with its owner, group and DACL\n"
                "unless --what says otherwise; docs/json.md describes the fields.");
    auto* what = cmd->get_option("--what");
    cmd->callback([args, what, &exitCode] {
        if (args->job.json || args->listing.format == "json") {
            args->job.json = true;
            args->listing.format = "json";
            if (what->count() == 0) args->listing.what = "dacl,owner,group";
        }
        ConsoleJob cj(args->job);
        if (cj.status != RTN_OK || !ApplyListingOptions(cj.job, args->listing)) {
            exitCode = cj.status != RTN_OK ? static_cast<int>(cj.status) : RTN_ERR_PARAMETER;
            return;
        }
        cj.job.SetAction(ACTION_LIST);
        if (!args->file.empty()) cj.job.SetBackupFile(FromConsole(args->file));
        exitCode = RunJob(cj.job, cj.console, args->job);
    });
}

void AddBackup(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<ListArguments>();
    args->listing.what = "dacl,owner,group";
    auto* cmd = app.add_subcommand("backup", "Save the security descriptors of an object tree to a file");
    AddJobOptions(cmd, args->job);
    cmd->add_option("FILE", args->file, "Backup file to create (UTF-16LE, one SDDL record per object)")->required();
    AddListingOptions(cmd, args->listing, true);
    cmd->footer("The records go to FILE only; 'tavrik list --format sddl --output FILE' also prints them.\n"
                "Example:\n  tavrik backup 'C:\\Data' data-acl.txt --recurse --what all\n"
                "Restore it with: tavrik restore data-acl.txt");
    cmd->callback([args, &exitCode] {
        args->listing.format = "sddl";
        ConsoleJob cj(args->job);
        if (cj.status != RTN_OK || !ApplyListingOptions(cj.job, args->listing)) {
            exitCode = cj.status != RTN_OK ? static_cast<int>(cj.status) : RTN_ERR_PARAMETER;
            return;
        }
        cj.job.SetAction(ACTION_LIST);
        cj.job.SetBackupFile(FromConsole(args->file));
        cj.console.HideRecords();
        exitCode = RunJob(cj.job, cj.console, args->job);
    });
}

void AddRestore(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<ListArguments>();
    auto* cmd = app.add_subcommand("restore", "Write the security descriptors saved in a backup file back");
    cmd->add_option("FILE", args->file, "Backup file (UTF-16LE as written by backup, or UTF-8 text)")->required();
    AddJobOptions(cmd, args->job, false, false);
    cmd->add_option("--filter", args->job.filters, "Skip entries whose object name contains this text; repeatable");
    AddDryRunOption(cmd, args->job);
    cmd->footer("Each entry names its own object and type.\nExample:\n  tavrik restore data-acl.txt");
    cmd->callback([args, &exitCode] {
        ConsoleJob cj(args->job);
        if (cj.status != RTN_OK) {
            exitCode = static_cast<int>(cj.status);
            return;
        }
        // A restore needs no object of its own, but a job always names one:
        // the backup file stands in (nothing is done to it).
        cj.job.SetObject(FromConsole(args->file), SE_FILE_OBJECT);
        cj.job.SetAction(ACTION_RESTORE);
        cj.job.SetBackupFile(FromConsole(args->file));
#ifndef _WIN32
        // The saved names were listed with no link on the way; a link there
        // now was swapped in since, and is refused rather than followed.
        winapi::SetDirectoryLinksRefused(true);
        // The calls for one record form one step, as a walk's for one entry.
        winapi::machine::SetNamedSteps(true);
#endif
        exitCode = RunJob(cj.job, cj.console, args->job);
    });
}

const CommandRegistration registration(500, [](CLI::App& app, int& exitCode) {
    AddList(app, exitCode);
    AddBackup(app, exitCode);
    AddRestore(app, exitCode);
});

}  // namespace
}  // namespace tavrik::cli
