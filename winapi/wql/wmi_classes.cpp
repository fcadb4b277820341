// The classes of ROOT\CIMV2: what the simulated computer holds (its name,
// domain, accounts, services, shares, printers and drives), completed with
// what only the real host knows (operating-system name and version, memory,
// processors, disk sizes). A value nobody knows stays NULL rather than
// being made up.
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "winapi/machine/inventory.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/text.h"
#include "winapi/wql/wql_class.h"

namespace winapi::wql {
namespace {

using machine::FromUtf8;

// ---- the real host ----------------------------------------------------------------

// A value of /etc/os-release, unquoted.
std::optional<std::string> OsReleaseValue(const std::string& key) {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        if (!in) continue;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.starts_with(key + "=")) continue;
            std::string value = line.substr(key.size() + 1);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return value;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> FirstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line.empty()) return std::nullopt;
    return line;
}

WqlValue Text(const std::optional<std::string>& text) {
    if (!text) return {};
    return FromUtf8(*text);
}

struct DiskSpace {
    uint64_t size = 0, free = 0;
};
std::optional<DiskSpace> SpaceOf(const std::string& directory) {
    struct statvfs fs {};
    if (directory.empty() || statvfs(directory.c_str(), &fs) != 0) return std::nullopt;
    return DiskSpace{static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize, static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize};
}

// ---- the simulated computer ---------------------------------------------------------

bool IsDomainMember(DWORD role) { return role == 1 || role >= 3; }

std::vector<std::wstring> RolesOf(DWORD role) {
    std::vector<std::wstring> roles{L"LM_Workstation", L"LM_Server"};
    if (role >= 4) {
        roles.push_back(role == 5 ? L"Primary_Domain_Controller" : L"Backup_Domain_Controller");
    } else {
        roles.push_back(role >= 2 ? L"Server_NT" : L"NT");
    }
    return roles;
}

// Where a host directory appears on the computer's drives, e.g. C:\Data.
WqlValue WindowsPathOf(const std::string& directory, const std::vector<machine::DriveInfo>& drives) {
    if (directory.empty()) return {};
    for (const auto& drive : drives) {
        if (drive.directory.empty()) continue;
        if (directory != drive.directory && !directory.starts_with(drive.directory + "/")) continue;
        std::wstring path{drive.letter, L':', L'\\'};
        std::wstring rest = FromUtf8(directory.substr(drive.directory.size()));
        for (wchar_t& c : rest)
            if (c == L'/') c = L'\\';
        while (!rest.empty() && rest.front() == L'\\') rest.erase(0, 1);
        return path + rest;
    }
    return {};
}

// The host directory behind \\server\share, when that computer is reachable.
std::string DirectoryOfRemote(const std::wstring& remote) {
    if (!remote.starts_with(L"\\\\")) return {};
    const size_t slash = remote.find(L'\\', 2);
    if (slash == std::wstring::npos) return {};
    auto computer = machine::FindComputer(remote.substr(0, slash));
    if (!computer || !computer->reachable) return {};
    auto share = machine::FindFileShare(*computer, remote.substr(slash + 1));
    return share ? share->directory : std::string();
}

// ---- the classes ----------------------------------------------------------------------

std::vector<WqlObject> OperatingSystems(const WqlClass& cls) {
    const machine::ComputerInfo computer = machine::LocalComputerInfo();
    struct utsname host {};
    const bool haveUname = uname(&host) == 0;
    std::optional<std::string> caption = OsReleaseValue("PRETTY_NAME");
    if (!caption) caption = OsReleaseValue("NAME");
    if (!caption && haveUname) caption = std::string(host.sysname);

    WqlObject os = cls.NewObject();
    os.Set(L"Caption", Text(caption));
    if (caption) os.Set(L"Name", FromUtf8(*caption) + L"|C:\\Windows|\\Device\\Harddisk0\\Partition1");
    if (haveUname) {
        os.Set(L"Version", FromUtf8(host.release));
        std::string machineType = host.machine;
        os.Set(L"OSArchitecture", machineType.find("64") != std::string::npos ? L"64-bit" : L"32-bit");
    }
    os.Set(L"BuildNumber", std::to_wstring(computer.buildNumber));
    os.Set(L"Manufacturer", Text(OsReleaseValue("NAME")));
    os.Set(L"CSName", computer.name);
    os.Set(L"OSType", uint64_t{18});  // WINNT
    os.Set(L"ProductType", uint64_t{computer.role >= 4 ? 2u : (computer.role >= 2 ? 3u : 1u)});
    os.Set(L"Primary", true);
    os.Set(L"SystemDrive", L"C:");
    os.Set(L"WindowsDirectory", L"C:\\Windows");
    os.Set(L"SystemDirectory", L"C:\\Windows\\system32");
    os.Set(L"MUILanguages", std::vector<std::wstring>{L"en-US"});
    struct sysinfo memory {};
    if (sysinfo(&memory) == 0) {
        os.Set(L"TotalVisibleMemorySize", uint64_t{memory.totalram} * memory.mem_unit / 1024);
        os.Set(L"FreePhysicalMemory", uint64_t{memory.freeram} * memory.mem_unit / 1024);
    }
    return {os};
}

