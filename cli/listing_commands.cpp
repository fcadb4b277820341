// tavrik list | backup | restore | verify.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "cli/command.h"
#include "cli/job_runner.h"
#include "cli/listing_options.h"
#include "listing/descriptor_diff.h"
#include "listing/json_records.h"
#include "listing/restore_maps.h"

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

// Where a restore or verify puts the records: --map, --sid-map, --substitute.
struct RestoreArguments {
    JobOptions job;
    std::string file;
    bool changedOnly = false;
    std::vector<std::string> maps, substitutions;
    std::string sidMapFile;
};

void AddPlacementOptions(CLI::App* cmd, RestoreArguments& args) {
    cmd->add_option("--map", args.maps,
                    "OLD=NEW: records whose object name starts with OLD (whole components, any case) go to NEW "
                    "instead; the longest OLD wins; paths, \\\\server\\share and registry keys; repeatable")
        ->group("Elsewhere");
    cmd->add_option("--sid-map", args.sidMapFile,
                    "File of OLD=NEW lines (accounts or SIDs; a domain or domain SID moves every account of it, "
                    "keeping the RIDs); blank lines and lines starting with # or ; are skipped")
        ->group("Elsewhere");
    cmd->add_option("--substitute", args.substitutions,
                    "OLD=NEW: put NEW in place of OLD in owner, group, DACL and SACL, as --sid-map; repeatable")
        ->group("Elsewhere");
}

// The UTF-8 text of a SID map file, line by line; false with a message
// naming the file and line for a line that is no OLD=NEW.
bool ReadSidMapFile(const std::string& file, std::vector<std::pair<std::wstring, std::wstring>>& pairs) {
    std::ifstream in(std::filesystem::path(FromConsole(file)));
    if (!in) {
        std::cerr << "tavrik: --sid-map: cannot open the file '" << file << "'\n";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        std::wstring from, to;
        if (!tavrik::ParseSidMapLine(FromConsole(line), from, to)) {
            std::cerr << "tavrik: --sid-map: " << file << " line " << number << ": expected OLD=NEW, found '" << line
                      << "'\n";
            return false;
        }
        if (!from.empty()) pairs.emplace_back(from, to);
    }
    return true;
}

// Applies the placement options to `job`; false (with a message) for a
// bad one.
bool ApplyPlacementOptions(CTavrik& job, const RestoreArguments& args) {
    auto split = [](const std::string& option, const std::string& text, std::wstring& from, std::wstring& to) {
        const size_t eq = text.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
            std::cerr << "tavrik: " << option << ": expected OLD=NEW, found '" << text << "'\n";
            return false;
        }
        from = FromConsole(text.substr(0, eq));
        to = FromConsole(text.substr(eq + 1));
        return true;
    };
    for (const auto& text : args.maps) {
        std::wstring from, to;
        if (!split("--map", text, from, to) || job.AddRestoreNameMap(from, to) != RTN_OK) return false;
    }
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    if (!args.sidMapFile.empty() && !ReadSidMapFile(args.sidMapFile, pairs)) return false;
    for (const auto& text : args.substitutions) {
        std::wstring from, to;
        if (!split("--substitute", text, from, to)) return false;
        pairs.emplace_back(from, to);
    }
    for (const auto& [from, to] : pairs) job.AddSidSubstitution(from, to);
    return true;
}

// The job both restore and verify run: the backup file stands in for the
// object (a restore needs none, but a job always names one).
int RunRestoreJob(RestoreArguments& args, DWORD mode, bool verify) {
    ConsoleJob cj(args.job);
    if (cj.status != RTN_OK) return static_cast<int>(cj.status);
    if (!ApplyPlacementOptions(cj.job, args)) return RTN_ERR_PARAMETER;
    cj.job.SetObject(FromConsole(args.file), SE_FILE_OBJECT);
    cj.job.SetAction(ACTION_RESTORE);
    cj.job.SetBackupFile(FromConsole(args.file));
    cj.job.SetRestoreMode(mode);
    // An undo file puts back exactly what its job changed.
    cj.job.SetExactUndoRestore(TRUE);
#ifndef _WIN32
    // The saved names were listed with no link on the way; a link there
    // now was swapped in since, and is refused rather than followed.
    winapi::SetDirectoryLinksRefused(true);
    // The calls for one record form one step, as a walk's for one entry.
    winapi::machine::SetNamedSteps(true);
#endif
    if (verify && args.job.json) {
        // Each verdict is a record of its own; the text lines go to stderr.
        cj.job.m_recordObserver = [](const std::wstring& name, DWORD type, DWORD verdict,
                                     const tavrik::DescriptorDiff* diff) {
            std::cout << json::Line(json::VerifyRecord(name, type, verdict, diff)) << "\n";
        };
    }
    return RunJob(cj.job, cj.console, args.job);
}

