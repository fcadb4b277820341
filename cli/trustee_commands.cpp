// tavrik trustee replace|remove|copy and tavrik domain migrate|remove|copy:
// rewrite the explicit entries of given accounts, or of every account of a
// domain, in the DACL and/or SACL.
#include <memory>

#include "cli/command.h"
#include "cli/job_runner.h"

namespace tavrik::cli {
namespace {

struct RewriteArguments {
    JobOptions job;
    std::string from;
    std::string to;
    bool dacl = false;
    bool sacl = false;
};

struct RewriteKind {
    const char* name;
    const char* summary;
    DWORD flag;
    const char* example;
};

void AddScopeOptions(CLI::App* cmd, RewriteArguments& args) {
    cmd->add_flag("--dacl", args.dacl, "Rewrite the DACL (the default)");
    cmd->add_flag("--sacl", args.sacl, "Rewrite the SACL");
}

void AddTrusteeAction(CLI::App* parent, int& exitCode, const RewriteKind& kind) {
    auto args = std::make_shared<RewriteArguments>();
    auto* cmd = parent->add_subcommand(kind.name, kind.summary);
    AddJobOptions(cmd, args->job);
    cmd->add_option("TRUSTEE", args->from, "The account whose entries are rewritten (name or SID)")->required();
    if (kind.flag != TRUSTEE_REMOVE)
        cmd->add_option("NEW_TRUSTEE", args->to, "The account that takes them (name or SID)")->required();
    AddScopeOptions(cmd, *args);
    AddDryRunOption(cmd, args->job);
    cmd->footer(std::string("Example:\n  ") + kind.example);
    cmd->callback([args, kind, &exitCode] {
        ConsoleJob cj(args->job);
        if (cj.status != RTN_OK) {
            exitCode = static_cast<int>(cj.status);
            return;
        }
        const std::wstring from = FromConsole(args->from), to = FromConsole(args->to);
        cj.job.SetAction(ACTION_TRUSTEE);
        cj.job.AddTrustee(from, LooksLikeSid(from) ? TRUE : FALSE, to, LooksLikeSid(to) ? TRUE : FALSE, kind.flag);
        cj.job.SetTrusteeDacl(args->dacl || !args->sacl ? TRUE : FALSE);
        cj.job.SetTrusteeSacl(args->sacl ? TRUE : FALSE);
        exitCode = RunJob(cj.job, cj.console, args->job);
    });
}

void AddDomainAction(CLI::App* parent, int& exitCode, const RewriteKind& kind) {
    auto args = std::make_shared<RewriteArguments>();
    auto* cmd = parent->add_subcommand(kind.name, kind.summary);
    AddJobOptions(cmd, args->job);
    cmd->add_option("DOMAIN", args->from, "Flat name of the domain whose accounts' entries are rewritten")->required();
    if (kind.flag != TRUSTEE_REMOVE)
        cmd->add_option("NEW_DOMAIN", args->to, "Flat name of the domain whose same-named accounts take them")
            ->required();
    AddScopeOptions(cmd, *args);
    AddDryRunOption(cmd, args->job);
    cmd->footer(std::string("Example:\n  ") + kind.example);
    cmd->callback([args, kind, &exitCode] {
        ConsoleJob cj(args->job);
        if (cj.status != RTN_OK) {
            exitCode = static_cast<int>(cj.status);
            return;
        }
        cj.job.SetAction(ACTION_DOMAIN);
        cj.job.AddDomain(FromConsole(args->from), FromConsole(args->to), kind.flag);
        cj.job.SetDomainDacl(args->dacl || !args->sacl ? TRUE : FALSE);
        cj.job.SetDomainSacl(args->sacl ? TRUE : FALSE);
        exitCode = RunJob(cj.job, cj.console, args->job);
    });
}

const CommandRegistration registration(400, [](CLI::App& app, int& exitCode) {
    auto* trustee = app.add_subcommand("trustee", "Replace, remove or copy the entries of one account");
    trustee->require_subcommand(1);
    static const RewriteKind trusteeKinds[] = {
        {"replace", "Move the account's entries to another account", TRUSTEE_REPLACE,
         "tavrik trustee replace 'D:\\Projects' 'OLDDOM\\jane' 'NEWDOM\\jane' --recurse"},
        {"remove", "Delete the account's entries", TRUSTEE_REMOVE,
         "tavrik trustee remove 'D:\\Projects' S-1-5-21-1-2-3-1104 --recurse"},
        {"copy", "Give another account the same entries, beside the account's own", TRUSTEE_COPY,
         "tavrik trustee copy 'D:\\Projects' 'BUILTIN\\Users' 'TESTPC\\helpdesk'"},
    };
    for (const auto& kind : trusteeKinds) AddTrusteeAction(trustee, exitCode, kind);

    auto* domain = app.add_subcommand("domain", "Move, remove or copy the entries of every account of a domain");
    domain->require_subcommand(1);
    static const RewriteKind domainKinds[] = {
        {"migrate", "Move each account's entries to the same-named account of another domain", TRUSTEE_REPLACE,
         "tavrik domain migrate 'D:\\Projects' OLDDOM NEWDOM --recurse"},
        {"remove", "Delete the entries of every account of the domain", TRUSTEE_REMOVE,
         "tavrik domain remove 'D:\\Projects' OLDDOM --recurse"},
        {"copy", "Copy each account's entries to the same-named account of another domain", TRUSTEE_COPY,
         "tavrik domain copy 'D:\\Projects' OLDDOM NEWDOM --recurse"},
    };
    for (const auto& kind : domainKinds) AddDomainAction(domain, exitCode, kind);
});

}  // namespace
}  // namespace tavrik::cli
