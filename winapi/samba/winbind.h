// The Samba server's winbindd, asked through libwbclient: account names and
// SIDs as `wbinfo -n` and `wbinfo -s` give them, and its id mapping. Every
// call answers nothing when winbindd does not run.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

#include "winapi/machine/account_directory.h"
#include "winapi/security/bytes.h"

namespace winapi::machine {

// "DOMAIN\name" or a bare name.
std::optional<ResolvedAccount> WinbindAccountByName(std::wstring_view name);
std::optional<ResolvedAccount> WinbindAccountBySid(const Bytes& sid);

enum class WinbindIdKind { Uid, Gid, Both };
struct WinbindId {
    WinbindIdKind kind = WinbindIdKind::Uid;
    unsigned int id = 0;
};
std::optional<WinbindId> WinbindUnixIdOfSid(const Bytes& sid);
std::optional<Bytes> WinbindSidOfUnixId(bool group, unsigned int id);

// The SID of the account domain winbindd serves as its own (on a
// standalone server, the server's SAM); nullopt without winbindd.
std::optional<Bytes> WinbindOwnDomainSid();

// Whether the local computer is the Samba server winbindd speaks for: a
// Samba configuration is recorded for it.
bool WinbindSpeaksForLocalComputer();

}  // namespace winapi::machine
