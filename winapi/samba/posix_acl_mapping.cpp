// Our own rendering of the rules smbd follows between NT ACLs and POSIX
// ACLs (the facts come from Samba's posix_acls.c and vfs_acl_common.c).
// Permissions inside this file are rwx bits (4, 2, 1).
#include "winapi/samba/posix_acl_mapping.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <iterator>
#include <list>

#include "winapi/samba/samba_ids.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr unsigned kAll = 7;
constexpr BYTE kAllowType = 0, kDenyType = 1;

// Samba's UNIX_(DIRECTORY_)ACCESS_* rights.
constexpr DWORD kGenericAllRights = 0x1F01FF, kReadRights = 0x120089, kWriteRights = 0x120116,
                kExecuteRights = 0x1200A0, kDeleteChild = 0x40, kWriteDacOwnerDelete = 0xD0000;

const Bytes kWorld{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
const Bytes kCreatorOwner{1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
const Bytes kCreatorGroup{1, 1, 0, 0, 0, 0, 0, 3, 1, 0, 0, 0};

enum class Owner { Uid, Gid, World };

struct CanonAce {
    PosixTag type = PosixTag::Other;
    unsigned perms = 0;
    Bytes trustee;
    Owner owner = Owner::World;
    bool allow = true;
    unsigned id = 0xFFFFFFFFu;
    BYTE flags = 0;
};
using AceList = std::list<CanonAce>;

Bytes SidCopy(const SID* sid) { return sid ? SidBytes(sid) : Bytes{}; }

// NT rights to rwx as smbd reads an incoming ACE.
unsigned PermsOfMask(DWORD mask) {
    if (mask & GENERIC_ALL) return kAll;
    unsigned perms = 0;
    if (mask & (GENERIC_READ | FILE_READ_DATA | FILE_READ_EA)) perms |= kPosixRead;
    if (mask & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA)) perms |= kPosixWrite;
    if (mask & (GENERIC_EXECUTE | FILE_EXECUTE)) perms |= kPosixExecute;
    return perms;
}

// rwx to NT rights as smbd reports a POSIX entry ("acl map full control"
// on, its default); whoever may write may also delete and change the
// permissions and owner, as on smbd.
DWORD MaskOfPerms(unsigned perms, bool directory) {
    if ((perms & kAll) == kAll) return kGenericAllRights;
    if ((perms & kAll) == 0) return 0;
    DWORD mask = 0;
    if (perms & kPosixRead) mask |= kReadRights;
    if (perms & kPosixWrite) mask |= kWriteRights | (directory ? kDeleteChild : 0) | kWriteDacOwnerDelete;
    if (perms & kPosixExecute) mask |= kExecuteRights;
    return mask;
}

// SIDs smbd drops silently when they have no Unix id: BUILTIN and NT
// AUTHORITY ones (S-1-5-32-x, S-1-5-x).
bool NonMappable(const Bytes& sid) {
    if (sid.size() < 12 || sid[7] != 5 || std::any_of(sid.begin() + 2, sid.begin() + 7, [](BYTE b) { return b; })) {
        return false;
    }
    const BYTE count = sid[1];
    if (count == 1) return true;
    return count == 2 && ReadDword(sid.data() + 8) == 32;
}

// Whether the user of a uid entry belongs to the group of a gid entry
// (Everyone holds every user), from the host's group database.
bool UserInGroup(const CanonAce& user, const CanonAce& group) {
    if (group.trustee == kWorld) return true;
    if (group.owner != Owner::Gid) return false;
    passwd entry{}, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(user.id, &entry, buffer, sizeof buffer, &found) != 0 || !found) return false;
    if (found->pw_gid == group.id) return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), static_cast<gid_t>(group.id)) != groups.end();
}

void MoveToEnd(AceList& list, AceList::iterator it) { list.splice(list.end(), list, it); }

