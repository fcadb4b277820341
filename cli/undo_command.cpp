// tavrik undo: puts back what a job changed, from the undo file the job
// kept in the state directory; --list shows the files there.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <system_error>

#include "cli/command.h"
#include "cli/job_runner.h"
#include "cli/undo_journal.h"
#include "listing/backup_file.h"
#include "listing/backup_record.h"
#include "listing/json_records.h"

#ifndef _WIN32
#include "winapi/files/link_policy.h"
#endif

namespace tavrik::cli {
namespace fs = std::filesystem;
namespace {

struct UndoArguments {
    JobOptions job;
    std::string file;
    bool list = false;
};

// Records in an undo file: its UTF-16LE line ends, the mark's not counted.
long RecordCount(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    // Every version's mark has the same length.
    auto markOf = [](DWORD version) {
        std::string mark = "\xFF\xFE";
        AppendUtf16Le(mark, UndoFileMarkRecord(version) + L"\r\n");
        return mark;
    };
    const std::string mark = markOf(kUndoFileVersion);
    std::string start(mark.size(), '\0');
    in.read(start.data(), static_cast<std::streamsize>(start.size()));
    bool marked = false;
    for (DWORD version = 1; version <= kUndoFileVersion; ++version) {
        marked = marked || (in.gcount() == static_cast<std::streamsize>(mark.size()) && start == markOf(version));
    }
    in.clear();
    in.seekg(marked ? static_cast<std::streamoff>(mark.size()) : 0);
    long count = 0;
    char pair[2];
    int state = 0;  // 0: nothing, 1: after CR
    while (in.read(pair, 2)) {
        const bool cr = pair[0] == '\r' && pair[1] == 0, lf = pair[0] == '\n' && pair[1] == 0;
        if (state == 1 && lf) ++count;
        state = cr ? 1 : 0;
    }
    return count;
}

int ListUndo(bool asJson) {
    const auto files = ListUndoFiles();
    if (files.empty() && !asJson) {
        std::cout << "No undo files in " << UndoDirectory().string() << "\n";
        return 0;
    }
    int number = 0;
    for (const auto& file : files) {
        ++number;
        const long records = RecordCount(file.path);
        if (asJson) {
            std::cout << json::Line({{"record", "undo_file"},
                                     {"number", number},
                                     {"path", file.path.string()},
                                     {"when", file.when},
                                     {"command", file.command},
                                     {"objects", records},
                                     {"undone", file.undone}})
                      << "\n";
            continue;
        }
        std::cout << (number < 10 ? " " : "") << number << "  " << file.when << " UTC  " << file.command << ", "
                  << records << (records == 1 ? " object" : " objects") << (file.undone ? " (undone)" : "") << "\n"
                  << "    " << file.path.string() << "\n";
    }
    return 0;
}

int Undo(UndoArguments& args) {
    fs::path file = args.file;
    bool fromDirectory = false;
    if (file.empty()) {
        for (const auto& candidate : ListUndoFiles()) {
            if (candidate.undone) continue;
            file = candidate.path;
            fromDirectory = true;
            break;
        }
        if (file.empty()) {
            std::cerr << "tavrik undo: no undo file left to put back in " << UndoDirectory().string() << "\n";
            return static_cast<int>(RTN_ERR_NO_BACKUP_FILE);
        }
    }
    // Putting a job back keeps no undo file of its own unless asked: the
    // file it reads is marked undone instead, so the next 'tavrik undo'
    // goes one job further back.
    if (args.job.undoFile.empty()) args.job.noUndo = true;
    ConsoleJob cj(args.job);
    if (cj.status != RTN_OK) return static_cast<int>(cj.status);
    const std::wstring name = file.wstring();
    cj.job.SetObject(name, SE_FILE_OBJECT);
    cj.job.SetAction(ACTION_RESTORE);
    cj.job.SetBackupFile(name);
    cj.job.SetExactUndoRestore(TRUE);
#ifndef _WIN32
    winapi::SetDirectoryLinksRefused(true);
#endif
    const int status = RunJob(cj.job, cj.console, args.job);
    if (status == 0 && fromDirectory && !args.job.dryRun) {
        std::error_code ignored;
        fs::rename(file, fs::path(file.string() + kUndoneSuffix), ignored);
    }
    return status;
}

void AddUndo(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<UndoArguments>();
    auto* cmd = app.add_subcommand("undo", "Put back what a job changed, from its undo file");
    cmd->add_option("FILE", args->file, "Undo file (default: the newest one of the state directory not yet undone)");
    cmd->add_flag("-l,--list", args->list, "List the undo files of the state directory, newest first");
    AddJobOptions(cmd, args->job, false, false);
    AddDryRunOption(cmd, args->job);
    cmd->footer(
        "Every changing job (grant, set, deny, revoke, audit, owner, group, protect, clear, reset-children,\n"
        "trustee, domain, run, restore, orphans --remove) writes, before it first changes an object, the\n"
        "object's descriptor as it was to an undo file: --undo FILE, or by default a new file in\n"
        "$XDG_STATE_HOME/tavrik/undo (~/.local/state/tavrik/undo), where the last ten are kept. The file is\n"
        "a backup file: 'tavrik restore FILE' puts it back as well, each file's and registry key's descriptor\n"
        "exactly as it was (no entries inherited where it had none, no SACL where it had none, none stored where\n"
        "it was derived from the file's mode). On Linux the objects below a directory or key that take on what\n"
        "a job's change of it hands down are recorded too, each after its directory or key (on Windows the\n"
        "system makes that change and only the directory or key is recorded). A job that was stopped or killed\n"
        "midway leaves the records of what it had changed; a job that changed nothing keeps no file. 'tavrik\n"
        "undo' puts back the newest job not yet undone (the newest that changed something) and marks its file\n"
        "undone; run it again to go one job further back.\n"
        "Examples:\n"
        "  tavrik undo --list\n"
        "  tavrik undo --dry-run\n"
        "  tavrik undo\n"
        "  tavrik grant 'C:\\Data' alice change --recurse --undo before-alice.undo && tavrik restore before-alice.undo");
    cmd->callback([args, &exitCode] { exitCode = args->list ? ListUndo(args->job.json) : Undo(*args); });
}

const CommandRegistration registration(550, {"undo"}, [](CLI::App& app, int& exitCode) { AddUndo(app, exitCode); });

}  // namespace
}  // namespace tavrik::cli
