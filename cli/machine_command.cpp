// tavrik machine ...: builds and inspects the simulated network that the
// Linux build of tavrik works on.
#include <unistd.h>

#include <iostream>
#include <memory>

#include "cli/command.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/describe.h"
#include "winapi/machine/group_members.h"

namespace tavrik::cli {
namespace {

namespace wm = winapi::machine;

struct MachineOptions {
    std::string database;
};

// Runs one administration step on the chosen database; errors become a
// message and exit status 1.
template <class Step>
void RunStep(const std::shared_ptr<MachineOptions>& options, int& exitCode, Step step) {
    try {
        wm::OpenMachine(options->database);
        step();
        exitCode = 0;
    } catch (const std::exception& e) {
        std::cerr << "tavrik machine: " << e.what() << "\n";
        exitCode = 1;
    }
}

std::wstring Wide(const std::string& text) { return FromConsole(text); }

wchar_t DriveLetterOf(const std::string& text) {
    if (text.empty() || text.size() > 2 || (text.size() == 2 && text[1] != ':'))
        throw std::runtime_error("a drive letter looks like Z or Z:, not " + text);
    return static_cast<wchar_t>(text[0]);
}

std::wstring HostName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return L"TAVRIKPC";
    std::string name(host);
    name = name.substr(0, name.find('.'));
    std::wstring wide = Wide(name);
    for (auto& c : wide) c = static_cast<wchar_t>(towupper(c));
    return wide.empty() ? L"TAVRIKPC" : wide;
}

void AddInit(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("init", "Fill an empty network with a default Windows computer");
    auto name = std::make_shared<std::string>();
    auto driveC = std::make_shared<std::string>();
    cmd->add_option("--name", *name, "Computer name (default: this host's name in upper case)");
    cmd->add_option("--drive-c", *driveC, "Directory for drive C: (default: C beside the database)");
    auto fromSamba = std::make_shared<std::string>();
    cmd->add_option("--from-samba", *fromSamba,
                    "Make the computer this host's Samba server, from its smb.conf (name, machine SID, shares)");
    cmd->footer("Example:\n  tavrik machine --machine lab.db init --name WS01 --drive-c /srv/ws01-c\n"
                "  sudo tavrik machine init --from-samba /etc/samba/smb.conf");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] {
            if (!fromSamba->empty()) {
                wm::InitializeFromSamba(*fromSamba);
                for (const std::string& note : wm::SambaConfigurationNotes(*fromSamba)) {
                    std::cerr << "tavrik machine: " << note << "\n";
                }
                return;
            }
            std::string directory = *driveC;
            if (directory.empty()) {
                std::string db = wm::CurrentMachinePath();
                size_t slash = db.rfind('/');
                directory = (slash == std::string::npos ? std::string(".") : db.substr(0, slash)) + "/C";
            }
            wm::InitializeDefaultComputer(name->empty() ? HostName() : Wide(*name), directory);
        });
    });
}

void AddShow(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("show", "Print everything the network holds");
    cmd->footer("Example:\n  tavrik machine show");
    cmd->callback([=, &exitCode] { RunStep(options, exitCode, [] { std::cout << ToConsole(wm::DescribeNetwork()); }); });
}

void AddComputerCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("add-computer", "Add a computer to the network");
    auto request = std::make_shared<wm::ComputerSpec>();
    auto name = std::make_shared<std::string>();
    auto domain = std::make_shared<std::string>();
    auto sid = std::make_shared<std::string>();
    auto version = std::make_shared<std::string>();
    auto unreachable = std::make_shared<bool>(false);
    cmd->add_option("NAME", *name, "Computer name, e.g. SRV02")->required();
    cmd->add_option("--role", request->role, "0 standalone workstation, 1 member workstation, 2 standalone server,\n"
                                          "3 member server, 4 backup DC, 5 primary DC")
        ->check(CLI::Range(0, 5));
    cmd->add_option("--domain", *domain, "Flat name of the domain it belongs to");
    cmd->add_flag("--local", request->local, "Make it the computer tavrik runs on");
    cmd->add_flag("--unreachable", *unreachable, "The computer does not answer");
    cmd->add_option("--version", *version, "Windows version as MAJOR.MINOR (default 10.0)");
    cmd->add_option("--sid", *sid, "Machine SID S-1-5-21-a-b-c (default: generated)");
    cmd->footer("Examples:\n  tavrik machine add-computer SRV02 --role 3 --domain CORP\n"
                "  tavrik machine add-computer OLDNT --version 4.0 --unreachable");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] {
            request->name = Wide(*name);
            request->domain = Wide(*domain);
            request->machineSid = Wide(*sid);
            request->reachable = !*unreachable;
            if (!version->empty()) {
                unsigned major = 0, minor = 0;
                if (std::sscanf(version->c_str(), "%u.%u", &major, &minor) != 2)
                    throw std::runtime_error("--version takes MAJOR.MINOR, e.g. 4.0");
                request->majorVersion = major;
                request->minorVersion = minor;
            }
            wm::AddComputer(*request);
        });
    });
}

void AddDomainCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("add-domain", "Add a domain hosted by a controller");
    auto flat = std::make_shared<std::string>();
    auto dns = std::make_shared<std::string>();
    auto controller = std::make_shared<std::string>();
    auto sid = std::make_shared<std::string>();
    cmd->add_option("FLATNAME", *flat, "Flat (NetBIOS) name, e.g. CORP")->required();
    cmd->add_option("--dns", *dns, "DNS name (default: the flat name in lower case)");
    cmd->add_option("--controller", *controller, "Computer acting as its domain controller");
    cmd->add_option("--sid", *sid, "Domain SID S-1-5-21-a-b-c (default: generated)");
    cmd->footer("Example:\n  tavrik machine add-computer DC01 && tavrik machine add-domain CORP --dns corp.example "
                "--controller DC01");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] {
            wm::DomainSpec request;
            request.flatName = Wide(*flat);
            request.dnsName = Wide(*dns);
            request.controller = Wide(*controller);
            request.domainSid = Wide(*sid);
            wm::AddDomain(request);
        });
    });
}

void AddAccountCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("add-account", "Add a user or group to a computer or a domain");
    auto owner = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    auto kind = std::make_shared<std::string>("user");
    auto rid = std::make_shared<DWORD>(0);
    cmd->add_option("OWNER", *owner, "Computer or domain the account belongs to")->required();
    cmd->add_option("NAME", *name, "Account name")->required();
    cmd->add_option("--kind", *kind, "user, group or alias")->check(CLI::IsMember({"user", "group", "alias"}));
    cmd->add_option("--rid", *rid, "Relative ID (default: the next free one from 1000)");
    cmd->footer("Examples:\n  tavrik machine add-account WS01 bob\n  tavrik machine add-account CORP Sales --kind group");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] {
            wm::AccountKind k = *kind == "group" ? wm::AccountKind::Group
                                : *kind == "alias" ? wm::AccountKind::Alias
                                                   : wm::AccountKind::User;
            std::cout << ToConsole(wm::AddAccount(Wide(*owner), Wide(*name), k, *rid)) << "\n";
        });
    });
}

void AddMemberCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("add-member", "Make an account a member of a group");
    auto group = std::make_shared<std::string>();
    auto member = std::make_shared<std::string>();
    cmd->add_option("GROUP", *group, "Group or alias, by name (DOMAIN\\name) or SID")->required();
    cmd->add_option("MEMBER", *member, "Account or group, by name or SID")->required();
    cmd->footer("Groups may hold groups; tavrik access counts every group an account is in.\n"
                "Examples:\n  tavrik machine add-member 'OLDDOM\\Staff' 'OLDDOM\\jane'\n"
                "  tavrik machine add-member BUILTIN\\Administrators WS01\\bob");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] { wm::AddGroupMember(Wide(*group), Wide(*member)); });
    });
}

void AddDriveCommands(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* local = machine->add_subcommand("map-drive", "Map a drive letter of a computer to a host directory");
    auto letter = std::make_shared<std::string>();
    auto directory = std::make_shared<std::string>();
    auto computer = std::make_shared<std::string>();
    local->add_option("LETTER", *letter, "Drive letter, e.g. D or D:")->required();
    local->add_option("DIR", *directory, "Host directory (created if missing)")->required();
    local->add_option("--computer", *computer, "Computer (default: the local one)");
    local->footer("Examples:\n  tavrik machine map-drive D /srv/data\n"
                  "  tavrik machine map-drive C /srv/srv02-c --computer SRV02");
    local->callback([=, &exitCode] {
        RunStep(options, exitCode,
                [&] { wm::MapDrive(Wide(*computer), DriveLetterOf(*letter), *directory); });
    });

    auto* network = machine->add_subcommand("map-network-drive", "Map a drive letter to \\\\server\\share");
    auto netLetter = std::make_shared<std::string>();
    auto remote = std::make_shared<std::string>();
    auto netComputer = std::make_shared<std::string>();
    network->add_option("LETTER", *netLetter, "Drive letter, e.g. Z")->required();
    network->add_option("REMOTE", *remote, "\\\\server\\share")->required();
    network->add_option("--computer", *netComputer, "Computer (default: the local one)");
    network->footer("Example:\n  tavrik machine map-network-drive Z '\\\\SRV02\\data'");
    network->callback([=, &exitCode] {
        RunStep(options, exitCode,
                [&] { wm::MapNetworkDrive(Wide(*netComputer), DriveLetterOf(*netLetter), Wide(*remote)); });
    });
}

