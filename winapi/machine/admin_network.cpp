// Administration of computers, domains, accounts and drive letters.
#include <filesystem>

#include "winapi/machine/accounts_table.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

std::wstring CanonicalDomainSid(const std::wstring& given) {
    if (given.empty()) return GenerateAccountDomainSid();
    auto bytes = ParseSidString(given);
    if (!bytes) throw std::runtime_error("not a SID: " + ToUtf8(given));
    return FormatSid(*bytes);
}

void CheckName(const std::wstring& name, const char* what) {
    if (name.empty()) throw std::runtime_error(std::string(what) + " needs a name");
    for (wchar_t c : name)
        if (c == L'\\' || c == L'/' || c < 0x20)
            throw std::runtime_error(std::string(what) + " name may not contain '\\', '/' or control characters: " +
                                     ToUtf8(name));
}

wchar_t DriveLetter(wchar_t letter) {
    wchar_t upper = static_cast<wchar_t>(letter >= L'a' && letter <= L'z' ? letter - 32 : letter);
    if (upper < L'A' || upper > L'Z') throw std::runtime_error("a drive letter must be one of A to Z");
    return upper;
}

}  // namespace

void AddComputer(const ComputerSpec& request) {
    std::wstring name = StripServerPrefix(request.name);
    CheckName(name, "a computer");
    if (request.role > 5) throw std::runtime_error("a computer's role is 0 to 5");
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    if (FindComputerRecord(name)) throw std::runtime_error("the network already has a computer named " + ToUtf8(name));
    std::wstring sid = CanonicalDomainSid(request.machineSid);
    Transaction transaction(store);
    if (request.local) store.Prepare("UPDATE computers SET is_local = 0").Run();
    Query insert = store.Prepare(
        "INSERT INTO computers (name, name_key, role, domain, is_local, reachable, major, minor, platform, machine_sid)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    insert.Bind(1, name).Bind(2, UpperCase(name)).Bind(3, static_cast<int64_t>(request.role)).Bind(4, request.domain);
    insert.Bind(5, static_cast<int64_t>(request.local)).Bind(6, static_cast<int64_t>(request.reachable));
    insert.Bind(7, static_cast<int64_t>(request.majorVersion)).Bind(8, static_cast<int64_t>(request.minorVersion));
    insert.Bind(9, static_cast<int64_t>(request.platformId)).Bind(10, sid);
    insert.Run();
    AddBuiltInComputerAccounts(name, sid);
    transaction.Commit();
    InvalidateCaches();
}

void SetComputerReachable(const std::wstring& computer, bool reachable) {
    std::lock_guard guard(MachineLock());
    ComputerRecord record = RequireComputer(computer);
    Transaction transaction(CurrentStore());
    CurrentStore().Prepare("UPDATE computers SET reachable = ?1 WHERE id = ?2")
        .Bind(1, static_cast<int64_t>(reachable))
        .Bind(2, record.id)
        .Run();
    transaction.Commit();
}

void SetComputerVersion(const std::wstring& computer, DWORD major, DWORD minor, DWORD platformId) {
    std::lock_guard guard(MachineLock());
    ComputerRecord record = RequireComputer(computer);
    Transaction transaction(CurrentStore());
    CurrentStore()
        .Prepare("UPDATE computers SET major = ?1, minor = ?2, platform = ?3 WHERE id = ?4")
        .Bind(1, static_cast<int64_t>(major))
        .Bind(2, static_cast<int64_t>(minor))
        .Bind(3, static_cast<int64_t>(platformId))
        .Bind(4, record.id)
        .Run();
    transaction.Commit();
}

void AddDomain(const DomainSpec& request) {
    CheckName(request.flatName, "a domain");
    std::wstring dns = request.dnsName;
    if (dns.empty())
        for (wchar_t c : request.flatName) dns += static_cast<wchar_t>(c >= L'A' && c <= L'Z' ? c + 32 : c);
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    if (FindDomainRecord(request.flatName) || FindDomainRecord(dns))
        throw std::runtime_error("the network already has a domain named " + ToUtf8(request.flatName));
    std::wstring sid = CanonicalDomainSid(request.domainSid);
    std::wstring controller = StripServerPrefix(request.controller);
    auto controllerRecord = controller.empty() ? std::nullopt : FindComputerRecord(controller);
    if (!controller.empty() && !controllerRecord)
        throw std::runtime_error("no computer named " + ToUtf8(controller) + " to act as controller");
    Transaction transaction(store);
    Query insert = store.Prepare(
        "INSERT INTO domains (flat_name, flat_key, dns_name, dns_key, controller, sid) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    insert.Bind(1, request.flatName).Bind(2, UpperCase(request.flatName)).Bind(3, dns).Bind(4, UpperCase(dns));
    insert.Bind(5, controllerRecord ? controllerRecord->name : std::wstring()).Bind(6, sid);
    insert.Run();
    AddBuiltInDomainAccounts(request.flatName, sid);
    // The controller hosts the domain: it belongs to it as its primary DC.
    if (controllerRecord)
        store.Prepare("UPDATE computers SET domain = ?1, role = 5 WHERE id = ?2")
            .Bind(1, request.flatName)
            .Bind(2, controllerRecord->id)
            .Run();
    transaction.Commit();
    InvalidateCaches();
}

std::wstring AddAccount(const std::wstring& owner, const std::wstring& name, AccountKind kind, DWORD rid) {
    CheckName(name, "an account");
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    std::string ownerKey;
    std::wstring baseSid;
    if (auto domain = FindDomainRecord(owner)) {
        ownerKey = DomainOwnerKey(domain->flatName);
        baseSid = domain->sid;
    } else if (auto computer = FindComputerRecord(owner)) {
        ownerKey = ComputerOwnerKey(computer->name);
        baseSid = computer->machineSid;
    } else {
        throw std::runtime_error("no computer or domain named " + ToUtf8(owner));
    }
    if (AccountByName(ownerKey, name))
        throw std::runtime_error(ToUtf8(owner) + " already has an account named " + ToUtf8(name));
    Transaction transaction(store);
    if (rid == 0) {
        DWORD next = 1000;
        for (const auto& account : AccountsOf(ownerKey)) {
            std::wstring domainPart;
            DWORD used = 0;
            if (SplitRid(account.sid, &domainPart, &used) && used >= next) next = used + 1;
        }
        rid = next;
    }
    std::wstring sid = AppendRid(baseSid, rid);
    if (AccountBySid(sid)) throw std::runtime_error("the SID " + ToUtf8(sid) + " is already in use");
    InsertAccount(ownerKey, name, kind, sid);
    transaction.Commit();
    return sid;
}

void RemoveAccount(const std::wstring& owner, const std::wstring& name) {
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    std::string ownerKey;
    if (auto domain = FindDomainRecord(owner)) ownerKey = DomainOwnerKey(domain->flatName);
    else if (auto computer = FindComputerRecord(owner)) ownerKey = ComputerOwnerKey(computer->name);
    else throw std::runtime_error("no computer or domain named " + ToUtf8(owner));
    Transaction transaction(store);
    Query remove = store.Prepare("DELETE FROM accounts WHERE owner_key = ?1 AND name_key = ?2");
    remove.Bind(1, ownerKey).Bind(2, UpperCase(name)).Run();
    if (store.Changes() == 0) throw std::runtime_error(ToUtf8(owner) + " has no account named " + ToUtf8(name));
    transaction.Commit();
}

void MapDrive(const std::wstring& computer, wchar_t letter, const std::string& directory) {
    wchar_t drive = DriveLetter(letter);
    if (directory.empty()) throw std::runtime_error("a drive needs a directory");
    std::filesystem::path path = std::filesystem::absolute(directory).lexically_normal();
    std::filesystem::create_directories(path);
    std::string canonical = std::filesystem::canonical(path).string();
    std::lock_guard guard(MachineLock());
    ComputerRecord record = RequireComputer(computer);
    Transaction transaction(CurrentStore());
    CurrentStore()
        .Prepare("INSERT OR REPLACE INTO drives (computer_id, letter, directory, remote) VALUES (?1, ?2, ?3, '')")
        .Bind(1, record.id)
        .Bind(2, std::wstring(1, drive))
        .Bind(3, canonical)
        .Run();
    transaction.Commit();
}

void MapNetworkDrive(const std::wstring& computer, wchar_t letter, const std::wstring& remote) {
    wchar_t drive = DriveLetter(letter);
    if (remote.size() < 5 || remote.compare(0, 2, L"\\\\") != 0 || remote.find(L'\\', 2) == std::wstring::npos)
        throw std::runtime_error("a network drive maps to \\\\server\\share, not " + ToUtf8(remote));
    std::lock_guard guard(MachineLock());
    ComputerRecord record = RequireComputer(computer);
    Transaction transaction(CurrentStore());
    CurrentStore()
        .Prepare("INSERT OR REPLACE INTO drives (computer_id, letter, directory, remote) VALUES (?1, ?2, '', ?3)")
        .Bind(1, record.id)
        .Bind(2, std::wstring(1, drive))
        .Bind(3, remote)
        .Run();
    transaction.Commit();
}

}  // namespace winapi::machine
