#include "cli/simulated_computer.h"

#include <exception>
#include <iostream>

#ifndef _WIN32
#include "winapi/machine/admin.h"
#endif

namespace tavrik::cli {

void AddMachineOption([[maybe_unused]] CLI::App* cmd, [[maybe_unused]] std::string& database) {
#ifndef _WIN32
    cmd->add_option("--machine", database,
                    "Database of the simulated computer (default: $TAVRIK_MACHINE, else the per-user one)");
#endif
}

bool OpenSimulatedComputer([[maybe_unused]] const std::string& database) {
#ifndef _WIN32
    try {
        winapi::machine::OpenMachine(database);
    } catch (const std::exception& e) {
        std::cerr << "tavrik: cannot open the simulated computer: " << e.what() << "\n";
        return false;
    }
#endif
    return true;
}

}  // namespace tavrik::cli
