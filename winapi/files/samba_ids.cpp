#include "winapi/files/samba_ids.h"

// The header declares C functions without extern "C".
extern "C" {
#include <wbclient.h>
}

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

namespace winapi {
namespace {

constexpr BYTE kUnixUsersAuthority = 22;

// Bulk writes map the same few SIDs over and over; a second's memory saves
// a round trip to winbindd for each of them without keeping stale answers.
struct Memory {
    std::mutex lock;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    std::map<Bytes, std::optional<UnixId>> ids;
    std::map<std::pair<bool, unsigned int>, Bytes> sids;

    void Expire() {
        auto now = std::chrono::steady_clock::now();
        if (now - since > std::chrono::seconds(1)) {
            ids.clear();
            sids.clear();
            since = now;
        }
    }
};

Memory& TheMemory() {
    static Memory memory;
    return memory;
}

bool ToWinbind(const Bytes& sid, wbcDomainSid* out) {
    if (sid.size() < 8 || sid[0] != 1 || sid[1] > WBC_MAXSUBAUTHS || sid.size() != 8u + 4u * sid[1]) return false;
    *out = {};
    out->sid_rev_num = sid[0];
    out->num_auths = static_cast<uint8_t>(sid[1]);
    for (int i = 0; i < 6; ++i) out->id_auth[i] = sid[2 + i];
    for (int i = 0; i < sid[1]; ++i) {
        const BYTE* p = sid.data() + 8 + 4 * i;
        out->sub_auths[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                            static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    return true;
}

Bytes FromWinbind(const wbcDomainSid& sid) {
    Bytes out{sid.sid_rev_num, sid.num_auths};
    for (int i = 0; i < 6; ++i) out.push_back(sid.id_auth[i]);
    for (int i = 0; i < sid.num_auths; ++i) {
        const uint32_t v = sid.sub_auths[i];
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<BYTE>(v >> (8 * b)));
    }
    return out;
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
        auto it = memory.ids.find(sid);
        if (it != memory.ids.end()) return it->second;
    }
    std::optional<UnixId> answer;
    wbcDomainSid asked;
    wbcUnixId id{};
    if (ToWinbind(sid, &asked) && WBC_ERROR_IS_OK(wbcSidsToUnixIds(&asked, 1, &id))) {
        switch (id.type) {
            case WBC_ID_TYPE_UID: answer = UnixId{UnixIdKind::User, static_cast<unsigned int>(id.id.uid)}; break;
            case WBC_ID_TYPE_GID: answer = UnixId{UnixIdKind::Group, static_cast<unsigned int>(id.id.gid)}; break;
            case WBC_ID_TYPE_BOTH: answer = UnixId{UnixIdKind::Both, static_cast<unsigned int>(id.id.uid)}; break;
            default: break;
        }
    }
    std::lock_guard guard(memory.lock);
    memory.ids[sid] = answer;
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
    wbcDomainSid found{};
    const wbcErr error = group ? wbcGidToSid(static_cast<gid_t>(id), &found) : wbcUidToSid(static_cast<uid_t>(id), &found);
    Bytes sid = WBC_ERROR_IS_OK(error) ? FromWinbind(found) : UnixSid(group ? 2 : 1, id);
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
}

}  // namespace winapi