// Entries of one user or group and one kind are merged; a deny then masks
// the allow of the same id and one of the two goes.
void MergeAces(AceList& list, bool directoryAcl) {
    for (auto outer = list.begin(); outer != list.end(); ++outer) {
        for (auto inner = std::next(outer); inner != list.end();) {
            bool same = inner->id == outer->id && inner->owner == outer->owner && inner->allow == outer->allow &&
                        (!directoryAcl || inner->type == outer->type);
            if (same) {
                outer->perms |= inner->perms;
                outer->flags |= inner->flags;
                inner = list.erase(inner);
            } else {
                ++inner;
            }
        }
    }
    for (auto outer = list.begin(); outer != list.end();) {
        bool outerErased = false;
        for (auto inner = std::next(outer); inner != list.end();) {
            if (inner->id == outer->id && inner->owner == outer->owner && !outer->allow && inner->allow) {
                inner->perms &= ~outer->perms;
                if (inner->perms == 0) {
                    inner = list.erase(inner);
                    continue;
                }
                outer = list.erase(outer);
                outerErased = true;
                break;
            }
            ++inner;
        }
        if (!outerErased) ++outer;
    }
}

// Denies become allows POSIX can hold, failing closed (Samba's three passes).
void ProcessDenies(AceList& list) {
    for (auto it = list.begin(); it != list.end();) {
        if (it->allow) {
            ++it;
            continue;
        }
        if (it->perms == 0) {
            it = list.erase(it);
            continue;
        }
        if (it->trustee != kWorld) {
            ++it;
            continue;
        }
        if (it->perms == kAll) {
            list.erase(it, list.end());  // deny all to Everyone: nothing after it counts
            break;
        }
        for (auto a = std::next(it); a != list.end(); ++a) {
            if (a->allow) a->perms &= ~it->perms;
        }
        it = list.erase(it);
    }
    std::vector<AceList::iterator> order;
    for (auto it = list.begin(); it != list.end(); ++it) order.push_back(it);
    for (auto it : order) {
        if (it->allow || it->owner != Owner::Uid) continue;
        unsigned granted = 0;
        if (it->perms != kAll) {
            for (auto a = std::next(it); a != list.end(); ++a) {
                if (a->allow && a->owner != Owner::Uid && UserInGroup(*it, *a)) granted |= a->perms;
            }
        }
        it->allow = true;
        it->perms = it->perms == kAll ? 0 : (granted & ~it->perms);
        MoveToEnd(list, it);
    }
    order.clear();
    for (auto it = list.begin(); it != list.end(); ++it) order.push_back(it);
    for (auto it : order) {
        if (it->allow || it->owner != Owner::Gid) continue;
        const CanonAce* everyone = nullptr;
        for (auto a = std::next(it); a != list.end(); ++a) {
            if (!a->allow) continue;
            if (a->owner == Owner::World) everyone = &*a;
            if (a->owner == Owner::Uid && UserInGroup(*a, *it)) a->perms &= ~it->perms;
        }
        it->allow = true;
        it->perms = everyone ? (everyone->perms & ~it->perms) : 0;
        MoveToEnd(list, it);
    }
}

CanonAce MakeAce(PosixTag type, Owner owner, unsigned id, const Bytes& trustee, unsigned perms) {
    CanonAce ace;
    ace.type = type;
    ace.owner = owner;
    ace.id = id;
    ace.trustee = trustee;
    ace.perms = perms;
    return ace;
}

unsigned ModeBits(mode_t mode, int shift) { return (static_cast<unsigned>(mode) >> shift) & kAll; }