std::vector<WqlObject> ComputerSystems(const WqlClass& cls) {
    const machine::ComputerInfo computer = machine::LocalComputerInfo();
    WqlObject system = cls.NewObject();
    system.Set(L"Name", computer.name);
    system.Set(L"Caption", computer.name);
    system.Set(L"Domain", computer.domain);
    system.Set(L"PartOfDomain", IsDomainMember(computer.role));
    if (!IsDomainMember(computer.role)) system.Set(L"Workgroup", computer.domain);
    system.Set(L"DomainRole", uint64_t{computer.role});
    system.Set(L"Roles", RolesOf(computer.role));
    system.Set(L"Manufacturer", Text(FirstLine("/sys/class/dmi/id/sys_vendor")));
    system.Set(L"Model", Text(FirstLine("/sys/class/dmi/id/product_name")));
    if (long processors = sysconf(_SC_NPROCESSORS_ONLN); processors > 0)
        system.Set(L"NumberOfLogicalProcessors", static_cast<uint64_t>(processors));
    struct sysinfo memory {};
    if (sysinfo(&memory) == 0) system.Set(L"TotalPhysicalMemory", uint64_t{memory.totalram} * memory.mem_unit);
    struct utsname host {};
    if (uname(&host) == 0) {
        const std::string machineType = host.machine;
        if (machineType == "x86_64") {
            system.Set(L"SystemType", L"x64-based PC");
        } else if (machineType == "aarch64") {
            system.Set(L"SystemType", L"ARM64-based PC");
        } else {
            system.Set(L"SystemType", FromUtf8(machineType));
        }
    }
    return {system};
}

std::vector<WqlObject> ServicesOf(const WqlClass& cls) {
    const std::wstring computer = machine::LocalComputerInfo().name;
    std::vector<WqlObject> result;
    for (const auto& service : machine::Services()) {
        WqlObject object = cls.NewObject();
        object.Set(L"Name", service.name);
        object.Set(L"DisplayName", service.name);
        object.Set(L"Caption", service.name);
        object.Set(L"SystemName", computer);
        result.push_back(std::move(object));
    }
    return result;
}

std::vector<WqlObject> SharesOf(const WqlClass& cls) {
    const auto drives = machine::Drives();
    std::vector<WqlObject> result;
    for (const auto& share : machine::Shares()) {
        WqlObject object = cls.NewObject();
        object.Set(L"Name", share.name);
        object.Set(L"Caption", share.name);
        object.Set(L"Path", WindowsPathOf(share.directory, drives));
        const bool special = share.name.ends_with(L"$");
        // Disk drive, or (without a directory) interprocess communication;
        // the high bit marks the administrative shares.
        uint64_t type = share.directory.empty() ? 3 : 0;
        if (special) type |= 0x80000000u;
        object.Set(L"Type", type);
        object.Set(L"AllowMaximum", true);
        object.Set(L"Status", L"OK");
        result.push_back(std::move(object));
    }
    return result;
}

std::vector<WqlObject> PrintersOf(const WqlClass& cls) {
    const std::wstring computer = machine::LocalComputerInfo().name;
    std::vector<WqlObject> result;
    for (const auto& printer : machine::Printers()) {
        WqlObject object = cls.NewObject();
        object.Set(L"Name", printer.name);
        object.Set(L"DeviceID", printer.name);
        object.Set(L"Caption", printer.name);
        object.Set(L"SystemName", computer);
        object.Set(L"Local", true);
        object.Set(L"Network", false);
        result.push_back(std::move(object));
    }
    return result;
}

// Windows lists the BUILTIN groups under the computer's own name and leaves
// the well-known accounts of NT AUTHORITY to other classes.
std::vector<WqlObject> AccountsOf(const WqlClass& cls, bool groups) {
    const std::wstring computer = machine::LocalComputerInfo().name;
    std::vector<WqlObject> result;
    for (const auto& account : machine::Accounts()) {
        if (account.isGroup != groups) continue;
        if (account.domain.empty() || EqualsIgnoreCase(account.domain, L"NT AUTHORITY")) continue;
        const bool builtin = EqualsIgnoreCase(account.domain, L"BUILTIN");
        if (builtin && !groups) continue;
        const std::wstring domain = builtin ? computer : account.domain;
        const bool local = account.local || builtin;
        WqlObject object = cls.NewObject();
        object.Set(L"Name", account.name);
        object.Set(L"Domain", domain);
        object.Set(L"Caption", domain + L"\\" + account.name);
        object.Set(L"SID", account.sid);
        object.Set(L"LocalAccount", local);
        object.Set(L"Status", L"OK");
        if (groups) {
            object.Set(L"SIDType", uint64_t{local ? 4u : 2u});  // alias or group
        } else {
            object.Set(L"SIDType", uint64_t{1});                // user
            object.Set(L"AccountType", uint64_t{512});          // normal account
        }
        result.push_back(std::move(object));
    }
    return result;
}

