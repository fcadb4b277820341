#include "winapi/machine/network_records.h"

#include "winapi/machine/network_cache.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

const char* const kComputerColumns =
    "SELECT id, name, role, domain, is_local, reachable, major, minor, platform, build, machine_sid FROM computers ";

ComputerRecord ReadComputer(const Query& q) {
    ComputerRecord c;
    c.id = q.Int(0);
    c.name = q.WText(1);
    c.role = static_cast<DWORD>(q.Int(2));
    c.domain = q.WText(3);
    c.isLocal = q.Int(4) != 0;
    c.reachable = q.Int(5) != 0;
    c.major = static_cast<DWORD>(q.Int(6));
    c.minor = static_cast<DWORD>(q.Int(7));
    c.platformId = static_cast<DWORD>(q.Int(8));
    c.build = static_cast<DWORD>(q.Int(9));
    c.machineSid = q.WText(10);
    return c;
}

const char* const kDomainColumns = "SELECT id, flat_name, dns_name, controller, sid FROM domains ";

DomainRecord ReadDomain(const Query& q) {
    DomainRecord d;
    d.id = q.Int(0);
    d.flatName = q.WText(1);
    d.dnsName = q.WText(2);
    d.controller = q.WText(3);
    d.sid = q.WText(4);
    return d;
}

}  // namespace

std::optional<ComputerRecord> LocalComputerRecord() {
    std::lock_guard guard(MachineLock());
    for (const auto& computer : CurrentNetwork().computers)
        if (computer.isLocal) return computer;
    return std::nullopt;
}

std::optional<ComputerRecord> FindComputerRecord(std::wstring_view name) {
    std::wstring bare = StripServerPrefix(name);
    if (bare.empty()) return LocalComputerRecord();
    std::wstring key = UpperCase(bare);
    std::lock_guard guard(MachineLock());
    for (const auto& computer : CurrentNetwork().computers)
        if (UpperCase(computer.name) == key) return computer;
    return std::nullopt;
}

std::optional<ComputerRecord> ComputerRecordById(int64_t id) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kComputerColumns) + "WHERE id = ?1");
    q.Bind(1, id);
    if (!q.Step()) return std::nullopt;
    return ReadComputer(q);
}

std::vector<ComputerRecord> AllComputers() {
    std::lock_guard guard(MachineLock());
    std::vector<ComputerRecord> all;
    Query q = CurrentStore().Prepare(std::string(kComputerColumns) + "ORDER BY name_key");
    while (q.Step()) all.push_back(ReadComputer(q));
    return all;
}

std::optional<DomainRecord> FindDomainRecord(std::wstring_view name) {
    if (name.empty()) return std::nullopt;
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kDomainColumns) + "WHERE flat_key = ?1 OR dns_key = ?1");
    q.Bind(1, UpperCase(name));
    if (!q.Step()) return std::nullopt;
    return ReadDomain(q);
}

std::optional<DomainRecord> DomainRecordBySid(const std::wstring& sid) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kDomainColumns) + "WHERE sid = ?1");
    q.Bind(1, UpperCase(sid));
    if (!q.Step()) return std::nullopt;
    return ReadDomain(q);
}

std::vector<DomainRecord> AllDomains() {
    std::lock_guard guard(MachineLock());
    std::vector<DomainRecord> all;
    Query q = CurrentStore().Prepare(std::string(kDomainColumns) + "ORDER BY flat_key");
    while (q.Step()) all.push_back(ReadDomain(q));
    return all;
}

ComputerRecord RequireComputer(const std::wstring& name) {
    auto computer = FindComputerRecord(name);
    if (!computer) {
        if (StripServerPrefix(name).empty())
            throw std::runtime_error("the network has no local computer yet (run `tavrik machine init`)");
        throw std::runtime_error("no computer named " + ToUtf8(name) + " in the network");
    }
    return *computer;
}

}  // namespace winapi::machine
