// Subcommands of the tavrik program register themselves here, one file each,
// so that main() does not need to know them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace tavrik::cli {

// Adds a subcommand to `app`. The callback it installs sets `exitCode`.
using CommandSetup = std::function<void(CLI::App& app, int& exitCode)>;

// `names` are the top-level subcommands the setup adds.
struct CommandRegistration {
    CommandRegistration(int order, std::vector<std::string> names, CommandSetup setup);
};

// Registered setups, sorted by their order (the order of `tavrik --help`).
std::vector<CommandSetup> RegisteredCommands();
// The setups a command line whose first argument is `first` needs: the one
// adding the subcommand of that name, or every setup when none does (the
// program's help, its version, a mistyped name). Once a subcommand is
// chosen the parser never looks at its siblings, so the command behaves as
// with every setup made, without the cost of building all the others.
std::vector<CommandSetup> CommandsFor(std::string_view first);

// Console output in the host's encoding (UTF-8 on Linux, the console's
// code page on Windows).
std::string ToConsole(const std::wstring& text);
// The same into `out`, whose room is kept from call to call.
void ToConsole(const std::wstring& text, std::string* out);
std::wstring FromConsole(const std::string& text);

}  // namespace tavrik::cli
