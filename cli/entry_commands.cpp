// tavrik grant | set | deny | revoke | audit: merge one entry into the DACL
// or SACL of an object (and, with --recurse, of everything below it).
#include <memory>

#include "cli/command.h"
#include "cli/job_runner.h"

namespace tavrik::cli {
namespace {

struct EntryArguments {
    JobOptions job;
    std::string trustee;
    std::string permissions;
    std::string inherit;
    bool inheritGiven = false;
    bool success = false;
    bool failure = false;
    bool sacl = false;
};

struct EntryKind {
    const char* name;
    const char* summary;
    DWORD accessMode;
    const char* example;
};

const char kKeywords[] =
    "Permission keywords (case does not matter):\n"
    "  files      read write list_folder read_ex change profile full traverse list_dir\n"
    "             read_attr read_ea add_file add_subdir write_attr write_ea del_child\n"
    "             delete read_dacl write_dacl write_owner\n"
    "  registry   read full query_val set_val create_subkey enum_subkeys notify\n"
    "             create_link delete write_dacl write_owner read_access\n"
    "  services   read start_stop full\n"
    "  printers   print man_printer man_docs full\n"
    "  shares     read change full\n"
    "Join keywords with ',' or '+'. Every word a listing prints is taken too\n"
    "(read_execute, WRITE_DAC, FILE_TRAVERSE, KEY_SET_VALUE, ...), so a listed line can be\n"
    "typed back.\n"
    "Inheritance flags: oi object_inherit, ci container_inherit, np no_propagate,\n"
    "io inherit_only.\n";

int RunEntry(const EntryKind& kind, EntryArguments& args) {
    ConsoleJob cj(args.job);
    if (cj.status != RTN_OK) return static_cast<int>(cj.status);
    DWORD mode = kind.accessMode;
    DWORD aclType = ACL_DACL;
    if (mode == AUDIT_SUCCESS_AND_FAILURE) {
        aclType = ACL_SACL;
        if (args.success && !args.failure) mode = SET_AUDIT_SUCCESS;
        if (args.failure && !args.success) mode = SET_AUDIT_FAILURE;
    } else if (mode == REVOKE_ACCESS && args.sacl) {
        aclType = ACL_SACL;
    }
    const std::wstring trustee = FromConsole(args.trustee);
    DWORD inheritance = args.inheritGiven ? ParseInheritance(args.inherit) : 0;
    cj.job.SetAction(ACTION_ADD_ACE);
    DWORD code = cj.job.AddACE(trustee, LooksLikeSid(trustee) ? TRUE : FALSE, FromConsole(args.permissions),
                               inheritance, args.inheritGiven ? TRUE : FALSE, mode, aclType);
    if (code != RTN_OK) return static_cast<int>(code);
    return RunJob(cj.job, cj.console, args.job);
}

void AddEntryCommand(CLI::App& app, int& exitCode, const EntryKind& kind) {
    auto args = std::make_shared<EntryArguments>();
    auto* cmd = app.add_subcommand(kind.name, kind.summary);
    AddJobOptions(cmd, args->job);
    cmd->add_option("TRUSTEE", args->trustee,
                    "Account: name (Users), qualified name (BUILTIN\\Users, DOMAIN\\user) or SID (S-1-5-32-545)")
        ->required();
    auto* permissions = cmd->add_option("PERMISSIONS", args->permissions,
                                        "Permission keywords joined by ',' or '+' (see below), e.g. read_ex or read,write");
    if (kind.accessMode != REVOKE_ACCESS) permissions->required();
    cmd->add_option("-i,--inherit", args->inherit,
                    "Inheritance: oi, ci, np, io joined by ',' or '+', none, or 0-15 (default: oi,ci for "
                    "files, ci for keys and list_folder, none for the rest)")
        ->check([](const std::string& text) {
            try {
                ParseInheritance(text);
                return std::string();
            } catch (const CLI::ValidationError& e) {
                return std::string(e.what());
            }
        })
        ->each([args](const std::string&) { args->inheritGiven = true; });
    if (kind.accessMode == AUDIT_SUCCESS_AND_FAILURE) {
        cmd->add_flag("--success", args->success, "Audit successful access only");
        cmd->add_flag("--failure", args->failure, "Audit failed access only");
    }
    if (kind.accessMode == REVOKE_ACCESS) {
        cmd->add_flag("--sacl", args->sacl, "Remove the trustee's audit entries instead of its allow entries");
    }
    AddDryRunOption(cmd, args->job);
    AddForceOption(cmd, args->job);
    cmd->footer(std::string(kKeywords) + "\nExample:\n  " + kind.example);
    cmd->callback([args, kind, &exitCode] { exitCode = RunEntry(kind, *args); });
}

const CommandRegistration registration(100, {"grant", "set", "deny", "revoke", "audit"}, [](CLI::App& app, int& exitCode) {
    static const EntryKind kinds[] = {
        {"grant", "Grant rights: add them to the trustee's allow entry (existing rights stay)", GRANT_ACCESS,
         "tavrik grant 'C:\\Data' 'BUILTIN\\Users' read_ex --recurse"},
        {"set", "Set rights: replace every allow and deny entry of the trustee by one allow entry", SET_ACCESS,
         "tavrik set 'C:\\Data' 'BUILTIN\\Users' change"},
        {"deny", "Deny rights: add them to the trustee's deny entry", DENY_ACCESS,
         "tavrik deny 'C:\\Data\\Secret' Guest full"},
        {"revoke", "Revoke: remove every allow entry of the trustee (deny entries stay)", REVOKE_ACCESS,
         "tavrik revoke 'C:\\Data' 'BUILTIN\\Users' --recurse"},
        {"audit", "Audit access: add a success and/or failure audit entry to the SACL", AUDIT_SUCCESS_AND_FAILURE,
         "tavrik audit 'C:\\Data' Everyone write --failure"},
    };
    for (const auto& kind : kinds) AddEntryCommand(app, exitCode, kind);
});

}  // namespace
}  // namespace tavrik::cli