// add-key, add-service, add-printer: a name, an optional descriptor and computer.
void AddObjectCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode,
                      const char* name, const char* description, const char* what, const char* example,
                      void (*add)(const std::wstring&, const std::wstring&, const std::wstring&)) {
    auto* cmd = machine->add_subcommand(name, description);
    auto object = std::make_shared<std::string>();
    auto sddl = std::make_shared<std::string>();
    auto computer = std::make_shared<std::string>();
    cmd->add_option("NAME", *object, what)->required();
    cmd->add_option("--sddl", *sddl, "Descriptor in SDDL (default: what Windows would give it)");
    cmd->add_option("--computer", *computer, "Computer (default: the local one)");
    cmd->footer(example);
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] { add(Wide(*computer), Wide(*object), Wide(*sddl)); });
    });
}

void AddShareCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("add-share", "Add a share, optionally of a host directory");
    auto name = std::make_shared<std::string>();
    auto directory = std::make_shared<std::string>();
    auto sddl = std::make_shared<std::string>();
    auto computer = std::make_shared<std::string>();
    cmd->add_option("NAME", *name, "Share name, e.g. data")->required();
    cmd->add_option("--dir", *directory, "Host directory the share serves (created if missing)");
    cmd->add_option("--sddl", *sddl, "Share descriptor in SDDL (default: Everyone read)");
    cmd->add_option("--computer", *computer, "Computer (default: the local one)");
    cmd->footer("Example:\n  tavrik machine add-share data --dir /srv/data --computer SRV02");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] { wm::AddShare(Wide(*computer), Wide(*name), *directory, Wide(*sddl)); });
    });
}

void AddTokenCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("set-token", "Set the user, groups and held privileges tavrik runs with");
    auto user = std::make_shared<std::string>();
    auto groups = std::make_shared<std::vector<std::string>>();
    auto privileges = std::make_shared<std::vector<std::string>>();
    auto reset = std::make_shared<bool>(false);
    cmd->add_option("USER", *user, "Account name or SID of the user");
    cmd->add_option("--group", *groups, "A group of the token (repeatable); Everyone is always added")
        ->allow_extra_args(false);
    cmd->add_option("--privilege", *privileges, "A held privilege (repeatable), e.g. SeBackupPrivilege")
        ->allow_extra_args(false);
    cmd->add_flag("--reset", *reset, "Back to the default token of the Unix user running tavrik");
    cmd->footer("Examples:\n  tavrik machine set-token alice --group Users --privilege SeChangeNotifyPrivilege\n"
                "  tavrik machine set-token --reset");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] {
            if (*reset) {
                wm::ResetToken();
                return;
            }
            if (user->empty()) throw std::runtime_error("set-token needs a USER or --reset");
            wm::TokenSpec request;
            request.user = Wide(*user);
            for (const auto& g : *groups) request.groups.push_back(Wide(g));
            for (const auto& p : *privileges) request.privileges.push_back(Wide(p));
            wm::SetToken(request);
        });
    });
}

void AddComputerStateCommand(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* cmd = machine->add_subcommand("set-computer", "Make a computer reachable or not, or change its version");
    auto name = std::make_shared<std::string>();
    auto reachable = std::make_shared<bool>(false);
    auto unreachable = std::make_shared<bool>(false);
    auto version = std::make_shared<std::string>();
    cmd->add_option("NAME", *name, "Computer name")->required();
    auto* up = cmd->add_flag("--reachable", *reachable, "The computer answers again");
    cmd->add_flag("--unreachable", *unreachable, "The computer stops answering")->excludes(up);
    cmd->add_option("--version", *version, "Windows version as MAJOR.MINOR, e.g. 4.0");
    cmd->footer("Examples:\n  tavrik machine set-computer SRV02 --unreachable\n"
                "  tavrik machine set-computer WS01 --version 4.0");
    cmd->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] {
            if (*reachable || *unreachable) wm::SetComputerReachable(Wide(*name), *reachable);
            if (!version->empty()) {
                unsigned major = 0, minor = 0;
                if (std::sscanf(version->c_str(), "%u.%u", &major, &minor) != 2)
                    throw std::runtime_error("--version takes MAJOR.MINOR, e.g. 4.0");
                wm::SetComputerVersion(Wide(*name), major, minor, 2);
            }
        });
    });
}

