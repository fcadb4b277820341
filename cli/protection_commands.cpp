// tavrik protect | clear | reset-children: inheritance and explicit entries.
#include <memory>

#include "cli/command.h"
#include "cli/job_runner.h"

namespace tavrik::cli {
namespace {

struct ProtectionArguments {
    JobOptions job;
    std::string dacl;
    std::string sacl;
    bool daclFlag = false;
    bool saclFlag = false;
};

const auto kModes = CLI::IsMember({"keep", "remove", "inherit"}, CLI::ignore_case);

template <class Configure>
int RunWith(const ProtectionArguments& args, Configure configure) {
    ConsoleJob cj(args.job);
    if (cj.status != RTN_OK) return static_cast<int>(cj.status);
    configure(cj.job);
    return RunJob(cj.job, cj.console, args.job);
}

void AddProtect(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<ProtectionArguments>();
    auto* cmd = app.add_subcommand("protect", "Switch inheritance from the parent off (protect) or on (inherit)");
    AddJobOptions(cmd, args->job);
    cmd->add_option("--dacl", args->dacl,
                    "keep: protect, keeping the inherited entries as explicit ones; remove: protect and drop "
                    "them; inherit: inherit from the parent again. Default: keep, when --sacl is not given")
        ->transform(kModes);
    cmd->add_option("--sacl", args->sacl, "The same for the SACL (needs the security privilege)")->transform(kModes);
    AddDryRunOption(cmd, args->job);
    AddForceOption(cmd, args->job);
    cmd->footer("Examples:\n  tavrik protect 'C:\\Data' --dacl remove\n  tavrik protect 'C:\\Data\\Sub' --dacl inherit");
    cmd->callback([args, &exitCode] {
        exitCode = RunWith(*args, [&](CTavrik& job) {
            job.SetAction(ACTION_SET_PROTECTION);
            std::string dacl = args->dacl.empty() && args->sacl.empty() ? "keep" : args->dacl;
            job.SetDaclProtection(ProtectionMode(dacl));
            job.SetSaclProtection(ProtectionMode(args->sacl));
        });
    });
}

void AddClear(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<ProtectionArguments>();
    auto* cmd = app.add_subcommand("clear", "Delete the explicit entries of the DACL or SACL (inherited ones stay)");
    AddJobOptions(cmd, args->job);
    cmd->add_flag("--dacl", args->daclFlag, "Clear the DACL (the default)");
    cmd->add_flag("--sacl", args->saclFlag, "Clear the SACL");
    AddDryRunOption(cmd, args->job);
    AddForceOption(cmd, args->job);
    cmd->footer("Example:\n  tavrik clear 'C:\\Data' --dacl --recurse");
    cmd->callback([args, &exitCode] {
        exitCode = RunWith(*args, [&](CTavrik& job) {
            if (args->daclFlag || !args->saclFlag) job.SetAction(ACTION_CLEAR_DACL);
            if (args->saclFlag) job.SetAction(ACTION_CLEAR_SACL);
        });
    });
}

void AddResetChildren(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<ProtectionArguments>();
    auto* cmd = app.add_subcommand(
        "reset-children", "Make everything below the object inherit again: explicit entries go, protection goes");
    AddJobOptions(cmd, args->job, true, false);
    // The pass always covers the whole tree below the object; filters can
    // still spare parts of it.
    cmd->add_option("--filter", args->job.filters,
                    "Skip objects whose path contains this text (case-insensitive); repeatable");
    cmd->add_flag("--dacl", args->daclFlag, "Reset the DACLs (the default)");
    cmd->add_flag("--sacl", args->saclFlag, "Reset the SACLs");
    AddDryRunOption(cmd, args->job);
    AddForceOption(cmd, args->job);
    cmd->footer("The object itself is left as it is.\nExample:\n  tavrik reset-children 'C:\\Data'");
    cmd->callback([args, &exitCode] {
        exitCode = RunWith(*args, [&](CTavrik& job) {
            job.SetAction(ACTION_RESET_CHILDREN);
            job.SetResetDacl(args->daclFlag || !args->saclFlag ? TRUE : FALSE);
            job.SetResetSacl(args->saclFlag ? TRUE : FALSE);
        });
    });
}

const CommandRegistration registration(300, {"protect", "clear", "reset-children"}, [](CLI::App& app, int& exitCode) {
    AddProtect(app, exitCode);
    AddClear(app, exitCode);
    AddResetChildren(app, exitCode);
});

}  // namespace
}  // namespace tavrik::cli
