#include "winapi/machine/accounts_table.h"

#include "winapi/machine/sid_text.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

const char* const kAccountColumns = "SELECT owner_key, name, kind, sid FROM accounts ";

AccountRecord ReadAccount(const Query& q) {
    AccountRecord a;
    std::string owner = q.Text(0);
    a.ownedByDomain = owner.rfind("DOMAIN:", 0) == 0;
    std::wstring key = FromUtf8(owner.substr(owner.find(':') + 1));
    a.name = q.WText(1);
    a.kind = static_cast<AccountKind>(q.Int(2));
    a.sid = q.WText(3);
    // The owner's name as it is spelled in its own record.
    if (a.ownedByDomain) {
        auto domain = FindDomainRecord(key);
        a.ownerName = domain ? domain->flatName : key;
    } else {
        auto computer = FindComputerRecord(key);
        a.ownerName = computer ? computer->name : key;
    }
    return a;
}

}  // namespace

std::string ComputerOwnerKey(const std::wstring& computerName) { return "COMPUTER:" + ToUtf8(UpperCase(computerName)); }
std::string DomainOwnerKey(const std::wstring& flatName) { return "DOMAIN:" + ToUtf8(UpperCase(flatName)); }

std::optional<AccountRecord> AccountBySid(const std::wstring& sid) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kAccountColumns) + "WHERE sid = ?1");
    q.Bind(1, sid);
    if (!q.Step()) return std::nullopt;
    return ReadAccount(q);
}

std::optional<AccountRecord> AccountByName(const std::string& ownerKey, const std::wstring& name) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kAccountColumns) + "WHERE owner_key = ?1 AND name_key = ?2");
    q.Bind(1, ownerKey).Bind(2, UpperCase(name));
    if (!q.Step()) return std::nullopt;
    return ReadAccount(q);
}

std::vector<AccountRecord> AccountsOf(const std::string& ownerKey) {
    std::lock_guard guard(MachineLock());
    std::vector<AccountRecord> all;
    Query q = CurrentStore().Prepare(std::string(kAccountColumns) + "WHERE owner_key = ?1 ORDER BY name_key");
    q.Bind(1, ownerKey);
    while (q.Step()) all.push_back(ReadAccount(q));
    return all;
}

void InsertAccount(const std::string& ownerKey, const std::wstring& name, AccountKind kind, const std::wstring& sid) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(
        "INSERT INTO accounts (owner_key, name, name_key, kind, sid) VALUES (?1, ?2, ?3, ?4, ?5)");
    q.Bind(1, ownerKey).Bind(2, name).Bind(3, UpperCase(name)).Bind(4, static_cast<int64_t>(kind)).Bind(5, sid);
    q.Run();
}

void AddBuiltInComputerAccounts(const std::wstring& computerName, const std::wstring& machineSid) {
    const std::string owner = ComputerOwnerKey(computerName);
    InsertAccount(owner, L"Administrator", AccountKind::User, AppendRid(machineSid, 500));
    InsertAccount(owner, L"Guest", AccountKind::User, AppendRid(machineSid, 501));
    InsertAccount(owner, L"DefaultAccount", AccountKind::User, AppendRid(machineSid, 503));
    InsertAccount(owner, L"None", AccountKind::Group, AppendRid(machineSid, 513));
}

void AddBuiltInDomainAccounts(const std::wstring& flatName, const std::wstring& domainSid) {
    const std::string owner = DomainOwnerKey(flatName);
    InsertAccount(owner, L"Administrator", AccountKind::User, AppendRid(domainSid, 500));
    InsertAccount(owner, L"Guest", AccountKind::User, AppendRid(domainSid, 501));
    InsertAccount(owner, L"krbtgt", AccountKind::User, AppendRid(domainSid, 502));
    InsertAccount(owner, L"Domain Admins", AccountKind::Group, AppendRid(domainSid, 512));
    InsertAccount(owner, L"Domain Users", AccountKind::Group, AppendRid(domainSid, 513));
    InsertAccount(owner, L"Domain Guests", AccountKind::Group, AppendRid(domainSid, 514));
    InsertAccount(owner, L"Domain Computers", AccountKind::Group, AppendRid(domainSid, 515));
    InsertAccount(owner, L"Domain Controllers", AccountKind::Group, AppendRid(domainSid, 516));
}

}  // namespace winapi::machine