// Every POSIX ACL needs its owner, owning group and other entries; smbd also
// gives the owner and owning group named duplicates so that a later chown
// takes no access away.
void CompleteForSet(AceList& list, bool directory, const Bytes& ownerSid, const Bytes& groupSid,
                    const struct stat& status) {
    CanonAce* user = nullptr;
    CanonAce* group = nullptr;
    CanonAce* other = nullptr;
    auto minimalOwner = [directory](CanonAce& ace) {
        ace.perms |= kPosixRead;
        if (directory) ace.perms |= kPosixWrite | kPosixExecute;
    };
    for (CanonAce& ace : list) {
        ace.perms &= kAll;
        if (ace.type == PosixTag::UserObj) {
            minimalOwner(ace);
            user = &ace;
        } else if (ace.type == PosixTag::GroupObj) {
            group = &ace;
        } else if (ace.type == PosixTag::Other) {
            other = &ace;
        }
    }
    if (!user) {
        CanonAce ace = MakeAce(PosixTag::UserObj, Owner::Uid, status.st_uid, ownerSid, ModeBits(status.st_mode, 6));
        for (const CanonAce& it : list) {
            if (it.type == PosixTag::User && it.id == ace.id) {
                ace.perms |= it.perms;
            } else if (it.type == PosixTag::GroupObj || it.type == PosixTag::Group) {
                if (it.trustee == ace.trustee || UserInGroup(ace, it)) ace.perms |= it.perms;
            }
        }
        if (ace.perms == 0 && other) ace.perms = other->perms;
        minimalOwner(ace);
        list.push_front(ace);
        user = &list.front();
    }
    if (!group) {
        list.push_front(MakeAce(PosixTag::GroupObj, Owner::Gid, status.st_gid, groupSid, other ? other->perms : 0));
        group = &list.front();
    }
    if (!other) list.push_front(MakeAce(PosixTag::Other, Owner::World, 0xFFFFFFFFu, kWorld, 0));

    bool duplicateUser = false, duplicateGroup = false;
    for (const CanonAce& ace : list) {
        if (ace.type == PosixTag::User && ace.id == user->id) duplicateUser = true;
        else if (ace.type == PosixTag::Group && ace.id == group->id) duplicateGroup = true;
        else if (ace.type == PosixTag::Group && ace.trustee == user->trustee) duplicateUser = true;
    }
    const CanonAce userCopy = *user, groupCopy = *group;
    if (!duplicateUser && !duplicateGroup && groupCopy.trustee == userCopy.trustee) {
        list.push_front(MakeAce(PosixTag::Group, Owner::Gid, groupCopy.id, groupCopy.trustee, groupCopy.perms));
        duplicateUser = duplicateGroup = true;
    }
    if (!duplicateUser) list.push_front(MakeAce(PosixTag::User, Owner::Uid, userCopy.id, userCopy.trustee, userCopy.perms));
    if (!duplicateGroup) {
        list.push_front(MakeAce(PosixTag::Group, Owner::Gid, groupCopy.id, groupCopy.trustee, groupCopy.perms));
    }
}

PosixAcl ToPosix(const AceList& list) {
    PosixAcl acl;
    bool named = false;
    for (const CanonAce& ace : list) {
        const bool hasId = ace.type == PosixTag::User || ace.type == PosixTag::Group;
        named = named || hasId;
        acl.push_back({ace.type, ace.perms & kAll, hasId ? ace.id : 0});
    }
    // smbd always opens the mask fully.
    if (named) acl.push_back({PosixTag::Mask, kAll, 0});
    return acl;
}

struct IncomingAce {
    BYTE type;
    BYTE flags;
    DWORD mask;
    Bytes sid;
};

}  // namespace

