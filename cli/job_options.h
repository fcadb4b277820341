// Options that every engine subcommand shares (object type, recursion,
// filters, log file, output), and how they configure a job.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "engine/tavrik.h"

namespace tavrik::cli {

struct JobOptions {
    std::string object;               // as the user typed it
    std::string type;                 // file, service, printer, registry, share; empty: from the name
    bool recurse = false;             // containers and objects below the object
    bool recurseContainers = false;   // only directories / keys below it
    bool recurseObjects = false;      // only files below it
    std::vector<std::string> filters; // objects whose path contains one are skipped
    bool ignoreErrors = false;
    std::string logFile;
    std::string machine;              // simulated computer database (Linux)
    bool quiet = false;
    bool verbose = false;             // per-object lines and timings on stderr
    bool dryRun = false;
    bool json = false;                // records, changes and errors as JSON lines on stdout
    std::string undoFile;             // --undo FILE; empty: a new file in the state directory
    bool noUndo = false;              // --no-undo: keep no undo file
    std::string command;              // the subcommand's words, naming its undo file
    bool sddl = false;                // a dry run shows its changes in SDDL
    bool force = false;               // --force: make changes that leave nobody able to change permissions
};

// Adds the shared options to `cmd`. `withObject` adds the OBJECT positional.
void AddJobOptions(CLI::App* cmd, JobOptions& options, bool withObject = true, bool withRecursion = true);

// Opens the simulated computer (on Linux), sets the object, recursion,
// filters, log file and error handling of `job`. Returns RTN_OK or the
// engine's code; a problem is reported on stderr.
DWORD ConfigureJob(CTavrik& job, const JobOptions& options);

// The object type named on the command line, or 0 when unknown.
DWORD ObjectTypeFromName(const std::string& name);

// The type of an object named without --type: a registry key when the name
// starts with a registry root (HKLM, HKEY_LOCAL_MACHINE, HKCU, ..., also
// after \\computer\), else a file.
DWORD GuessObjectType(const std::wstring& name);

// The protection mode named keep, remove or inherit; PROT_NO_CHANGE for
// anything else.
DWORD ProtectionMode(const std::string& word);

// Inheritance flags by name ("ci,oi", "container_inherit+object_inherit",
// "none") or number 0-15. Throws CLI::ValidationError on a bad value.
DWORD ParseInheritance(const std::string& text);

// Who a trustee text names: a SID string (S-1-...) or an account name.
bool LooksLikeSid(const std::wstring& trustee);

}  // namespace tavrik::cli