void AddRestore(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<RestoreArguments>();
    auto* cmd = app.add_subcommand("restore", "Write the security descriptors saved in a backup file back");
    cmd->add_option("FILE", args->file, "Backup file (UTF-16LE as written by backup, or UTF-8 text)")->required();
    AddJobOptions(cmd, args->job, false, false);
    cmd->add_option("--filter", args->job.filters, "Skip entries whose object name contains this text; repeatable");
    cmd->add_flag("--changed-only", args->changedOnly,
                  "Write only the objects whose descriptor differs from the backup (or cannot be read), and "
                  "say how many were left alone");
    AddPlacementOptions(cmd, *args);
    AddDryRunOption(cmd, args->job);
    cmd->footer("Each entry names its own object and type.\n"
                "Examples:\n"
                "  tavrik restore data-acl.txt\n"
                "  tavrik restore data-acl.txt --changed-only\n"
                "  tavrik restore data-acl.txt --map 'C:\\Data=D:\\Archive\\Data' --substitute 'OLDDOM=NEWDOM'\n"
                "  tavrik restore share-acl.txt --map '\\\\OLDSRV\\share=\\\\NEWSRV\\share' --sid-map sids.txt\n"
                "A SID map file holds lines like 'OLDDOM\\jane=NEWDOM\\jane' or "
                "'S-1-5-21-1-2-3=S-1-5-21-4-5-6' (a whole domain).\n"
                "Objects a mapped record names that are not there are reported one by one.");
    cmd->callback([args, &exitCode] {
        exitCode = RunRestoreJob(*args, args->changedOnly ? RESTORE_CHANGED_ONLY : RESTORE_ALL, false);
    });
}

void AddVerify(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<RestoreArguments>();
    auto* cmd = app.add_subcommand("verify", "Compare the security descriptors of objects with a backup file");
    cmd->add_option("FILE", args->file, "Backup file (as written by backup)")->required();
    AddJobOptions(cmd, args->job, false, false);
    cmd->add_option("--filter", args->job.filters, "Skip entries whose object name contains this text; repeatable");
    AddPlacementOptions(cmd, *args);
    AddJsonOption(cmd, args->job);
    cmd->footer("Prints per object 'Same', 'Differs' (with what differs: '+' entries the object has and the\n"
                "backup lacks, '-' entries of the backup the object lacks, '~' entries with other rights, and\n"
                "owner, group and protection changes, in the listing's words) or 'Missing', then the counts.\n"
                "--quiet leaves out the 'Same' lines. Nothing is written.\n"
                "Examples:\n"
                "  tavrik verify data-acl.txt\n"
                "  tavrik verify data-acl.txt --quiet --map 'C:\\Data=D:\\Archive\\Data'\n"
                "  tavrik verify data-acl.txt --json | jq -c 'select(.verdict==\"differs\") | .differences'\n"
                "With --json each object is one JSON line with its verdict and, when it differs, the owner,\n"
                "group, protection and entries that differ; docs/json.md describes the fields.\n"
                "Exit status: 0 when every object is the same; 1 when some differ or are missing, or could\n"
                "not be read (each named); otherwise the code that stopped the verify (34: the backup file\n"
                "cannot be opened, 27: a bad record, 3: a mistake on the command line).");
    cmd->callback([args, &exitCode] { exitCode = RunRestoreJob(*args, RESTORE_VERIFY, true); });
}

const CommandRegistration registration(500, {"list", "backup", "restore", "verify"}, [](CLI::App& app, int& exitCode) {
    AddList(app, exitCode);
    AddBackup(app, exitCode);
    AddRestore(app, exitCode);
    AddVerify(app, exitCode);
});

}  // namespace
}  // namespace tavrik::cli