PosixAclChange MapDaclToPosix(const Bytes& sd, const struct stat& status) {
    PosixAclChange result;
    DescriptorParts parts;
    if (ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) return result;
    if (!(parts.control & SE_DACL_PRESENT)) return result;
    const bool directory = S_ISDIR(status.st_mode);
    result.directory = directory;
    const Bytes ownerSid = SidOfUid(status.st_uid);
    const Bytes groupSid = SidOfGid(status.st_gid);

    std::vector<IncomingAce> aces;
    if (parts.dacl == nullptr) {
        // POSIX has no NULL DACL: full access to owner, group and Everyone.
        for (const Bytes& sid : {ownerSid, groupSid, kWorld}) aces.push_back({kAllowType, 0, kGenericAllRights, sid});
    } else {
        bool usable = true;
        ForEachAce(parts.dacl, [&](const ACE_HEADER* ace, WORD) {
            if (ace->AceType != kAllowType && ace->AceType != kDenyType) usable = false;
            const SID* sid = AceSid(ace);
            if (!sid) usable = false;
            if (!usable) return false;
            aces.push_back({ace->AceType, ace->AceFlags, ReadDword(reinterpret_cast<const BYTE*>(ace) + 4), SidCopy(sid)});
            return true;
        });
        if (!usable) return result;
    }

    // Undo NT4's habit of splitting one directory ACE into IO and CI halves.
    constexpr BYTE kInheritBoth = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    for (size_t i = 0; i < aces.size(); ++i) {
        for (size_t j = i + 1; j < aces.size(); ++j) {
            if (aces[i].mask != aces[j].mask || aces[i].sid != aces[j].sid) continue;
            if (aces[i].flags & INHERIT_ONLY_ACE) {
                aces[i].flags |= aces[j].flags & kInheritBoth;
                aces[j].flags &= static_cast<BYTE>(~kInheritBoth);
            } else if (aces[j].flags & INHERIT_ONLY_ACE) {
                aces[j].flags |= aces[i].flags & kInheritBoth;
                aces[i].flags &= static_cast<BYTE>(~kInheritBoth);
            }
        }
    }

    AceList fileAces, dirAces;
    bool gotFileAllow = false, gotDirAllow = false, allInheritOnly = directory;
    auto add = [&](IncomingAce& nt, CanonAce ace) -> bool {
        ace.perms |= PermsOfMask(nt.mask);
        ace.allow = nt.type == kAllowType;
        ace.flags = nt.flags;
        bool toFiles = true;
        if (directory && (nt.flags & kInheritBoth) == kInheritBoth) {
            CanonAce dirAce = ace;
            if (dirAce.owner == Owner::Uid) dirAce.type = dirAce.trustee == kCreatorOwner ? PosixTag::UserObj : PosixTag::User;
            if (dirAce.owner == Owner::Gid) dirAce.type = dirAce.trustee == kCreatorGroup ? PosixTag::GroupObj : PosixTag::Group;
            if (dirAce.allow) gotDirAllow = true;
            if (!dirAce.allow && gotDirAllow) return false;  // smbd refuses a deny after an allow
            dirAces.push_back(dirAce);
            ace.flags &= static_cast<BYTE>(~(kInheritBoth | INHERIT_ONLY_ACE));
            toFiles = !(nt.flags & INHERIT_ONLY_ACE);
        }
        if (toFiles && !(nt.flags & INHERIT_ONLY_ACE)) {
            if (ace.allow) gotFileAllow = true;
            if (!ace.allow && gotFileAllow) return false;
            fileAces.push_back(ace);
            allInheritOnly = false;
        }
        return true;
    };
    for (IncomingAce& nt : aces) {
        CanonAce ace;
        ace.trustee = nt.sid;
        if (nt.sid == kWorld) {
            ace.owner = Owner::World;
            ace.type = PosixTag::Other;
        } else if (nt.sid == kCreatorOwner) {
            ace.owner = Owner::Uid;
            ace.id = status.st_uid;
            ace.type = PosixTag::UserObj;
            nt.flags |= INHERIT_ONLY_ACE;  // creator entries only ever pass on
        } else if (nt.sid == kCreatorGroup) {
            ace.owner = Owner::Gid;
            ace.id = status.st_gid;
            ace.type = PosixTag::GroupObj;
            nt.flags |= INHERIT_ONLY_ACE;
        } else {
            std::optional<UnixId> unixId = UnixIdOfSid(nt.sid);
            if (!unixId) {
                if (NonMappable(nt.sid)) continue;
                return result;  // smbd leaves the POSIX ACLs as they are
            }
            if (unixId->kind == UnixIdKind::Both) {
                CanonAce userAce = ace;
                userAce.owner = Owner::Uid;
                userAce.id = unixId->id;
                userAce.type = unixId->id == status.st_uid ? PosixTag::UserObj : PosixTag::User;
                if (!add(nt, userAce)) return result;
            }
            if (unixId->kind == UnixIdKind::User) {
                ace.owner = Owner::Uid;
                ace.id = unixId->id;
                ace.type = unixId->id == status.st_uid ? PosixTag::UserObj : PosixTag::User;
            } else {
                ace.owner = Owner::Gid;
                ace.id = unixId->id;
                ace.type = unixId->id == status.st_gid ? PosixTag::GroupObj : PosixTag::Group;
            }
        }
        if (!add(nt, ace)) return result;
    }
    if (directory && allInheritOnly) return result;  // a traversal that sets nothing
    if (!fileAces.empty()) {
        // Entries for the owner or owning group stand in for missing *_OBJ ones.
        bool gotUser = false, gotGroup = false;
        for (const CanonAce& ace : fileAces) {
            gotUser = gotUser || ace.type == PosixTag::UserObj;
            gotGroup = gotGroup || ace.type == PosixTag::GroupObj;
        }
        for (CanonAce& ace : fileAces) {
            if (!gotUser && ace.owner == Owner::Uid && ace.trustee == ownerSid) {
                ace.type = PosixTag::UserObj;
                gotUser = true;
            }
            if (!gotGroup && ace.owner == Owner::Gid && ace.trustee == groupSid) {
                ace.type = PosixTag::GroupObj;
                gotGroup = true;
            }
        }
    }
    if (fileAces.empty() && dirAces.empty()) return result;
    MergeAces(fileAces, false);
    MergeAces(dirAces, true);
    ProcessDenies(fileAces);
    ProcessDenies(dirAces);
    CompleteForSet(fileAces, directory, ownerSid, groupSid, status);
    if (!dirAces.empty()) CompleteForSet(dirAces, directory, ownerSid, groupSid, status);
    result.change = true;
    result.access = ToPosix(fileAces);
    if (directory) result.defaultAcl = ToPosix(dirAces);
    // The control as the client sent it, without the requests to
    // auto-inherit, which are no state of the DACL.
    result.inheritance.control = static_cast<WORD>(
        (parts.control & ~(SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ)) | SE_SELF_RELATIVE);
    auto record = [](const AceList& list, std::vector<PosixInheritanceEntry>& into) {
        for (const CanonAce& ace : list) {
            const PosixOwner owner = ace.owner == Owner::Uid   ? PosixOwner::Uid
                                     : ace.owner == Owner::Gid ? PosixOwner::Gid
                                                               : PosixOwner::World;
            into.push_back({ace.flags, owner, owner == PosixOwner::World ? 0xFFFFFFFFu : ace.id});
        }
    };
    record(fileAces, result.inheritance.access);
    if (directory) record(dirAces, result.inheritance.defaults);
    return result;
}

