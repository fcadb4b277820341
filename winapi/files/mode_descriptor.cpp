// The descriptor Samba's acl_xattr module reports for a file or directory
// that carries no security.NTACL attribute, derived from its mode.

#include <array>

#include "winapi/security/ace_list.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/files/ntacl.h"
#include "winapi/security/string_sid.h"

namespace winapi {
namespace {

constexpr BYTE kUnixUsersAuthority = 22;
constexpr DWORD kUnixUserKind = 1;
constexpr DWORD kUnixGroupKind = 2;

Bytes UnixSid(DWORD kind, DWORD id) {
    const DWORD subAuthorities[] = {kind, id};
    return MakeSid(kUnixUsersAuthority, subAuthorities, 2);
}

// Rights of one rwx triplet (bits 4, 2, 1).
ACCESS_MASK TripletRights(unsigned triplet, bool isDirectory) {
    const bool r = triplet & 4, w = triplet & 2, x = triplet & 1;
    if (r && w && x) return FILE_ALL_ACCESS;
    ACCESS_MASK mask = 0;
    if (r) mask |= FILE_GENERIC_READ;
    if (w) {
        // Whoever may write may also manage the file, as on the POSIX side.
        mask |= FILE_GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | DELETE;
        if (isDirectory) mask |= FILE_DELETE_CHILD;
    }
    if (x) mask |= FILE_GENERIC_EXECUTE;
    return mask;
}

Bytes BuildModeDerivedDescriptor(mode_t mode, uid_t uid, gid_t gid, bool isDirectory) {
    const Bytes owner = UnixSid(kUnixUserKind, static_cast<DWORD>(uid));
    const Bytes group = UnixSid(kUnixGroupKind, static_cast<DWORD>(gid));
    const ACCESS_MASK ownerRights = TripletRights((mode >> 6) & 7, isDirectory);
    const ACCESS_MASK groupRights = TripletRights((mode >> 3) & 7, isDirectory);
    const ACCESS_MASK otherRights = TripletRights(mode & 7, isDirectory);

    // Everyone keeps its ACE even without rights, so the listing shows
    // that others were considered and given nothing.
    AceList aces{AllowAce(owner, ownerRights, 0), AllowAce(group, groupRights, 0),
                 AllowAce(EveryoneSid(), otherRights, 0)};
    if (isDirectory) {
        constexpr BYTE kInheritOnly = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
        aces.push_back(AllowAce(CreatorOwnerSid(), ownerRights, kInheritOnly));
        aces.push_back(AllowAce(CreatorGroupSid(), groupRights, kInheritOnly));
        aces.push_back(AllowAce(EveryoneSid(), otherRights, kInheritOnly));
    }
    const Bytes dacl = BuildAclBytes(aces);
    return BuildSelfRelative(SE_DACL_PRESENT | SE_SELF_RELATIVE, reinterpret_cast<const SID*>(owner.data()),
                             reinterpret_cast<const SID*>(group.data()), nullptr,
                             reinterpret_cast<const ACL*>(dacl.data()));
}

}  // namespace

Bytes ModeDerivedDescriptor(mode_t mode, uid_t uid, gid_t gid, bool isDirectory) {
    // A tree's objects mostly share a few modes and owners, and a job asks
    // for the same descriptor several times an object (a read of an object
    // without the attribute, the check before each write whether a result
    // is just the mode's): the last few answers are kept, per thread.
    struct Kept {
        mode_t permissions;
        uid_t uid;
        gid_t gid;
        bool isDirectory;
        Bytes descriptor;
    };
    constexpr size_t kKeptAnswers = 4;
    thread_local std::array<Kept, kKeptAnswers> kept{};
    thread_local size_t next = 0;
    const mode_t permissions = mode & 0777;
    for (const Kept& answer : kept) {
        if (!answer.descriptor.empty() && answer.permissions == permissions && answer.uid == uid &&
            answer.gid == gid && answer.isDirectory == isDirectory)
            return answer.descriptor;
    }
    Kept& slot = kept[next];
    next = (next + 1) % kKeptAnswers;
    slot = Kept{permissions, uid, gid, isDirectory, BuildModeDerivedDescriptor(permissions, uid, gid, isDirectory)};
    return slot.descriptor;
}

}  // namespace winapi
