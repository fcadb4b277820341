// Runs the built tavrik program as a user would, capturing what it prints.
#pragma once

#include <string>
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

}  // namespace tavrik::test
