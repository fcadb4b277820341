// The classes of ROOT\CIMV2: what the simulated computer holds (its name,
// domain, Windows version, accounts, services, shares, printers and
// drives), completed with what only the real host knows (memory,
// processors, firmware, network addresses, disk sizes). A documented
// property nobody knows stays NULL rather than being made up, and asking
// for it is no error.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <arpa/inet.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
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

// ProductType: 1 workstation, 2 domain controller, 3 server.
uint64_t ProductTypeOf(DWORD role) { return role >= 4 ? 2u : (role >= 2 ? 3u : 1u); }

// The product name Windows reports for its version and role.
std::wstring WindowsCaption(const machine::ComputerInfo& computer) {
    const bool server = ProductTypeOf(computer.role) != 1;
    const DWORD major = computer.majorVersion, minor = computer.minorVersion, build = computer.buildNumber;
    std::wstring product;
    if (major == 10 && server) {
        product = build >= 26100 ? L"Server 2025 Standard"
                  : build >= 20348 ? L"Server 2022 Standard"
                  : build >= 17763 ? L"Server 2019 Standard"
                                   : L"Server 2016 Standard";
    } else if (major == 10) {
        product = build >= 22000 ? L"11 Pro" : L"10 Pro";
    } else if (major == 6 && minor == 3) {
        product = server ? L"Server 2012 R2 Standard" : L"8.1 Pro";
    } else if (major == 6 && minor == 2) {
        product = server ? L"Server 2012 Standard" : L"8 Pro";
    } else if (major == 6 && minor == 1) {
        product = server ? L"Server 2008 R2 Standard" : L"7 Professional";
    } else if (major == 6 && minor == 0) {
        product = server ? L"Server 2008 Standard" : L"Vista Business";
    } else if (major == 5) {
        product = server ? L"Server 2003 Standard Edition" : L"XP Professional";
    }
    return product.empty() ? L"Microsoft Windows" : L"Microsoft Windows " + product;
}

