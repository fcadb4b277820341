#include "winapi/files/mode_derived_state.h"

#include <array>
#include <cstring>
#include <optional>

#include "winapi/base/recent_answers.h"
#include "winapi/files/ntacl.h"
#include "winapi/security/ace_list.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr BYTE kUnixUsersAuthority = 22;

// The id of a Unix user (kind 1) or group (kind 2) SID S-1-22-kind-id.
std::optional<DWORD> UnixId(const SID* sid, DWORD kind) {
    if (!sid) return std::nullopt;
    const auto* bytes = reinterpret_cast<const BYTE*>(sid);
    static const BYTE kAuthority[6] = {0, 0, 0, 0, 0, kUnixUsersAuthority};
    if (bytes[0] != 1 || bytes[1] != 2 || std::memcmp(bytes + 2, kAuthority, 6) != 0) return std::nullopt;
    DWORD first = 0, id = 0;
    std::memcpy(&first, bytes + 8, 4);
    std::memcpy(&id, bytes + 12, 4);
    if (first != kind) return std::nullopt;
    return id;
}

bool SameAce(const ACE_HEADER* a, const ACE_HEADER* b) {
    return a->AceSize == b->AceSize && std::memcmp(a, b, a->AceSize) == 0;
}

// Whether the ACE is an allow entry without flags for exactly `sid`, as the
// first entry of every mode-derived DACL is for the owner.
bool AllowsOwnerPlainly(const ACE_HEADER* ace, const SID* sid) {
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE || ace->AceFlags != 0) return false;
    const SID* aceSid = AceSid(ace);
    if (!aceSid) return false;
    const size_t length = 8 + 4 * static_cast<size_t>(reinterpret_cast<const BYTE*>(sid)[1]);
    return ace->AceSize >= 8 + length && std::memcmp(aceSid, sid, length) == 0;
}

// The masks of a directory's owner, group and Everyone entries by rwx
// triplet, as the mode-derived descriptor gives them.
const std::array<ACCESS_MASK, 8>& DirectoryTripletMasks() {
    static const std::array<ACCESS_MASK, 8> masks = [] {
        std::array<ACCESS_MASK, 8> table{};
        for (unsigned triplet = 0; triplet < 8; ++triplet) {
            const Bytes sd = ModeDerivedDescriptor(static_cast<mode_t>(triplet << 6), 0, 0, true);
            DescriptorParts parts;
            if (ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS || !parts.dacl) continue;
            ForEachAce(parts.dacl, [&](const ACE_HEADER* ace, WORD) {
                table[triplet] = AceView(reinterpret_cast<const BYTE*>(ace), ace->AceSize).Mask();
                return false;
            });
        }
        return table;
    }();
    return masks;
}

std::optional<unsigned> TripletOf(ACCESS_MASK mask) {
    const auto& masks = DirectoryTripletMasks();
    for (unsigned triplet = 0; triplet < 8; ++triplet) {
        if (masks[triplet] == mask) return triplet;
    }
    return std::nullopt;
}

}  // namespace

bool IsModeDerivedDirectoryDescriptor(const Bytes& sd) {
    // Its control word is the first test: anything a write made carries
    // the auto-inherited flag and fails it at once.
    constexpr SECURITY_DESCRIPTOR_CONTROL kDerivedControl = SE_DACL_PRESENT | SE_SELF_RELATIVE;
    if (sd.size() < 20 || static_cast<SECURITY_DESCRIPTOR_CONTROL>(sd[2] | sd[3] << 8) != kDerivedControl) {
        return false;
    }
    DescriptorParts parts;
    if (ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS || !parts.dacl) return false;
    const auto uid = UnixId(parts.owner, 1), gid = UnixId(parts.group, 2);
    if (!uid || !gid) return false;
    // The first three entries (owner, group, Everyone) give the mode; the
    // descriptor that mode derives must then be this one, byte for byte.
    std::array<ACCESS_MASK, 3> masks{};
    int seen = 0;
    ForEachAce(parts.dacl, [&](const ACE_HEADER* ace, WORD index) {
        masks[index] = AceView(reinterpret_cast<const BYTE*>(ace), ace->AceSize).Mask();
        seen = index + 1;
        return seen < 3;
    });
    if (seen < 3) return false;
    mode_t mode = 0;
    for (int i = 0; i < 3; ++i) {
        const auto triplet = TripletOf(masks[i]);
        if (!triplet) return false;
        mode |= static_cast<mode_t>(*triplet << (6 - 3 * i));
    }
    return ModeDerivedDescriptor(mode, *uid, *gid, true) == sd;
}

