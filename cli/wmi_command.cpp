// tavrik wmi QUERY PROPERTY: runs a WQL query against ROOT\CIMV2 and prints
// the property's value of every result object, one per line.
#include <iostream>
#include <memory>
#include <string>

#include "cli/command.h"
#include "cli/simulated_computer.h"
#include "wmi/wmi_query.h"

namespace tavrik::cli {
namespace {

// Trace lines on standard error; every line ends there even when the
// helper's text does not end in a line feed.
class StderrTrace : public TraceSink {
public:
    void Trace(int, const std::wstring& text) override {
        std::cerr << ToConsole(text);
        if (text.empty() || text.back() != L'\n') std::cerr << '\n';
    }
};

struct WmiOptions {
    std::string query;
    std::string property;
    bool trace = false;
    std::string machine;
};

int RunWmiQuery(const WmiOptions& options) {
    if (!OpenSimulatedComputer(options.machine)) return 1;
    StderrTrace trace;
    WMIQuery wmi(options.trace ? &trace : nullptr);
    wmi.Initialize();
    std::wstring output;
    const bool ran = wmi.ExecuteQuery(FromConsole(options.query), FromConsole(options.property), output);
    // The helper separates values by CR LF; the console wants its own line ends.
    std::wstring lines;
    for (size_t i = 0; i < output.size(); ++i) {
        if (output[i] == L'\r' && i + 1 < output.size() && output[i + 1] == L'\n') continue;
        lines += output[i];
    }
    if (!lines.empty()) std::cout << ToConsole(lines) << "\n";
    std::cout.flush();
    return ran ? 0 : 1;
}

const CommandRegistration registration(800, {"wmi"}, [](CLI::App& app, int& exitCode) {
    auto options = std::make_shared<WmiOptions>();
    auto* cmd = app.add_subcommand("wmi", "Run a WQL query against ROOT\\CIMV2 and print one property of the results");
    cmd->footer(
        "Examples:\n"
        "  tavrik wmi \"SELECT Caption FROM Win32_OperatingSystem\" Caption\n"
        "  tavrik wmi \"SELECT * FROM Win32_Service WHERE Name LIKE 'w%'\" Name\n"
        "Exit status 0 when the query ran (even with no results), 1 when it was refused.");
    cmd->add_option("QUERY", options->query, "WQL query, e.g. SELECT Name FROM Win32_Share")->required();
    cmd->add_option("PROPERTY", options->property, "Property whose values are printed, one per line")->required();
    cmd->add_flag("--trace", options->trace, "Print the helper's trace lines to standard error");
    AddMachineOption(cmd, options->machine);
    cmd->callback([options, &exitCode] { exitCode = RunWmiQuery(*options); });
});

}  // namespace
}  // namespace tavrik::cli
