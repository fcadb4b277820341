// Accounts of computers and domains as the database keeps them, and the
// built-in accounts every new computer and domain receives.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "winapi/machine/admin.h"
#include "winapi/machine/network_records.h"

namespace winapi::machine {

struct AccountRecord {
    std::wstring ownerName;  // computer name or domain flat name, as stored
    bool ownedByDomain = false;
    std::wstring name;
    AccountKind kind = AccountKind::User;
    std::wstring sid;
};

std::string ComputerOwnerKey(const std::wstring& computerName);
std::string DomainOwnerKey(const std::wstring& flatName);

std::optional<AccountRecord> AccountBySid(const std::wstring& sid);
std::optional<AccountRecord> AccountByName(const std::string& ownerKey, const std::wstring& name);
std::vector<AccountRecord> AccountsOf(const std::string& ownerKey);

// Inserts one account row (inside the caller's transaction).
void InsertAccount(const std::string& ownerKey, const std::wstring& name, AccountKind kind, const std::wstring& sid);
void AddBuiltInComputerAccounts(const std::wstring& computerName, const std::wstring& machineSid);
void AddBuiltInDomainAccounts(const std::wstring& flatName, const std::wstring& domainSid);

}  // namespace winapi::machine
