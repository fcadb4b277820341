// Name <-> SID resolution over everything the network knows: the
// well-known and BUILTIN SIDs, computers' local accounts, domains' accounts
// and the host's Unix users and groups. What LookupAccountNameW and
// LookupAccountSidW answer, as seen from one computer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "winapi/security/bytes.h"
#include "winapi/machine/network_records.h"
#include "winapi/security.h"

namespace winapi::machine {

struct ResolvedAccount {
    std::wstring domain;  // "", "NT AUTHORITY", "BUILTIN", computer or domain name, "Unix User"...
    std::wstring name;
    Bytes sid;
    SID_NAME_USE use = SidTypeUser;
};

// `name` is bare ("Administrators") or qualified ("BUILTIN\Administrators").
std::optional<ResolvedAccount> ResolveAccountName(const ComputerRecord& on, std::wstring_view name);
std::optional<ResolvedAccount> ResolveAccountSid(const ComputerRecord& on, const Bytes& sid);

// For the administration API: a SID string, or a name resolved on the
// local computer. Throws runtime_error naming what could not be resolved.
Bytes ResolveSidOrName(const std::wstring& text);

}  // namespace winapi::machine