namespace {

struct OutAce {
    BYTE flags;
    DWORD mask;
    Bytes sid;
};

struct Canonical {
    Bytes sid;
    unsigned perms;
    BYTE flags;
};

// One canonical list per POSIX ACL, as smbd builds it to report an ACL:
// entries in reverse, masked, empty ones first, owner first, other last;
// each with the flags "map acl inherit" kept for its uid or gid.
std::vector<Canonical> Canonicalise(const PosixAcl& acl, const Bytes& owner, const Bytes& group,
                                    const struct stat& status, const PosixInheritance* inheritance, bool defaultAcl) {
    unsigned mask = kAll;
    struct Entry {
        PosixTag type;
        unsigned perms;
        Bytes sid;
        BYTE flags;
    };
    auto flagsOf = [&](PosixTag tag, unsigned id) -> BYTE {
        if (!inheritance) return 0;
        switch (tag) {
            case PosixTag::UserObj: return inheritance->FlagsOf(defaultAcl, PosixOwner::Uid, status.st_uid);
            case PosixTag::User: return inheritance->FlagsOf(defaultAcl, PosixOwner::Uid, id);
            case PosixTag::GroupObj: return inheritance->FlagsOf(defaultAcl, PosixOwner::Gid, status.st_gid);
            case PosixTag::Group: return inheritance->FlagsOf(defaultAcl, PosixOwner::Gid, id);
            default: return inheritance->FlagsOf(defaultAcl, PosixOwner::World, 0xFFFFFFFFu);
        }
    };
    std::list<Entry> list;
    for (const PosixAclEntry& entry : acl) {
        Bytes sid;
        switch (entry.tag) {
            case PosixTag::UserObj: sid = owner; break;
            case PosixTag::User: sid = SidOfUid(entry.id); break;
            case PosixTag::GroupObj: sid = group; break;
            case PosixTag::Group: sid = SidOfGid(entry.id); break;
            case PosixTag::Mask: mask = entry.perms & kAll; continue;
            case PosixTag::Other: sid = kWorld; break;
        }
        list.push_front({entry.tag, entry.perms & kAll, sid, flagsOf(entry.tag, entry.id)});
    }
    auto has = [&list](PosixTag tag) {
        return std::any_of(list.begin(), list.end(), [tag](const Entry& e) { return e.type == tag; });
    };
    if (!has(PosixTag::UserObj)) {
        list.push_front({PosixTag::UserObj, ModeBits(status.st_mode, 6), owner, flagsOf(PosixTag::UserObj, 0)});
    }
    if (!has(PosixTag::GroupObj)) {
        list.push_front({PosixTag::GroupObj, ModeBits(status.st_mode, 3), group, flagsOf(PosixTag::GroupObj, 0)});
    }
    if (!has(PosixTag::Other)) {
        list.push_front({PosixTag::Other, ModeBits(status.st_mode, 0), kWorld, flagsOf(PosixTag::Other, 0)});
    }
    for (auto it = list.begin(); it != list.end();) {
        auto next = std::next(it);
        if (it->type != PosixTag::Other && it->type != PosixTag::UserObj) it->perms &= mask;
        if (it->perms == 0) list.splice(list.begin(), list, it);
        it = next;
    }
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->type == PosixTag::UserObj) {
            list.splice(list.begin(), list, it);
            break;
        }
    }
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->type == PosixTag::Other) {
            list.splice(list.end(), list, it);
            break;
        }
    }
    std::vector<Canonical> out;
    for (const Entry& e : list) out.push_back({e.sid, e.perms, e.flags});
    return out;
}

