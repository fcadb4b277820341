// The simulated computer that the Linux build of tavrik works on: which
// database to open and opening it. On Windows the real computer is always
// there, so both do nothing.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace tavrik::cli {

// Adds --machine, the simulated computer's database (Linux only).
void AddMachineOption(CLI::App* cmd, std::string& database);

// Opens the simulated computer kept in `database` (empty: the default one).
// False, with the reason on stderr, when it cannot be opened.
bool OpenSimulatedComputer(const std::string& database);

}  // namespace tavrik::cli
