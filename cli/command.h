// Subcommands of the tavrik program register themselves here, one file each,
// so that main() does not need to know them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tavrik::cli {

// Adds a subcommand to `app`. The callback it installs sets `exitCode`.
using CommandSetup = std::function<void(CLI::App& app, int& exitCode)>;

struct CommandRegistration {
    CommandRegistration(int order, CommandSetup setup);
};

// Registered setups, sorted by their order (the order of `tavrik --help`).
std::vector<CommandSetup> RegisteredCommands();

// Console output in the host's encoding (UTF-8 on Linux, the console's
// code page on Windows).
std::string ToConsole(const std::wstring& text);
// The same into `out`, whose room is kept from call to call.
void ToConsole(const std::wstring& text, std::string* out);
std::wstring FromConsole(const std::string& text);

}  // namespace tavrik::cli
