#include "winapi/samba/samba_ids.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "winapi/samba/winbind.h"

namespace winapi {
namespace {

constexpr BYTE kUnixUsersAuthority = 22;

// Bulk writes map the same few SIDs over and over; a second's memory saves
// a round trip to winbindd for each of them without keeping stale answers.
std::atomic<uint64_t> generation{0};

struct Memory {
    std::mutex lock;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    // Keyed by the SID's bytes as a string: GCC 12 at -O3 mistakes the
    // comparison of byte vectors for an overread.
    std::map<std::string, std::optional<UnixId>> ids;
    std::map<std::pair<bool, unsigned int>, Bytes> sids;

    void Expire() {
        auto now = std::chrono::steady_clock::now();
        if (now - since > std::chrono::seconds(1)) {
            ids.clear();
            sids.clear();
            since = now;
            ++generation;
        }
    }
};

Memory& TheMemory() {
    static Memory memory;
    return memory;
}

Bytes UnixSid(BYTE kind, unsigned int id) {
    Bytes out{1, 2, 0, 0, 0, 0, 0, kUnixUsersAuthority, kind, 0, 0, 0};
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<BYTE>(id >> (8 * b)));
    return out;
}

}  // namespace

std::optional<UnixId> UnixIdOfSid(const Bytes& sid) {
    // S-1-22-1-uid and S-1-22-2-gid carry their id.
    if (sid.size() == 16 && sid[0] == 1 && sid[1] == 2 && sid[7] == kUnixUsersAuthority &&
        std::equal(sid.begin() + 2, sid.begin() + 7, Bytes(5, 0).begin()) && sid[9] == 0 && sid[10] == 0 &&
        sid[11] == 0 && (sid[8] == 1 || sid[8] == 2)) {
        const unsigned int id = static_cast<unsigned int>(sid[12]) | static_cast<unsigned int>(sid[13]) << 8 |
                                static_cast<unsigned int>(sid[14]) << 16 | static_cast<unsigned int>(sid[15]) << 24;
        return UnixId{sid[8] == 1 ? UnixIdKind::User : UnixIdKind::Group, id};
    }
    Memory& memory = TheMemory();
    {
        std::lock_guard guard(memory.lock);
        memory.Expire();
        auto it = memory.ids.find(std::string(sid.begin(), sid.end()));
        if (it != memory.ids.end()) return it->second;
    }
    std::optional<UnixId> answer;
    if (auto id = machine::WinbindUnixIdOfSid(sid)) {
        static constexpr UnixIdKind kKinds[] = {UnixIdKind::User, UnixIdKind::Group, UnixIdKind::Both};
        answer = UnixId{kKinds[static_cast<int>(id->kind)], id->id};
    }
    std::lock_guard guard(memory.lock);
    memory.ids[std::string(sid.begin(), sid.end())] = answer;
    return answer;
}

namespace {

Bytes SidOfId(bool group, unsigned int id) {
    Memory& memory = TheMemory();
    {
        std::lock_guard guard(memory.lock);
        memory.Expire();
        auto it = memory.sids.find({group, id});
        if (it != memory.sids.end()) return it->second;
    }
    Bytes sid = machine::WinbindSidOfUnixId(group, id).value_or(UnixSid(group ? 2 : 1, id));
    std::lock_guard guard(memory.lock);
    memory.sids[{group, id}] = sid;
    return sid;
}

}  // namespace

Bytes SidOfUid(uid_t uid) { return SidOfId(false, uid); }
Bytes SidOfGid(gid_t gid) { return SidOfId(true, gid); }

void ForgetUnixIdMappings() {
    Memory& memory = TheMemory();
    std::lock_guard guard(memory.lock);
    memory.ids.clear();
    memory.sids.clear();
    ++generation;
}

uint64_t UnixIdMappingGeneration() { return generation.load(); }

}  // namespace winapi