void AddFaultCommands(CLI::App* machine, const std::shared_ptr<MachineOptions>& options, int& exitCode) {
    auto* inject = machine->add_subcommand("inject-fault", "Make a Win32 call fail with a chosen error");
    auto call = std::make_shared<std::string>();
    auto error = std::make_shared<DWORD>(0);
    auto count = std::make_shared<int>(-1);
    auto object = std::make_shared<std::string>();
    inject->add_option("CALL", *call, "Win32 function name, e.g. SetNamedSecurityInfoW")->required();
    inject->add_option("ERROR", *error, "Windows error code, e.g. 5")->required();
    inject->add_option("--count", *count, "Fail only the next N calls (default: every call)");
    inject->add_option("--object", *object, "Fail only for this name, as the call receives it");
    inject->footer("Example:\n  tavrik machine inject-fault SetNamedSecurityInfoW 5 --object 'C:\\data' --count 1");
    inject->callback([=, &exitCode] {
        RunStep(options, exitCode, [&] { wm::InjectFault(*call, *error, *count, Wide(*object)); });
    });

    auto* clear = machine->add_subcommand("clear-faults", "Remove every injected fault, the full disk included");
    clear->footer("Example:\n  tavrik machine clear-faults");
    clear->callback([=, &exitCode] { RunStep(options, exitCode, [] { wm::ClearFaults(); }); });

    auto* disk = machine->add_subcommand("disk-full", "Make descriptor writes to files fail as on a full disk");
    auto state = std::make_shared<std::string>();
    disk->add_option("STATE", *state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    disk->footer("Example:\n  tavrik machine disk-full on");
    disk->callback([=, &exitCode] { RunStep(options, exitCode, [=] { wm::SetDiskFull(*state == "on"); }); });

    auto* samba = machine->add_subcommand(
        "samba-config", "Keep descriptors as this host's smbd does, in the acl_xattr shares of its smb.conf");
    auto config = std::make_shared<std::string>();
    samba->add_option("SMB_CONF", *config, "Path of smb.conf, or \"none\" to stop")->required();
    samba->footer("Example:\n  tavrik machine samba-config /etc/samba/smb.conf");
    samba->callback([=, &exitCode] {
        RunStep(options, exitCode, [=] {
            if (*config == "none") {
                wm::SetSambaConfiguration({});
                return;
            }
            wm::SetSambaConfiguration(*config);
            for (const std::string& note : wm::SambaConfigurationNotes(*config)) {
                std::cerr << "tavrik machine: " << note << "\n";
            }
        });
    });
}

void AddKeyWrapper(const std::wstring& computer, const std::wstring& path, const std::wstring& sddl) {
    wm::AddKey(computer, path, sddl);
}
void AddServiceWrapper(const std::wstring& computer, const std::wstring& name, const std::wstring& sddl) {
    wm::AddService(computer, name, sddl);
}
void AddPrinterWrapper(const std::wstring& computer, const std::wstring& name, const std::wstring& sddl) {
    wm::AddPrinter(computer, name, sddl);
}

const CommandRegistration registration(950, {"machine"}, [](CLI::App& app, int& exitCode) {
    auto* machine = app.add_subcommand("machine", "Build and inspect the simulated Windows network (Linux)");
    auto options = std::make_shared<MachineOptions>();
    machine->add_option("--machine", options->database,
                        "Network database (default: $TAVRIK_MACHINE, else ~/.local/share/tavrik/machine.db)");
    machine->fallthrough();
    machine->require_subcommand(1);
    machine->footer("Example:\n  tavrik machine --machine lab.db init --name WS01\n"
                    "  tavrik machine --machine lab.db add-key 'MACHINE\\SOFTWARE\\Vendor'");
    AddInit(machine, options, exitCode);
    AddShow(machine, options, exitCode);
    AddComputerCommand(machine, options, exitCode);
    AddDomainCommand(machine, options, exitCode);
    AddAccountCommand(machine, options, exitCode);
    AddMemberCommand(machine, options, exitCode);
    AddDriveCommands(machine, options, exitCode);
    AddObjectCommand(machine, options, exitCode, "add-key", "Add a registry key (and any missing parents)",
                     "Path below a root: MACHINE\\..., USERS\\..., CLASSES_ROOT\\..., CURRENT_USER\\...",
                     "Example:\n  tavrik machine add-key 'MACHINE\\SOFTWARE\\Vendor' --sddl 'O:BAG:SYD:PAI(A;CI;KA;;;BA)'",
                     AddKeyWrapper);
    AddObjectCommand(machine, options, exitCode, "add-service", "Add a service", "Service name",
                     "Example:\n  tavrik machine add-service Backup --computer SRV02", AddServiceWrapper);
    AddObjectCommand(machine, options, exitCode, "add-printer", "Add a printer", "Printer name",
                     "Example:\n  tavrik machine add-printer 'Floor 2'", AddPrinterWrapper);
    AddShareCommand(machine, options, exitCode);
    AddTokenCommand(machine, options, exitCode);
    AddComputerStateCommand(machine, options, exitCode);
    AddFaultCommands(machine, options, exitCode);
});

}  // namespace
}  // namespace tavrik::cli