std::vector<WqlObject> OperatingSystems(const WqlClass& cls) {
    const machine::ComputerInfo computer = machine::LocalComputerInfo();
    struct utsname host {};
    const bool haveUname = uname(&host) == 0;
    const std::wstring caption = WindowsCaption(computer);

    WqlObject os = cls.NewObject();
    os.Set(L"Caption", caption);
    os.Set(L"Name", caption + L"|C:\\Windows|\\Device\\Harddisk0\\Partition1");
    os.Set(L"Version", std::to_wstring(computer.majorVersion) + L"." + std::to_wstring(computer.minorVersion) + L"." +
                           std::to_wstring(computer.buildNumber));
    if (haveUname) {
        std::string machineType = host.machine;
        os.Set(L"OSArchitecture", machineType.find("64") != std::string::npos ? L"64-bit" : L"32-bit");
    }
    os.Set(L"BuildNumber", std::to_wstring(computer.buildNumber));
    os.Set(L"Manufacturer", L"Microsoft Corporation");
    os.Set(L"CSName", computer.name);
    os.Set(L"OSType", uint64_t{18});  // WINNT
    os.Set(L"ProductType", ProductTypeOf(computer.role));
    os.Set(L"Primary", true);
    os.Set(L"Status", L"OK");
    os.Set(L"SystemDrive", L"C:");
    os.Set(L"WindowsDirectory", L"C:\\Windows");
    os.Set(L"SystemDirectory", L"C:\\Windows\\system32");
    os.Set(L"MUILanguages", std::vector<std::wstring>{L"en-US"});
    os.Set(L"ServicePackMajorVersion", uint64_t{0});
    os.Set(L"ServicePackMinorVersion", uint64_t{0});
    struct sysinfo memory {};
    if (sysinfo(&memory) == 0) {
        os.Set(L"TotalVisibleMemorySize", uint64_t{memory.totalram} * memory.mem_unit / 1024);
        os.Set(L"FreePhysicalMemory", uint64_t{memory.freeram} * memory.mem_unit / 1024);
        os.Set(L"NumberOfProcesses", uint64_t{memory.procs});
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

// How the services of a fresh Windows run; a service the computer was
// given later is taken to be an automatic service in a process of its own.
struct ServiceFacts {
    const wchar_t* path;
    const wchar_t* account;
    bool shared;
};
ServiceFacts FactsOf(const std::wstring& service) {
    static const std::map<std::wstring, ServiceFacts> known = {
        {L"EVENTLOG", {L"C:\\Windows\\System32\\svchost.exe -k LocalServiceNetworkRestricted -p",
                       L"NT AUTHORITY\\LocalService", true}},
        {L"LANMANSERVER", {L"C:\\Windows\\system32\\svchost.exe -k netsvcs -p", L"LocalSystem", true}},
        {L"SPOOLER", {L"C:\\Windows\\System32\\spoolsv.exe", L"LocalSystem", false}},
        {L"W32TIME", {L"C:\\Windows\\system32\\svchost.exe -k LocalService", L"NT AUTHORITY\\LocalService", true}},
    };
    std::wstring key;
    for (wchar_t c : service) key += FoldCase(c);
    if (auto it = known.find(key); it != known.end()) return it->second;
    return {nullptr, L"LocalSystem", false};
}

std::vector<WqlObject> ServicesOf(const WqlClass& cls) {
    const std::wstring computer = machine::LocalComputerInfo().name;
    std::vector<WqlObject> result;
    for (const auto& service : machine::Services()) {
        const ServiceFacts facts = FactsOf(service.name);
        WqlObject object = cls.NewObject();
        object.Set(L"Name", service.name);
        object.Set(L"DisplayName", service.name);
        object.Set(L"Caption", service.name);
        object.Set(L"SystemName", computer);
        object.Set(L"State", L"Running");
        object.Set(L"Started", true);
        object.Set(L"StartMode", L"Auto");
        object.Set(L"Status", L"OK");
        object.Set(L"PathName", facts.path ? std::wstring(facts.path)
                                           : L"C:\\Windows\\System32\\" + service.name + L".exe");
        object.Set(L"ServiceType", facts.shared ? L"Share Process" : L"Own Process");
        object.Set(L"StartName", facts.account);
        object.Set(L"AcceptStop", true);
        object.Set(L"ExitCode", uint64_t{0});
        object.Set(L"CreationClassName", L"Win32_Service");
        object.Set(L"SystemCreationClassName", L"Win32_ComputerSystem");
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

// The host's processors, one per physical package, from /proc/cpuinfo.
std::vector<WqlObject> Processors(const WqlClass& cls) {
    const std::wstring computer = machine::LocalComputerInfo().name;
    struct Package {
        std::string model, vendor;
        uint64_t logical = 0, megahertz = 0;
        std::map<std::string, bool> cores;
    };
    std::map<std::string, Package> packages;
    std::ifstream in("/proc/cpuinfo");
    std::string line, physical = "0", core;
    Package current;
    auto field = [](const std::string& text) {
        size_t colon = text.find(':');
        if (colon == std::string::npos) return std::string();
        size_t start = text.find_first_not_of(" \t", colon + 1);
        return start == std::string::npos ? std::string() : text.substr(start);
    };
    auto flush = [&]() {
        if (current.logical == 0) return;
        Package& package = packages[physical];
        if (package.model.empty()) package.model = current.model;
        if (package.vendor.empty()) package.vendor = current.vendor;
        if (package.megahertz == 0) package.megahertz = current.megahertz;
        package.logical += 1;
        package.cores[core] = true;
        current = Package();
        physical = "0";
        core.clear();
    };
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t") == std::string::npos) {
            flush();
            continue;
        }
        const std::string key = line.substr(0, line.find_first_of(":\t"));
        if (key == "processor") current.logical = 1;
        else if (key == "model name") current.model = field(line);
        else if (key == "vendor_id") current.vendor = field(line);
        else if (key == "cpu MHz") current.megahertz = static_cast<uint64_t>(std::atof(field(line).c_str()));
        else if (key == "physical id") physical = field(line);
        else if (key == "core id") core = field(line);
    }
    flush();
    if (packages.empty()) {
        long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online <= 0) return {};
        packages["0"].logical = static_cast<uint64_t>(online);
    }
    struct utsname host {};
    const std::string machineType = uname(&host) == 0 ? host.machine : "";
    const uint64_t architecture = machineType == "x86_64" ? 9 : machineType == "aarch64" ? 12 : 0;
    std::vector<WqlObject> result;
    size_t index = 0;
    for (const auto& [id, package] : packages) {
        WqlObject object = cls.NewObject();
        const std::wstring device = L"CPU" + std::to_wstring(index++);
        object.Set(L"DeviceID", device);
        object.Set(L"SocketDesignation", device);
        object.Set(L"SystemName", computer);
        object.Set(L"Name", Text(package.model.empty() ? std::nullopt : std::optional(package.model)));
        object.Set(L"Caption", Text(package.model.empty() ? std::nullopt : std::optional(package.model)));
        object.Set(L"Manufacturer", Text(package.vendor.empty() ? std::nullopt : std::optional(package.vendor)));
        object.Set(L"NumberOfLogicalProcessors", package.logical);
        object.Set(L"NumberOfCores", package.cores.empty() ? package.logical : uint64_t{package.cores.size()});
        if (package.megahertz) {
            object.Set(L"MaxClockSpeed", package.megahertz);
            object.Set(L"CurrentClockSpeed", package.megahertz);
        }
        if (!machineType.empty()) {
            object.Set(L"Architecture", architecture);
            object.Set(L"AddressWidth", uint64_t{machineType.find("64") != std::string::npos ? 64u : 32u});
            object.Set(L"DataWidth", uint64_t{machineType.find("64") != std::string::npos ? 64u : 32u});
        }
        object.Set(L"ProcessorType", uint64_t{3});  // central processor
        object.Set(L"Status", L"OK");
        result.push_back(std::move(object));
    }
    return result;
}

// The host's firmware as the kernel exports it (DMI).
std::vector<WqlObject> Bioses(const WqlClass& cls) {
    WqlObject bios = cls.NewObject();
    auto version = FirstLine("/sys/class/dmi/id/bios_version");
    bios.Set(L"Manufacturer", Text(FirstLine("/sys/class/dmi/id/bios_vendor")));
    bios.Set(L"SMBIOSBIOSVersion", Text(version));
    bios.Set(L"Name", Text(version));
    bios.Set(L"Caption", Text(version));
    bios.Set(L"Version", Text(version));
    // Readable by root only; NULL otherwise.
    bios.Set(L"SerialNumber", Text(FirstLine("/sys/class/dmi/id/product_serial")));
    // MM/DD/YYYY becomes CIM's yyyymmdd000000.000000+000.
    if (auto date = FirstLine("/sys/class/dmi/id/bios_date"); date && date->size() == 10 && (*date)[2] == '/') {
        bios.Set(L"ReleaseDate", FromUtf8(date->substr(6, 4) + date->substr(0, 2) + date->substr(3, 2)) +
                                     L"000000.000000+000");
    }
    bios.Set(L"PrimaryBIOS", true);
    bios.Set(L"Status", L"OK");
    return {bios};
}

// One configuration per network interface of the host other than loopback,
// with the simulated computer's name and domain.
std::vector<WqlObject> NetworkConfigurations(const WqlClass& cls) {
    const machine::ComputerInfo computer = machine::LocalComputerInfo();
    struct Adapter {
        std::vector<std::wstring> addresses, masks;
        std::wstring mac;
    };
    std::map<std::string, Adapter> adapters;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        Adapter& adapter = adapters[entry->ifa_name];
        if (entry->ifa_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        const int family = entry->ifa_addr->sa_family;
        if (family == AF_INET || family == AF_INET6) {
            const void* address = family == AF_INET
                                      ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr)
                                      : &reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
            if (inet_ntop(family, address, text, sizeof text)) adapter.addresses.push_back(FromUtf8(text));
            if (family == AF_INET && entry->ifa_netmask &&
                inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_netmask)->sin_addr, text, sizeof text))
                adapter.masks.push_back(FromUtf8(text));
        } else if (family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            std::wostringstream mac;
            for (int i = 0; i < link->sll_halen && i < 8; ++i) {
                wchar_t part[4];
                swprintf(part, 4, L"%02X", link->sll_addr[i]);
                mac << (i ? L":" : L"") << part;
            }
            adapter.mac = mac.str();
        }
    }
    freeifaddrs(list);
    std::vector<WqlObject> result;
    uint64_t index = 0;
    for (const auto& [name, adapter] : adapters) {
        WqlObject object = cls.NewObject();
        const std::wstring description = FromUtf8(name);
        object.Set(L"Index", index);
        object.Set(L"InterfaceIndex", uint64_t{if_nametoindex(name.c_str())});
        object.Set(L"Description", description);
        object.Set(L"Caption", L"[" + std::wstring(8 - std::min<size_t>(8, std::to_wstring(index).size()), L'0') +
                                   std::to_wstring(index) + L"] " + description);
        object.Set(L"ServiceName", description);
        object.Set(L"IPEnabled", !adapter.addresses.empty());
        if (!adapter.addresses.empty()) object.Set(L"IPAddress", adapter.addresses);
        if (!adapter.masks.empty()) object.Set(L"IPSubnet", adapter.masks);
        if (!adapter.mac.empty()) object.Set(L"MACAddress", adapter.mac);
        object.Set(L"DNSHostName", computer.name);
        if (computer.role == 1 || computer.role >= 3) object.Set(L"DNSDomain", computer.domain);
        result.push_back(std::move(object));
        ++index;
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

// The properties Microsoft documents for each class are all declared, so
// that a query naming one the simulation does not model (Win32_Printer.Default,
// Win32_Service.ProcessId...) reads NULL instead of being invalid.
const std::vector<WqlClass>& Cimv2Classes() {
    static const std::vector<WqlClass> classes{
        WqlClass(L"Win32_OperatingSystem",
                 With(Strings({L"Caption", L"Name", L"Version", L"BuildNumber", L"OSArchitecture", L"Manufacturer",
                               L"CSName", L"SystemDrive", L"WindowsDirectory", L"SystemDirectory", L"BootDevice",
                               L"BuildType", L"CodeSet", L"CountryCode", L"CreationClassName", L"CSCreationClassName",
                               L"CSDVersion", L"Description", L"InstallDate", L"LastBootUpTime", L"LocalDateTime",
                               L"Locale", L"Organization", L"OtherTypeDescription", L"RegisteredUser",
                               L"SerialNumber", L"Status", L"SystemDevice"}),
                      {{L"OSType", CimType::UInt16},
                       {L"ProductType", CimType::UInt32},
                       {L"Primary", CimType::Boolean},
                       {L"MUILanguages", CimType::StringArray},
                       {L"TotalVisibleMemorySize", CimType::UInt64},
                       {L"FreePhysicalMemory", CimType::UInt64},
                       {L"TotalVirtualMemorySize", CimType::UInt64},
                       {L"FreeVirtualMemory", CimType::UInt64},
                       {L"NumberOfProcesses", CimType::UInt32},
                       {L"NumberOfUsers", CimType::UInt32},
                       {L"OSLanguage", CimType::UInt32},
                       {L"OSProductSuite", CimType::UInt32},
                       {L"SuiteMask", CimType::UInt32},
                       {L"CurrentTimeZone", CimType::SInt32},
                       {L"ServicePackMajorVersion", CimType::UInt16},
                       {L"ServicePackMinorVersion", CimType::UInt16},
                       {L"Debug", CimType::Boolean},
                       {L"Distributed", CimType::Boolean}}),
                 OperatingSystems),
        WqlClass(L"Win32_ComputerSystem",
                 With(Strings({L"Name", L"Caption", L"Domain", L"Workgroup", L"Manufacturer", L"Model",
                               L"SystemType", L"Description", L"DNSHostName", L"PrimaryOwnerName", L"Status",
                               L"UserName", L"BootupState", L"SystemFamily", L"SystemSKUNumber",
                               L"CreationClassName"}),
                      {{L"PartOfDomain", CimType::Boolean},
                       {L"DomainRole", CimType::UInt16},
                       {L"Roles", CimType::StringArray},
                       {L"NumberOfLogicalProcessors", CimType::UInt32},
                       {L"NumberOfProcessors", CimType::UInt32},
                       {L"TotalPhysicalMemory", CimType::UInt64},
                       {L"HypervisorPresent", CimType::Boolean},
                       {L"CurrentTimeZone", CimType::SInt32}}),
                 ComputerSystems),
        WqlClass(L"Win32_Service",
                 With(Strings({L"Name", L"DisplayName", L"Caption", L"SystemName", L"State", L"StartMode",
                               L"PathName", L"Description", L"ServiceType", L"StartName", L"Status",
                               L"ErrorControl", L"InstallDate", L"CreationClassName",
                               L"SystemCreationClassName"}),
                      {{L"Started", CimType::Boolean},
                       {L"ProcessId", CimType::UInt32},
                       {L"ExitCode", CimType::UInt32},
                       {L"ServiceSpecificExitCode", CimType::UInt32},
                       {L"CheckPoint", CimType::UInt32},
                       {L"WaitHint", CimType::UInt32},
                       {L"TagId", CimType::UInt32},
                       {L"AcceptPause", CimType::Boolean},
                       {L"AcceptStop", CimType::Boolean},
                       {L"DelayedAutoStart", CimType::Boolean},
                       {L"DesktopInteract", CimType::Boolean}}),
                 ServicesOf),
        WqlClass(L"Win32_Share",
                 With(Strings({L"Name", L"Caption", L"Description", L"Path", L"Status", L"InstallDate"}),
                      {{L"Type", CimType::UInt32},
                       {L"AllowMaximum", CimType::Boolean},
                       {L"AccessMask", CimType::UInt32},
                       {L"MaximumAllowed", CimType::UInt32}}),
                 SharesOf),
        WqlClass(L"Win32_Printer",
                 With(Strings({L"Name", L"DeviceID", L"Caption", L"SystemName", L"PortName", L"DriverName",
                               L"Comment", L"Description", L"Location", L"PrintProcessor", L"ServerName",
                               L"ShareName", L"Status", L"SeparatorFile", L"Parameters", L"PrintJobDataType",
                               L"CreationClassName", L"SystemCreationClassName"}),
                      {{L"Local", CimType::Boolean},
                       {L"Network", CimType::Boolean},
                       {L"Default", CimType::Boolean},
                       {L"Shared", CimType::Boolean},
                       {L"Published", CimType::Boolean},
                       {L"Hidden", CimType::Boolean},
                       {L"Direct", CimType::Boolean},
                       {L"Queued", CimType::Boolean},
                       {L"RawOnly", CimType::Boolean},
                       {L"WorkOffline", CimType::Boolean},
                       {L"EnableBIDI", CimType::Boolean},
                       {L"KeepPrintedJobs", CimType::Boolean},
                       {L"DoCompleteFirst", CimType::Boolean},
                       {L"SpoolEnabled", CimType::Boolean},
                       {L"Attributes", CimType::UInt32},
                       {L"Availability", CimType::UInt16},
                       {L"Priority", CimType::UInt32},
                       {L"PrinterStatus", CimType::UInt16},
                       {L"PrinterState", CimType::UInt32},
                       {L"DetectedErrorState", CimType::UInt16},
                       {L"JobCountSinceLastReset", CimType::UInt32},
                       {L"HorizontalResolution", CimType::UInt32},
                       {L"VerticalResolution", CimType::UInt32}}),
                 PrintersOf),
        WqlClass(L"Win32_UserAccount",
                 With(Strings({L"Name", L"Domain", L"Caption", L"SID", L"FullName", L"Status", L"Description",
                               L"InstallDate"}),
                      {{L"SIDType", CimType::UInt8},
                       {L"LocalAccount", CimType::Boolean},
                       {L"Disabled", CimType::Boolean},
                       {L"Lockout", CimType::Boolean},
                       {L"PasswordChangeable", CimType::Boolean},
                       {L"PasswordExpires", CimType::Boolean},
                       {L"PasswordRequired", CimType::Boolean},
                       {L"AccountType", CimType::UInt32}}),
                 [](const WqlClass& cls) { return AccountsOf(cls, false); }),
        WqlClass(L"Win32_Group",
                 With(Strings({L"Name", L"Domain", L"Caption", L"SID", L"Status", L"Description", L"InstallDate"}),
                      {{L"SIDType", CimType::UInt8}, {L"LocalAccount", CimType::Boolean}}),
                 [](const WqlClass& cls) { return AccountsOf(cls, true); }),
        WqlClass(L"Win32_LogicalDisk",
                 With(Strings({L"DeviceID", L"Name", L"Caption", L"SystemName", L"ProviderName", L"FileSystem",
                               L"VolumeName", L"Description", L"VolumeSerialNumber", L"Status",
                               L"CreationClassName", L"SystemCreationClassName"}),
                      {{L"DriveType", CimType::UInt32},
                       {L"Size", CimType::UInt64},
                       {L"FreeSpace", CimType::UInt64},
                       {L"MediaType", CimType::UInt32},
                       {L"Access", CimType::UInt16},
                       {L"Compressed", CimType::Boolean},
                       {L"QuotasDisabled", CimType::Boolean},
                       {L"SupportsDiskQuotas", CimType::Boolean},
                       {L"SupportsFileBasedCompression", CimType::Boolean},
                       {L"VolumeDirty", CimType::Boolean}}),
                 LogicalDisks),
        WqlClass(L"Win32_Processor",
                 With(Strings({L"DeviceID", L"Name", L"Caption", L"Description", L"Manufacturer", L"ProcessorId",
                               L"SocketDesignation", L"SystemName", L"Status", L"Version", L"Role"}),
                      {{L"NumberOfCores", CimType::UInt32},
                       {L"NumberOfLogicalProcessors", CimType::UInt32},
                       {L"NumberOfEnabledCore", CimType::UInt32},
                       {L"ThreadCount", CimType::UInt32},
                       {L"MaxClockSpeed", CimType::UInt32},
                       {L"CurrentClockSpeed", CimType::UInt32},
                       {L"Architecture", CimType::UInt16},
                       {L"AddressWidth", CimType::UInt16},
                       {L"DataWidth", CimType::UInt16},
                       {L"Family", CimType::UInt16},
                       {L"L2CacheSize", CimType::UInt32},
                       {L"L3CacheSize", CimType::UInt32},
                       {L"LoadPercentage", CimType::UInt16},
                       {L"ProcessorType", CimType::UInt16},
                       {L"VirtualizationFirmwareEnabled", CimType::Boolean}}),
                 Processors),
        WqlClass(L"Win32_BIOS",
                 With(Strings({L"Manufacturer", L"Name", L"Caption", L"Description", L"Version",
                               L"SMBIOSBIOSVersion", L"SerialNumber", L"ReleaseDate", L"Status",
                               L"SoftwareElementID", L"CurrentLanguage"}),
                      {{L"BIOSVersion", CimType::StringArray},
                       {L"PrimaryBIOS", CimType::Boolean},
                       {L"SMBIOSMajorVersion", CimType::UInt16},
                       {L"SMBIOSMinorVersion", CimType::UInt16},
                       {L"SoftwareElementState", CimType::UInt16},
                       {L"TargetOperatingSystem", CimType::UInt16}}),
                 Bioses),
        WqlClass(L"Win32_NetworkAdapterConfiguration",
                 With(Strings({L"Caption", L"Description", L"MACAddress", L"DNSHostName", L"DNSDomain",
                               L"ServiceName", L"SettingID", L"DHCPServer"}),
                      {{L"Index", CimType::UInt32},
                       {L"InterfaceIndex", CimType::UInt32},
                       {L"IPEnabled", CimType::Boolean},
                       {L"DHCPEnabled", CimType::Boolean},
                       {L"IPAddress", CimType::StringArray},
                       {L"IPSubnet", CimType::StringArray},
                       {L"DefaultIPGateway", CimType::StringArray},
                       {L"DNSServerSearchOrder", CimType::StringArray},
                       {L"MTU", CimType::UInt32}}),
                 NetworkConfigurations),
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