namespace {

bool JudgeMatchesModeDerived(const Bytes& result, const struct stat& status, bool inheritedAllowed) {
    constexpr bool kDiffers = false;
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) return kDiffers;
    DescriptorParts got;
    if (ParseSelfRelative(result.data(), result.size(), &got) != ERROR_SUCCESS) return kDiffers;
    // Most stored descriptors differ in owner or group: told without
    // building the derived one.
    if (UnixId(got.owner, 1) != status.st_uid || UnixId(got.group, 2) != status.st_gid) return kDiffers;
    if (got.control & SE_DACL_PROTECTED) return kDiffers;
    // No SACL, or an empty one that blocks nothing: no audit is lost.
    if (got.control & SE_SACL_PRESENT) {
        if ((got.control & SE_SACL_PROTECTED) || !got.sacl || got.sacl->AceCount != 0) return kDiffers;
    }
    // A NULL DACL grants everyone everything: never the derived one.
    if (!(got.control & SE_DACL_PRESENT) || !got.dacl) return kDiffers;
    // A grant or deny puts its entry first, and inherited entries come
    // last: both are told before building anything.
    bool ownerFirst = false, inherits = false;
    ForEachAce(got.dacl, [&](const ACE_HEADER* ace, WORD index) {
        if (index == 0) ownerFirst = AllowsOwnerPlainly(ace, got.owner);
        inherits = (ace->AceFlags & INHERITED_ACE) != 0;
        return ownerFirst;
    });
    if (!ownerFirst || (inherits && !inheritedAllowed)) return kDiffers;
    const Bytes derivedSd = ModeDerivedDescriptor(status.st_mode, status.st_uid, status.st_gid, S_ISDIR(status.st_mode));
    DescriptorParts derived;
    if (ParseSelfRelative(derivedSd.data(), derivedSd.size(), &derived) != ERROR_SUCCESS) return kDiffers;

    // The explicit entries, in order, are the derived ones; every entry
    // after them is inherited.
    std::array<const ACE_HEADER*, 6> wanted{};  // a directory's six at most
    size_t count = 0;
    ForEachAce(derived.dacl, [&](const ACE_HEADER* ace, WORD) {
        if (count < wanted.size()) wanted[count] = ace;
        ++count;
        return count <= wanted.size();
    });
    if (count > wanted.size()) return kDiffers;
    bool same = true;
    size_t at = 0;
    ForEachAce(got.dacl, [&](const ACE_HEADER* ace, WORD) {
        if (at < count) {
            same = SameAce(ace, wanted[at++]);
        } else {
            same = inheritedAllowed && (ace->AceFlags & INHERITED_ACE) != 0;
        }
        return same;
    });
    return same && at == count;
}

}  // namespace

bool MatchesModeDerived(const Bytes& result, const struct stat& status, bool inheritedAllowed) {
    // A recursive write asks this of every object it writes, and the
    // objects of a directory mostly come to the same bytes, mode and
    // owners: the answer depends on nothing else.
    struct Entry {
        Bytes result;
        mode_t mode = 0;
        uid_t owner = 0;
        gid_t group = 0;
        bool inheritedAllowed = false;
        bool matches = false;
    };
    thread_local RecentAnswers<Entry> recent;
    if (const Entry* kept = recent.Find([&](const Entry& entry) {
            return entry.mode == status.st_mode && entry.owner == status.st_uid && entry.group == status.st_gid &&
                   entry.inheritedAllowed == inheritedAllowed && entry.result == result;
        })) {
        return kept->matches;
    }
    const bool matches = JudgeMatchesModeDerived(result, status, inheritedAllowed);
    Entry& entry = recent.Replace();
    entry.result = result;
    entry.mode = status.st_mode;
    entry.owner = status.st_uid;
    entry.group = status.st_gid;
    entry.inheritedAllowed = inheritedAllowed;
    entry.matches = matches;
    return matches;
}

}  // namespace winapi
