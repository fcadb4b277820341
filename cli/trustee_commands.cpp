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

// What a rewrite's two arguments are called, and how they go into the job.
struct RewriteTarget {
    const char* fromName;
    const char* fromHelp;
    const char* toName;
    const char* toHelp;
    void (*configure)(CTavrik& job, const RewriteArguments& args, DWORD flag);
};

void ConfigureTrusteeAction(CTavrik& job, const RewriteArguments& args, DWORD flag) {
    const std::wstring from = FromConsole(args.from), to = FromConsole(args.to);
    job.SetAction(ACTION_TRUSTEE);
    job.AddTrustee(from, LooksLikeSid(from) ? TRUE : FALSE, to, LooksLikeSid(to) ? TRUE : FALSE, flag);
    job.SetTrusteeDacl(args.dacl || !args.sacl ? TRUE : FALSE);
    job.SetTrusteeSacl(args.sacl ? TRUE : FALSE);
}

void ConfigureDomainAction(CTavrik& job, const RewriteArguments& args, DWORD flag) {
    job.SetAction(ACTION_DOMAIN);
    job.AddDomain(FromConsole(args.from), FromConsole(args.to), flag);
    job.SetDomainDacl(args.dacl || !args.sacl ? TRUE : FALSE);
    job.SetDomainSacl(args.sacl ? TRUE : FALSE);
}

const RewriteTarget kTrusteeTarget = {"TRUSTEE", "The account whose entries are rewritten (name or SID)", "NEW_TRUSTEE",
                                      "The account that takes them (name or SID)", ConfigureTrusteeAction};
const RewriteTarget kDomainTarget = {"DOMAIN", "Flat name of the domain whose accounts' entries are rewritten",
                                     "NEW_DOMAIN", "Flat name of the domain whose same-named accounts take them",
                                     ConfigureDomainAction};

void AddRewriteAction(CLI::App* parent, int& exitCode, const RewriteTarget& target, const RewriteKind& kind) {
    auto args = std::make_shared<RewriteArguments>();
    auto* cmd = parent->add_subcommand(kind.name, kind.summary);
    AddJobOptions(cmd, args->job);
    cmd->add_option(target.fromName, args->from, target.fromHelp)->required();
    if (kind.flag != TRUSTEE_REMOVE) cmd->add_option(target.toName, args->to, target.toHelp)->required();
    cmd->add_flag("--dacl", args->dacl, "Rewrite the DACL (the default)");
    cmd->add_flag("--sacl", args->sacl, "Rewrite the SACL");
    AddDryRunOption(cmd, args->job);
    AddForceOption(cmd, args->job);
    cmd->footer(std::string("Example:\n  ") + kind.example);
    cmd->callback([args, &target, kind, &exitCode] {
        ConsoleJob cj(args->job);
        if (cj.status != RTN_OK) {
            exitCode = static_cast<int>(cj.status);
            return;
        }
        target.configure(cj.job, *args, kind.flag);
        exitCode = RunJob(cj.job, cj.console, args->job);
    });
}

template <size_t N>
std::string ExamplesOf(const RewriteKind (&kinds)[N]) {
    std::string text = "Examples:";
    for (const auto& kind : kinds) text += std::string("\n  ") + kind.example;
    return text;
}

const CommandRegistration registration(400, {"trustee", "domain"}, [](CLI::App& app, int& exitCode) {
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
    for (const auto& kind : trusteeKinds) AddRewriteAction(trustee, exitCode, kTrusteeTarget, kind);
    // Without a footer of its own a group command shows the program's examples.
    trustee->footer(ExamplesOf(trusteeKinds));

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
    for (const auto& kind : domainKinds) AddRewriteAction(domain, exitCode, kDomainTarget, kind);
    domain->footer(ExamplesOf(domainKinds));
});

}  // namespace
}  // namespace tavrik::cli
