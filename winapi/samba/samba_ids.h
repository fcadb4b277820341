// SIDs and Unix ids as a Samba server maps them: the "Unix User" and "Unix
// Group" SIDs (S-1-22-1-uid, S-1-22-2-gid) directly, every other SID
// through winbindd's id mapping when winbindd answers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "winapi/security/bytes.h"

namespace winapi {

enum class UnixIdKind { User, Group, Both };

struct UnixId {
    UnixIdKind kind = UnixIdKind::User;
    unsigned int id = 0;
};

// The uid and/or gid a SID stands for; nullopt when it maps to none.
std::optional<UnixId> UnixIdOfSid(const Bytes& sid);

// The SID of a uid or gid: winbind's when it answers, else the Unix User /
// Unix Group SID, as smbd falls back to.
Bytes SidOfUid(uid_t uid);
Bytes SidOfGid(gid_t gid);

// Answers are remembered for a moment; tests that restart a server call this.
void ForgetUnixIdMappings();
// Changes whenever remembered answers are dropped (by the call above or
// because they grew old): what was derived from them may be stale.
uint64_t UnixIdMappingGeneration();

}  // namespace winapi