Bytes BuildAcl(const std::vector<OutAce>& aces) {
    Bytes acl(kAclHeaderSize, 0);
    for (const OutAce& ace : aces) {
        const size_t size = kAceHeaderSize + 4 + ace.sid.size();
        const size_t at = acl.size();
        acl.resize(at + size, 0);
        acl[at] = kAllowType;
        acl[at + 1] = ace.flags;
        WriteWord(acl.data() + at + 2, static_cast<WORD>(size));
        WriteDword(acl.data() + at + 4, ace.mask);
        std::copy(ace.sid.begin(), ace.sid.end(), acl.begin() + static_cast<std::ptrdiff_t>(at + 8));
    }
    acl[0] = ACL_REVISION;
    WriteWord(acl.data() + 2, static_cast<WORD>(acl.size()));
    WriteWord(acl.data() + 4, static_cast<WORD>(aces.size()));
    return acl;
}

std::vector<OutAce> AcesFromPosix(const PosixAcl& access, const PosixAcl* defaultAcl, const struct stat& status,
                                  const Bytes& owner, const Bytes& group, const PosixInheritance* inheritance) {
    const bool directory = S_ISDIR(status.st_mode);
    constexpr BYTE kTwin = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
    std::vector<OutAce> aces;
    for (auto& entry : Canonicalise(access, owner, group, status, inheritance, false)) {
        aces.push_back({entry.flags, MaskOfPerms(entry.perms, directory), entry.sid});
    }
    if (directory && defaultAcl && !defaultAcl->empty()) {
        for (auto& entry : Canonicalise(*defaultAcl, kCreatorOwner, kCreatorGroup, status, inheritance, true)) {
            aces.push_back({static_cast<BYTE>(entry.flags | kTwin), MaskOfPerms(entry.perms, directory), entry.sid});
        }
    }
    // An effective entry and an inherit-only twin, both inherited or both
    // not, become one OI|CI entry (the twin absorbs an effective entry that
    // grants nothing).
    for (size_t i = 0; i < aces.size(); ++i) {
        for (size_t j = i + 1; j < aces.size(); ++j) {
            const BYTE inheritedI = aces[i].flags & INHERITED_ACE, inheritedJ = aces[j].flags & INHERITED_ACE;
            if (aces[i].mask != aces[j].mask || aces[i].sid != aces[j].sid || inheritedI != inheritedJ ||
                (aces[i].flags & ~INHERITED_ACE) != 0 || (aces[j].flags & ~INHERITED_ACE) != kTwin) {
                continue;
            }
            const BYTE merged = static_cast<BYTE>(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | inheritedI);
            if (aces[i].mask == 0) {
                aces[j].flags = merged;
                aces.erase(aces.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                aces[i].flags = merged;
                aces.erase(aces.begin() + static_cast<std::ptrdiff_t>(j));
            }
            break;
        }
    }
    // Canonical order, keeping the order within each class: entries that
    // apply to the object before inherit-only ones, and among those that
    // apply, inheritable ones first (smbd's dacl_sort_into_canonical_order).
    auto rank = [](const OutAce& ace) {
        const bool inheritOnly = ace.flags & INHERIT_ONLY_ACE;
        const bool inheritable = ace.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        return (ace.flags & INHERITED_ACE ? 4 : 0) + (inheritOnly ? 2 : (inheritable ? 0 : 1));
    };
    std::stable_sort(aces.begin(), aces.end(), [&](const OutAce& a, const OutAce& b) { return rank(a) < rank(b); });
    return aces;
}

}  // namespace

