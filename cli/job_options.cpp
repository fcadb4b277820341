#include "cli/job_options.h"

#include <algorithm>
#include <cctype>
#include <iostream>

#include "cli/command.h"
#include "cli/object_path.h"
#include "cli/simulated_computer.h"


namespace tavrik::cli {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

DWORD ObjectTypeFromName(const std::string& name) {
    const std::string lower = Lower(name);
    if (lower == "file") return SE_FILE_OBJECT;
    if (lower == "service") return SE_SERVICE;
    if (lower == "printer") return SE_PRINTER;
    if (lower == "registry") return SE_REGISTRY_KEY;
    if (lower == "share") return SE_LMSHARE;
    return 0;
}

DWORD GuessObjectType(const std::wstring& name) {
    std::wstring rest = name;
    // \\computer\HKLM\...: a remote registry.
    if (rest.size() > 2 && rest[0] == L'\\' && rest[1] == L'\\') {
        const size_t slash = rest.find(L'\\', 2);
        rest = slash == std::wstring::npos ? std::wstring() : rest.substr(slash + 1);
    }
    std::wstring root = rest.substr(0, rest.find_first_of(L"\\/"));
    for (auto& c : root) c = static_cast<wchar_t>(towupper(c));
    static const wchar_t* const kRoots[] = {
        L"HKLM", L"HKEY_LOCAL_MACHINE", L"HKCU", L"HKEY_CURRENT_USER", L"HKCR", L"HKEY_CLASSES_ROOT",
        L"HKU",  L"HKEY_USERS",         L"HKCC", L"HKEY_CURRENT_CONFIG",
    };
    for (const wchar_t* known : kRoots)
        if (root == known) return SE_REGISTRY_KEY;
    return SE_FILE_OBJECT;
}

DWORD ProtectionMode(const std::string& word) {
    if (word == "keep") return PROT_PROTECT_KEEP;
    if (word == "remove") return PROT_PROTECT_REMOVE;
    if (word == "inherit") return PROT_INHERIT;
    return PROT_NO_CHANGE;
}

DWORD ParseInheritance(const std::string& text) {
    const std::string lower = Lower(text);
    if (lower.empty() || lower == "none" || lower == "no_inheritance") return 0;
    if (std::all_of(lower.begin(), lower.end(), [](unsigned char c) { return std::isdigit(c); })) {
        unsigned long value = std::stoul(lower);
        if (value > 15) throw CLI::ValidationError("--inherit", "a number must be 0 to 15");
        return static_cast<DWORD>(value);
    }
    DWORD flags = 0;
    size_t start = 0;
    while (start <= lower.size()) {
        size_t end = lower.find_first_of(",+", start);
        std::string word = lower.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (word == "oi" || word == "object_inherit") {
            flags |= OBJECT_INHERIT_ACE;
        } else if (word == "ci" || word == "container_inherit") {
            flags |= CONTAINER_INHERIT_ACE;
        } else if (word == "np" || word == "no_propagate" || word == "no_propagate_inherit") {
            flags |= NO_PROPAGATE_INHERIT_ACE;
        } else if (word == "io" || word == "inherit_only") {
            flags |= INHERIT_ONLY_ACE;
        } else {
            throw CLI::ValidationError("--inherit", "unknown inheritance flag '" + word +
                                                        "' (use oi, ci, np, io, none or a number 0-15)");
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return flags;
}

bool LooksLikeSid(const std::wstring& trustee) {
    return trustee.size() > 4 && (trustee[0] == L'S' || trustee[0] == L's') && trustee[1] == L'-' &&
           trustee[2] == L'1' && trustee[3] == L'-';
}

void AddJobOptions(CLI::App* cmd, JobOptions& options, bool withObject, bool withRecursion) {
    if (withObject) {
        cmd->add_option("OBJECT", options.object,
                        "Path (C:\\Data, \\\\server\\share\\dir, a host path inside a drive), registry key "
                        "(HKLM\\Software\\Vendor), or service, printer or share name")
            ->required();
    }
    cmd->add_option("-t,--type", options.type,
                    "Object type: file, service, printer, registry, share (default: registry for a name that "
                    "starts with HKLM, HKCU, HKEY_... , else file)")
        ->check(CLI::IsMember({"file", "service", "printer", "registry", "share"}, CLI::ignore_case));
    if (withRecursion) {
        cmd->add_flag("-r,--recurse", options.recurse, "Also every directory and file (or key) below the object");
        cmd->add_flag("--recurse-containers", options.recurseContainers,
                      "Also the directories below the object, not the files");
        cmd->add_flag("--recurse-objects", options.recurseObjects,
                      "Also the files below the object, not the directories");
        cmd->add_option("--filter", options.filters,
                        "Skip objects whose path contains this text (case-insensitive); repeatable");
    }
    cmd->add_flag("--ignore-errors", options.ignoreErrors,
                  "Report objects whose descriptor cannot be read or written and go on");
    cmd->add_option("--log", options.logFile, "Append every message to this file (UTF-16LE)");
    cmd->add_flag("-q,--quiet", options.quiet, "Print only errors, listing records and the summary");
    cmd->add_flag("-v,--verbose", options.verbose,
                  "Also say on stderr what the job does, what became of each object, and the timings at the "
                  "end (objects, elapsed time, time per object)");
    AddMachineOption(cmd, options.machine);
}

DWORD ConfigureJob(CTavrik& job, const JobOptions& options) {
    if (!OpenSimulatedComputer(options.machine)) return RTN_ERR_PARAMETER;
    DWORD type = options.type.empty() ? GuessObjectType(FromConsole(options.object))
                                      : ObjectTypeFromName(options.type);
    if (!options.object.empty()) {
        std::string error;
        auto name = ToObjectName(options.object, type, error);
        if (!name) {
            std::cerr << "tavrik: " << error << "\n";
            if (type == SE_FILE_OBJECT) {
                const std::string hint = SuggestObjectType(FromConsole(options.object));
                if (!hint.empty()) std::cerr << "tavrik: " << hint << "\n";
            }
            return RTN_ERR_PARAMETER;
        }
        if (job.SetObject(*name, type) != RTN_OK) {
            std::cerr << "tavrik: invalid object '" << options.object << "'\n";
            return RTN_ERR_PARAMETER;
        }
    }
    DWORD recursion = 0;
    if (options.recurse) recursion |= RECURSE_CONTAINERS | RECURSE_OBJECTS;
    if (options.recurseContainers) recursion |= RECURSE_CONTAINERS;
    if (options.recurseObjects) recursion |= RECURSE_OBJECTS;
    job.SetRecursion(recursion == 0 ? RECURSE_NONE : recursion);
    for (const auto& filter : options.filters) job.AddObjectFilter(FromConsole(filter));
    job.SetIgnoreErrors(options.ignoreErrors ? TRUE : FALSE);
    if (!options.logFile.empty() && job.SetLogFile(FromConsole(options.logFile)) != RTN_OK) {
        std::cerr << "tavrik: cannot open the log file '" << options.logFile << "'\n";
        return RTN_ERR_WRITE_OUTPUT;
    }
    return RTN_OK;
}

}  // namespace tavrik::cli
