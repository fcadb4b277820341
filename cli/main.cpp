// tavrik: the command-line host of the Tavrik access-control engine.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"
#include "engine/tavrik.h"
#include "winapi/win32.h"

#ifndef TAVRIK_VERSION
#define TAVRIK_VERSION "0.0.0"
#endif

#ifdef _WIN32
#include <io.h>
#include <shellapi.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
    // A listing's records are most of what a job writes: into a file or a
    // pipe they go in 64 KiB blocks instead of stdio's 4 KiB. A terminal
    // keeps its line buffering. std::cerr flushes std::cout before every
    // write, so stdout's lines still come before any later error line.
    // (The C library takes the size only with a buffer of the caller's.)
    static char stdoutBuffer[1 << 16];
    if (isatty(fileno(stdout)) == 0) std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);
#ifdef _WIN32
    // The narrow argv of Windows is in the ANSI code page; take the wide
    // command line instead and hand CLI11 UTF-8, the encoding the console
    // is switched to for output as well.
    SetConsoleOutputCP(CP_UTF8);
    int wideCount = 0;
    LPWSTR* wideArgs = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    std::vector<std::string> utf8Args;
    for (int i = 0; wideArgs != nullptr && i < wideCount; ++i) utf8Args.push_back(tavrik::cli::ToConsole(wideArgs[i]));
    if (wideArgs != nullptr) LocalFree(wideArgs);
    std::vector<char*> utf8Argv;
    for (auto& arg : utf8Args) utf8Argv.push_back(arg.data());
    if (!utf8Argv.empty()) {
        argc = static_cast<int>(utf8Argv.size());
        argv = utf8Argv.data();
    }
#endif
    CLI::App app{"Tavrik: grant, deny, revoke, audit, list, back up and restore the permissions of\n"
                 "files, directories, registry keys, services, printers and shares.",
                 "tavrik"};
    app.set_version_flag("--version", std::string("tavrik ") + TAVRIK_VERSION);
    app.require_subcommand(1);
    app.footer("Examples:\n"
               "  tavrik grant 'C:\\Data' 'BUILTIN\\Users' read_ex --recurse\n"
               "  tavrik list 'C:\\Data' --recurse --format text\n"
               "  tavrik backup 'C:\\Data' data-acl.txt --recurse && tavrik restore data-acl.txt\n"
               "  tavrik <command> --help\n"
               "\n"
               "Exit status: 0 when the job succeeded; 1 when it completed with errors (some objects\n"
               "were passed over or failed, the summary says how many); otherwise the engine's return\n"
               "code that stopped the job. A mistake on the command line exits with 3 (invalid\n"
               "parameter), like the engine's own refusals.\n"
               "\n"
               "Changes that would leave nobody able to change an object's permissions (no entry giving\n"
               "WRITE_DAC or full control to SYSTEM, Administrators, the Unix root account or the owner,\n"
               "and the owner's own right withheld by OWNER RIGHTS entries) are refused for that object\n"
               "and count as errors (exit status 1) unless --force is given.");
    int exitCode = 0;
    // Building every subcommand's options cost more than a small job's own
    // work: only the one named is built.
    for (auto& setup : tavrik::cli::CommandsFor(argc > 1 ? argv[1] : "")) setup(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end parsing "successfully"; every other parse
        // error is a wrong argument, which the engine itself calls code 3.
        const int status = app.exit(e);
        return status == 0 ? 0 : static_cast<int>(RTN_ERR_PARAMETER);
    } catch (const std::exception& e) {
        // Nothing below is meant to throw; if it does, say so instead of
        // letting the process abort without a word.
        std::cout << std::flush;
        std::cerr << "tavrik: " << e.what() << "\n";
        return static_cast<int>(RTN_ERR_INTERNAL);
    }
    return exitCode;
}
