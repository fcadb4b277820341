// Runs the built tavrik program as a user would, capturing what it prints.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tavrik::test {

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs TAVRIK_BINARY with `args` and the environment variable
// TAVRIK_MACHINE=`machine` (the simulated computer's database).
CommandResult RunTavrik(const std::vector<std::string>& args, const std::string& machine,
                        const std::string& workingDirectory = {});

// Gives objects the descriptors of `records` (the name as a backup record
// holds it after its long-path prefix, and SDDL), in order, by restoring a
// backup file written into `folder`; the restore keeps no undo file.
bool SeedDescriptors(const std::vector<std::pair<std::string, std::string>>& records, const std::string& machine,
                     const std::string& folder, std::string* error);

// The descriptor parts `what` (as --what takes them) of every object below
// and including `root`, as SDDL by object name, from `tavrik list`.
std::map<std::string, std::string> ListDescriptors(const std::string& root, const std::string& what,
                                                   const std::string& machine);

}  // namespace tavrik::test
