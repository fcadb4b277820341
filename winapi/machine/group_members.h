// Who belongs to which group on the simulated network, and the token an
// account would get from it: what an access check for another account than
// the caller's (GetEffectiveRightsFromAclW) needs.
#pragma once

#include <string>
#include <vector>

#include "winapi/security/access_check.h"
#include "winapi/security/bytes.h"

namespace winapi::machine {

// Records that `member` (an account name or SID string) belongs to `group`
// (a group or alias, by name or SID string). Throws runtime_error naming
// what could not be resolved.
void AddGroupMember(const std::wstring& group, const std::wstring& member);

// The groups the account `sid` belongs to, directly or through other
// groups; each once, in the order they were found.
std::vector<Bytes> GroupsOf(const Bytes& sid);

// The token the account `sid` would get at logon, as far as the network
// knows: the account, the groups it belongs to, the groups every signed-in
// account is in (Everyone, Authenticated Users, BUILTIN\Users); a Unix
// user's Unix groups; BUILTIN\Administrators for root and for an
// Administrator account (RID 500). No privileges.
AccessToken AccountToken(const Bytes& sid);

}  // namespace winapi::machine