std::vector<WqlObject> LogicalDisks(const WqlClass& cls) {
    const std::wstring computer = machine::LocalComputerInfo().name;
    std::vector<WqlObject> result;
    for (const auto& drive : machine::Drives()) {
        const std::wstring id{drive.letter, L':'};
        const bool network = drive.directory.empty();
        WqlObject object = cls.NewObject();
        object.Set(L"DeviceID", id);
        object.Set(L"Name", id);
        object.Set(L"Caption", id);
        object.Set(L"SystemName", computer);
        object.Set(L"DriveType", uint64_t{network ? 4u : 3u});
        if (network) {
            object.Set(L"ProviderName", drive.remote);
        } else {
            object.Set(L"FileSystem", L"NTFS");
        }
        if (auto space = SpaceOf(network ? DirectoryOfRemote(drive.remote) : drive.directory)) {
            object.Set(L"Size", space->size);
            object.Set(L"FreeSpace", space->free);
        }
        result.push_back(std::move(object));
    }
    return result;
}

std::vector<WqlProperty> Strings(std::initializer_list<const wchar_t*> names) {
    std::vector<WqlProperty> properties;
    for (const wchar_t* name : names) properties.push_back({name, CimType::String});
    return properties;
}

std::vector<WqlProperty> With(std::vector<WqlProperty> properties, std::initializer_list<WqlProperty> more) {
    properties.insert(properties.end(), more.begin(), more.end());
    return properties;
}

const std::vector<WqlClass>& Cimv2Classes() {
    static const std::vector<WqlClass> classes{
        WqlClass(L"Win32_OperatingSystem",
                 With(Strings({L"Caption", L"Name", L"Version", L"BuildNumber", L"OSArchitecture", L"Manufacturer",
                               L"CSName", L"SystemDrive", L"WindowsDirectory", L"SystemDirectory"}),
                      {{L"OSType", CimType::UInt16},
                       {L"ProductType", CimType::UInt32},
                       {L"Primary", CimType::Boolean},
                       {L"MUILanguages", CimType::StringArray},
                       {L"TotalVisibleMemorySize", CimType::UInt64},
                       {L"FreePhysicalMemory", CimType::UInt64}}),
                 OperatingSystems),
        WqlClass(L"Win32_ComputerSystem",
                 With(Strings({L"Name", L"Caption", L"Domain", L"Workgroup", L"Manufacturer", L"Model",
                               L"SystemType"}),
                      {{L"PartOfDomain", CimType::Boolean},
                       {L"DomainRole", CimType::UInt16},
                       {L"Roles", CimType::StringArray},
                       {L"NumberOfLogicalProcessors", CimType::UInt32},
                       {L"TotalPhysicalMemory", CimType::UInt64}}),
                 ComputerSystems),
        WqlClass(L"Win32_Service",
                 With(Strings({L"Name", L"DisplayName", L"Caption", L"SystemName", L"State", L"StartMode",
                               L"PathName"}),
                      {{L"Started", CimType::Boolean}}),
                 ServicesOf),
        WqlClass(L"Win32_Share",
                 With(Strings({L"Name", L"Caption", L"Description", L"Path", L"Status"}),
                      {{L"Type", CimType::UInt32}, {L"AllowMaximum", CimType::Boolean}}),
                 SharesOf),
        WqlClass(L"Win32_Printer",
                 With(Strings({L"Name", L"DeviceID", L"Caption", L"SystemName", L"PortName", L"DriverName"}),
                      {{L"Local", CimType::Boolean}, {L"Network", CimType::Boolean}}),
                 PrintersOf),
        WqlClass(L"Win32_UserAccount",
                 With(Strings({L"Name", L"Domain", L"Caption", L"SID", L"FullName", L"Status"}),
                      {{L"SIDType", CimType::UInt8},
                       {L"LocalAccount", CimType::Boolean},
                       {L"Disabled", CimType::Boolean},
                       {L"AccountType", CimType::UInt32}}),
                 [](const WqlClass& cls) { return AccountsOf(cls, false); }),
        WqlClass(L"Win32_Group",
                 With(Strings({L"Name", L"Domain", L"Caption", L"SID", L"Status"}),
                      {{L"SIDType", CimType::UInt8}, {L"LocalAccount", CimType::Boolean}}),
                 [](const WqlClass& cls) { return AccountsOf(cls, true); }),
        WqlClass(L"Win32_LogicalDisk",
                 With(Strings({L"DeviceID", L"Name", L"Caption", L"SystemName", L"ProviderName", L"FileSystem",
                               L"VolumeName"}),
                      {{L"DriveType", CimType::UInt32},
                       {L"Size", CimType::UInt64},
                       {L"FreeSpace", CimType::UInt64}}),
                 LogicalDisks),
    };
    return classes;
}

}  // namespace

const WqlClass* FindCimv2Class(std::wstring_view name) {
    for (const auto& cls : Cimv2Classes())
        if (EqualsIgnoreCase(cls.Name(), name)) return &cls;
    return nullptr;
}

}  // namespace winapi::wql
