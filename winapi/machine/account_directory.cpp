#include "winapi/machine/account_directory.h"

#include <grp.h>
#include <pwd.h>

#include <vector>

#include "winapi/machine/accounts_table.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/text.h"
#include "winapi/machine/well_known_sids.h"
#include "winapi/samba/winbind.h"

namespace winapi::machine {
namespace {

const wchar_t* const kUnixUserDomain = L"Unix User";
const wchar_t* const kUnixGroupDomain = L"Unix Group";

SID_NAME_USE UseOf(AccountKind kind) {
    switch (kind) {
    case AccountKind::User: return SidTypeUser;
    case AccountKind::Group: return SidTypeGroup;
    case AccountKind::Alias: return SidTypeAlias;
    }
    return SidTypeUnknown;
}

std::optional<ResolvedAccount> FromRecord(const std::optional<AccountRecord>& record) {
    if (!record) return std::nullopt;
    auto sid = ParseSidString(record->sid);
    if (!sid) return std::nullopt;
    return ResolvedAccount{record->ownerName, record->name, *sid, UseOf(record->kind)};
}

std::optional<ResolvedAccount> FromWellKnown(const WellKnownSid& entry) {
    return ResolvedAccount{entry.domain, entry.name, *ParseSidString(entry.sid), entry.use};
}

std::optional<ResolvedAccount> DomainItself(const std::wstring& name, const std::wstring& sid) {
    auto bytes = ParseSidString(sid);
    if (!bytes) return std::nullopt;
    return ResolvedAccount{name, name, *bytes, SidTypeDomain};
}

// Room for getpw*_r and getgr*_r to fill, kept from call to call: a
// listing names a Unix account for several entries of every object, and
// zeroing a fresh 64 KiB each time cost more than the rest of the lookup.
std::vector<char>& AccountEntryBuffer() {
    thread_local std::vector<char> buffer(65536);
    return buffer;
}

std::optional<ResolvedAccount> UnixUserByName(const std::wstring& name) {
    std::string utf8 = ToUtf8(name);
    std::vector<char>& buffer = AccountEntryBuffer();
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(utf8.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return ResolvedAccount{kUnixUserDomain, FromUtf8(found->pw_name),
                           *ParseSidString(L"S-1-22-1-" + std::to_wstring(found->pw_uid)), SidTypeUser};
}

std::optional<ResolvedAccount> UnixGroupByName(const std::wstring& name) {
    std::string utf8 = ToUtf8(name);
    std::vector<char>& buffer = AccountEntryBuffer();
    group entry{};
    group* found = nullptr;
    if (getgrnam_r(utf8.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return ResolvedAccount{kUnixGroupDomain, FromUtf8(found->gr_name),
                           *ParseSidString(L"S-1-22-2-" + std::to_wstring(found->gr_gid)), SidTypeGroup};
}

std::optional<ResolvedAccount> UnixAccountBySid(const std::wstring& sid) {
    std::wstring prefix;
    DWORD id = 0;
    if (!SplitRid(sid, &prefix, &id)) return std::nullopt;
    if (prefix == L"S-1-22-1") {
        std::vector<char>& buffer = AccountEntryBuffer();
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(id, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
            return std::nullopt;
        return ResolvedAccount{kUnixUserDomain, FromUtf8(found->pw_name), *ParseSidString(sid), SidTypeUser};
    }
    if (prefix == L"S-1-22-2") {
        std::vector<char>& buffer = AccountEntryBuffer();
        group entry{};
        group* found = nullptr;
        if (getgrgid_r(id, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
            return std::nullopt;
        return ResolvedAccount{kUnixGroupDomain, FromUtf8(found->gr_name), *ParseSidString(sid), SidTypeGroup};
    }
    return std::nullopt;
}

// The domain a computer sees as its own: the one it belongs to.
std::optional<DomainRecord> HomeDomain(const ComputerRecord& on) {
    if (on.domain.empty()) return std::nullopt;
    return FindDomainRecord(on.domain);
}

std::optional<ResolvedAccount> InDomain(const DomainRecord& domain, std::wstring_view account) {
    if (EqualNoCase(account, domain.flatName)) return DomainItself(domain.flatName, domain.sid);
    return FromRecord(AccountByName(DomainOwnerKey(domain.flatName), std::wstring(account)));
}

// Roles 4 and 5: a backup or primary domain controller.
bool IsDomainController(const ComputerRecord& computer) { return computer.role == 4 || computer.role == 5; }

std::optional<ResolvedAccount> InComputer(const ComputerRecord& on, std::wstring_view account) {
    // A domain controller has no local accounts: its account database is
    // its domain's, so "Administrator" there is the domain's Administrator.
    if (IsDomainController(on))
        if (auto domain = HomeDomain(on))
            if (auto found = InDomain(*domain, account)) return found;
    if (EqualNoCase(account, on.name)) return DomainItself(on.name, on.machineSid);
    if (IsDomainController(on) && HomeDomain(on)) return std::nullopt;
    return FromRecord(AccountByName(ComputerOwnerKey(on.name), std::wstring(account)));
}

}  // namespace

std::optional<ResolvedAccount> ResolveAccountName(const ComputerRecord& on, std::wstring_view name) {
    // On the Samba server itself its winbindd knows the accounts best.
    if (on.isLocal && WinbindSpeaksForLocalComputer()) {
        if (auto found = WinbindAccountByName(name)) return found;
    }
    size_t slash = name.find(L'\\');
    if (slash != std::wstring_view::npos && slash > 0) {
        std::wstring_view domainPart = name.substr(0, slash);
        std::wstring_view account = name.substr(slash + 1);
        if (account.empty()) return std::nullopt;
        for (const auto& entry : WellKnownSids())
            if (*entry.domain != L'\0' && EqualNoCase(domainPart, entry.domain) && EqualNoCase(account, entry.name))
                return FromWellKnown(entry);
        if (EqualNoCase(domainPart, on.name)) return InComputer(on, account);
        if (auto domain = FindDomainRecord(domainPart)) return InDomain(*domain, account);
        if (EqualNoCase(domainPart, kUnixUserDomain)) return UnixUserByName(std::wstring(account));
        if (EqualNoCase(domainPart, kUnixGroupDomain)) return UnixGroupByName(std::wstring(account));
        return std::nullopt;
    }
    std::wstring_view account = slash == 0 ? name.substr(1) : name;
    if (account.empty()) return std::nullopt;
    for (const auto& entry : WellKnownSids())
        if (EqualNoCase(account, entry.name)) return FromWellKnown(entry);
    if (auto local = InComputer(on, account)) return local;
    if (auto domain = HomeDomain(on))
        if (auto found = InDomain(*domain, account)) return found;
    // A domain's own name names the domain, as Windows answers it.
    if (auto domain = FindDomainRecord(account)) return DomainItself(domain->flatName, domain->sid);
    if (auto user = UnixUserByName(std::wstring(account))) return user;
    return UnixGroupByName(std::wstring(account));
}

std::optional<ResolvedAccount> ResolveAccountSid(const ComputerRecord& on, const Bytes& sid) {
    if (on.isLocal && WinbindSpeaksForLocalComputer()) {
        if (auto found = WinbindAccountBySid(sid)) return found;
    }
    std::wstring text = FormatSid(sid);
    if (text.empty()) return std::nullopt;
    for (const auto& entry : WellKnownSids())
        if (text == entry.sid) return FromWellKnown(entry);
    if (text == on.machineSid) return DomainItself(on.name, on.machineSid);
    if (auto domain = DomainRecordBySid(text)) return DomainItself(domain->flatName, domain->sid);
    if (auto record = AccountBySid(text)) {
        // Another computer's local accounts mean nothing here, and a domain
        // controller has none of its own.
        bool visible = record->ownedByDomain ||
                       (EqualNoCase(record->ownerName, on.name) && !(IsDomainController(on) && HomeDomain(on)));
        if (visible) return FromRecord(record);
        return std::nullopt;
    }
    return UnixAccountBySid(text);
}

Bytes ResolveSidOrName(const std::wstring& text) {
    if (text.size() > 2 && (text[0] == L'S' || text[0] == L's') && text[1] == L'-') {
        auto sid = ParseSidString(text);
        if (!sid) throw std::runtime_error("not a valid SID: " + ToUtf8(text));
        return *sid;
    }
    auto local = LocalComputerRecord();
    if (!local) throw std::runtime_error("the network has no local computer to resolve " + ToUtf8(text));
    auto account = ResolveAccountName(*local, text);
    if (!account) throw std::runtime_error("no account named " + ToUtf8(text));
    return account->sid;
}

}  // namespace winapi::machine
