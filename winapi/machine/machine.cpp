// Opening and closing the network's database, and the views of it that the
// file-system front end and the SDDL conversions need.
#include "winapi/machine/machine.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "winapi/machine/admin.h"
#include "winapi/machine/network_cache.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/process_token.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/text.h"
#include "winapi/sddl/sddl_context.h"

namespace winapi::machine {
namespace {

struct OpenNetwork {
    std::unique_ptr<Store> store;
    // Set when the last OpenMachine failed: nothing may silently fall back
    // to another database until the host opens or closes one.
    std::string failedPath;
    bool sddlContextKnown = false;
    SddlDomainContext sddlContext;
};

OpenNetwork& Network() {
    static OpenNetwork network;
    return network;
}

std::string DefaultDatabasePath() {
    const char* explicitPath = std::getenv("TAVRIK_MACHINE");
    if (explicitPath != nullptr && *explicitPath != '\0') return explicitPath;
    std::filesystem::path base;
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && *data != '\0') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr && *home != '\0' ? home : "/tmp") / ".local" / "share";
    }
    return (base / "tavrik" / "machine.db").string();
}

std::wstring HostComputerName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return L"TAVRIKPC";
    std::string name(host);
    name = name.substr(0, name.find('.'));  // NetBIOS names carry no DNS suffix
    if (name.size() > 15) name.resize(15);
    return UpperCase(FromUtf8(name));
}

// Windows' own fallback when the computer's domain is unknown: a machine
// SID of zeros keeps the machine-relative SDDL aliases convertible.
SddlDomainContext ComputeSddlContext() {
    SddlDomainContext context;
    std::lock_guard guard(MachineLock());
    auto& network = Network();
    if (!network.store) return context;
    if (network.sddlContextKnown) return network.sddlContext;
    auto local = LocalComputerRecord();
    if (local) {
        if (auto sid = ParseSidString(local->machineSid)) context.machineSid = *sid;
        if (auto domain = FindDomainRecord(local->domain))
            if (auto sid = ParseSidString(domain->sid)) context.domainSid = *sid;
    }
    if (context.machineSid.empty()) context.machineSid = *ParseSidString(L"S-1-5-21-0-0-0");
    network.sddlContext = context;
    network.sddlContextKnown = true;
    return context;
}

void OpenPath(const std::string& path) {
    auto& network = Network();
    network.store.reset();
    ForgetProcessToken();
    ForgetCachedNetwork();
    network.sddlContextKnown = false;
    ForgetSddlDomainContext();
    network.failedPath = path;
    network.store = std::make_unique<Store>(path);
    network.failedPath.clear();
    SetSddlDomainProvider(ComputeSddlContext);
}

}  // namespace

std::recursive_mutex& MachineLock() {
    static std::recursive_mutex lock;
    return lock;
}

Store& CurrentStore() {
    std::lock_guard guard(MachineLock());
    auto& network = Network();
    if (!network.store) {
        if (!network.failedPath.empty())
            throw StoreError("the machine database " + network.failedPath + " could not be opened");
        OpenMachine();
    }
    return *network.store;
}

void InvalidateCaches() {
    std::lock_guard guard(MachineLock());
    Network().sddlContextKnown = false;
    ForgetSddlDomainContext();
    ForgetCachedNetwork();
}

void OpenMachine(const std::string& databasePath) {
    std::lock_guard guard(MachineLock());
    if (!databasePath.empty()) {
        OpenPath(databasePath);
        return;
    }
    std::string path = DefaultDatabasePath();
    std::filesystem::path file(path);
    bool fresh = !std::filesystem::exists(file);
    if (fresh && file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    OpenPath(path);
    if (AllComputers().empty()) {
        std::string driveC = (file.parent_path() / "C").string();
        try {
            // One transaction: a process that finds the computer finds its network too.
            Transaction transaction(CurrentStore());
            InitializeDefaultComputer(HostComputerName(), driveC);
            AddSampleNetwork(HostComputerName(), driveC, (file.parent_path() / "SRV02").string());
            transaction.Commit();
        } catch (const std::exception&) {
            // Another process filled it first; that computer will do.
            if (AllComputers().empty()) throw;
        }
    }
}

void CloseMachine() {
    std::lock_guard guard(MachineLock());
    auto& network = Network();
    network.store.reset();
    network.failedPath.clear();
    network.sddlContextKnown = false;
    ForgetSddlDomainContext();
    ForgetProcessToken();
    ForgetCachedNetwork();
}

std::string CurrentMachinePath() {
    std::lock_guard guard(MachineLock());
    return CurrentStore().Path();
}

std::string DatabaseReadOnlyNote() {
    std::lock_guard guard(MachineLock());
    auto& network = Network();
    if (!network.store || network.store->ReadOnlyReason().empty()) return {};
    return "the simulated computer's database " + network.store->Path() + " is open only for reading because " +
           network.store->ReadOnlyReason() + "; changes to registry keys, services, printers, shares and the network "
           "itself cannot be saved";
}

std::optional<Computer> FindComputer(std::wstring_view name) {
    try {
        auto record = FindComputerRecord(name);
        if (!record) return std::nullopt;
        return Computer{record->id, record->name, record->isLocal, record->reachable};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

namespace {

// The local computer as this thread last found it in the cached rows, kept
// under their generation: no lock and no copy while it stands. Valid until
// the thread's next call.
const Computer& LocalComputerAnswer() {
    struct Answer {
        uint64_t network = 0;
        Computer computer;
    };
    thread_local Answer answer;
    const uint64_t network = NetworkGeneration();
    if (answer.network == network) return answer.computer;
    std::lock_guard guard(MachineLock());
    for (const auto& record : CurrentNetwork().computers) {
        if (!record.isLocal) continue;
        answer.computer = Computer{record.id, record.name, record.isLocal, record.reachable};
        answer.network = network;
        return answer.computer;
    }
    throw std::runtime_error("the network has no local computer");
}

}  // namespace

Computer LocalComputer() { return LocalComputerAnswer(); }

void AssignLocalComputer(Computer* out) { *out = LocalComputerAnswer(); }

}  // namespace winapi::machine