Bytes DescriptorFromPosix(const PosixAcl& access, const PosixAcl* defaultAcl, const struct stat& status,
                          const PosixInheritance* inheritance) {
    const Bytes owner = SidOfUid(status.st_uid);
    const Bytes group = SidOfGid(status.st_gid);
    const Bytes dacl = BuildAcl(AcesFromPosix(access, defaultAcl, status, owner, group, inheritance));
    const WORD control = inheritance ? inheritance->control : static_cast<WORD>(SE_DACL_PROTECTED);
    return BuildSelfRelative(control, reinterpret_cast<const SID*>(owner.data()),
                             reinterpret_cast<const SID*>(group.data()), nullptr,
                             reinterpret_cast<const ACL*>(dacl.data()));
}

Bytes ServedFromPosix(const PosixAcl& access, const PosixAcl* defaultAcl, const struct stat& status,
                      const PosixInheritance* inheritance) {
    const Bytes owner = SidOfUid(status.st_uid);
    const Bytes group = SidOfGid(status.st_gid);
    std::vector<OutAce> aces = AcesFromPosix(access, defaultAcl, status, owner, group, inheritance);
    const bool directory = S_ISDIR(status.st_mode);
    const bool inheritable = std::any_of(aces.begin(), aces.end(), [](const OutAce& ace) {
        return (ace.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) != 0;
    });
    if (directory && !inheritable) {
        // What a new file and a new directory would get from smbd's default
        // create and directory masks (0744 | 0755).
        constexpr unsigned kNewObjectMode = 0755;
        constexpr BYTE kPassOn = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
        aces.push_back({kPassOn, MaskOfPerms((kNewObjectMode >> 6) & kAll, false), kCreatorOwner});
        aces.push_back({kPassOn, MaskOfPerms((kNewObjectMode >> 3) & kAll, false), kCreatorGroup});
        aces.push_back({kPassOn, MaskOfPerms(kNewObjectMode & kAll, false), kWorld});
    }
    const Bytes dacl = BuildAcl(aces);
    // smbd serves the DACL unprotected, whatever the POSIX layer says.
    const WORD control = static_cast<WORD>((inheritance ? inheritance->control : 0) & ~SE_DACL_PROTECTED);
    return BuildSelfRelative(control, reinterpret_cast<const SID*>(owner.data()),
                             reinterpret_cast<const SID*>(group.data()), nullptr,
                             reinterpret_cast<const ACL*>(dacl.data()));
}

Bytes DefaultStyleDescriptor(machine::DefaultAclStyle style, const struct stat& status) {
    constexpr DWORD kFileAll = 0x1F01FF, kFileRead = 0x120089, kFileWrite = 0x120116, kFileExecute = 0x20,
                    kDelete = 0x10000;
    const Bytes system{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const Bytes owner = SidOfUid(status.st_uid);
    const Bytes group = SidOfGid(status.st_gid);
    const mode_t mode = status.st_mode;
    std::vector<OutAce> aces;
    switch (style) {
        case machine::DefaultAclStyle::Posix: {
            // The owner's entry stays even when it grants nothing; group and
            // others only when they get something. Group and others who may
            // write may not delete, as under POSIX.
            DWORD mask = 0;
            if (mode & S_IRUSR) mask |= (mode & S_IWUSR) ? kFileAll : (kFileRead | kFileExecute);
            if (mode & S_IWUSR) mask |= kFileWrite | kDelete;
            aces.push_back({0, mask, owner});
            auto others = [&](mode_t read, mode_t write, const Bytes& sid) {
                DWORD rights = 0;
                if (mode & read) rights |= kFileRead | kFileExecute;
                if (mode & write) rights |= kFileWrite;
                if (rights) aces.push_back({0, rights, sid});
            };
            others(S_IRGRP, S_IWGRP, group);
            others(S_IROTH, S_IWOTH, kWorld);
            aces.push_back({0, kFileAll, system});
            break;
        }
        case machine::DefaultAclStyle::Windows:
            aces.push_back({0, kFileAll, owner});
            aces.push_back({0, kFileAll, system});
            break;
        case machine::DefaultAclStyle::Everyone: aces.push_back({0, kFileAll, kWorld}); break;
    }
    const Bytes dacl = BuildAcl(aces);
    return BuildSelfRelative(0, reinterpret_cast<const SID*>(owner.data()), reinterpret_cast<const SID*>(group.data()),
                             nullptr, reinterpret_cast<const ACL*>(dacl.data()));
}

}  // namespace winapi
