// tavrik owner | group: set the owner or the primary group of an object.
#include <memory>

#include "cli/command.h"
#include "cli/job_runner.h"

namespace tavrik::cli {
namespace {

struct OwnerArguments {
    JobOptions job;
    std::string trustee;
};

void AddOwnerCommand(CLI::App& app, int& exitCode, const char* name, const char* summary, bool group) {
    auto args = std::make_shared<OwnerArguments>();
    auto* cmd = app.add_subcommand(name, summary);
    AddJobOptions(cmd, args->job);
    cmd->add_option("TRUSTEE", args->trustee, "Account name, qualified name or SID")->required();
    AddDryRunOption(cmd, args->job);
    AddForceOption(cmd, args->job);
    cmd->footer(group ? "Example:\n  tavrik group 'C:\\Data' 'BUILTIN\\Users'"
                      : "Example:\n  tavrik owner 'C:\\Data' 'BUILTIN\\Administrators' --recurse");
    cmd->callback([args, group, &exitCode] {
        ConsoleJob cj(args->job);
        if (cj.status != RTN_OK) {
            exitCode = static_cast<int>(cj.status);
            return;
        }
        const std::wstring trustee = FromConsole(args->trustee);
        const BOOL isSid = LooksLikeSid(trustee) ? TRUE : FALSE;
        if (group) {
            cj.job.SetAction(ACTION_SET_GROUP);
            cj.job.SetGroup(trustee, isSid);
        } else {
            cj.job.SetAction(ACTION_SET_OWNER);
            cj.job.SetOwner(trustee, isSid);
        }
        exitCode = RunJob(cj.job, cj.console, args->job);
    });
}

const CommandRegistration registration(200, {"owner", "group"}, [](CLI::App& app, int& exitCode) {
    AddOwnerCommand(app, exitCode, "owner", "Set the owner of an object", false);
    AddOwnerCommand(app, exitCode, "group", "Set the primary group of an object", true);
});

}  // namespace
}  // namespace tavrik::cli
