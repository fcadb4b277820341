// tavrik: the command-line host of the Tavrik access-control engine.
#include <cstdio>
#include <iostream>

#include "cli/command.h"

#ifndef TAVRIK_VERSION
#define TAVRIK_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
    CLI::App app{"Tavrik: grant, deny, revoke, audit, list, back up and restore the permissions of\n"
                 "files, directories, registry keys, services, printers and shares.",
                 "tavrik"};
    app.set_version_flag("--version", std::string("tavrik ") + TAVRIK_VERSION);
    app.require_subcommand(1);
    int exitCode = 0;
    for (auto& setup : tavrik::cli::RegisteredCommands()) setup(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return exitCode;
}
