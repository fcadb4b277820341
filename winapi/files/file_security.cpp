// Descriptors of files and directories by name: the file branch of
// GetNamedSecurityInfoW and SetNamedSecurityInfoW, with Windows'
// inheritance and its propagation through the tree below a directory.
#include "winapi/files/file_security.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <unordered_set>

#include "winapi/security/access_check.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/files/deferred_propagation.h"
#include "winapi/files/file_paths.h"
#include "winapi/files/file_xattr.h"
#include "winapi/security/inheritance.h"
#include "winapi/machine/descendant_failures.h"
#include "winapi/machine/machine.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr SECURITY_INFORMATION kDaclInfo =
    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
constexpr SECURITY_INFORMATION kSaclInfo =
    SACL_SECURITY_INFORMATION | PROTECTED_SACL_SECURITY_INFORMATION | UNPROTECTED_SACL_SECURITY_INFORMATION;

ACCESS_MASK AccessToRead(SECURITY_INFORMATION info) {
    ACCESS_MASK access = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                LABEL_SECURITY_INFORMATION)) {
        access |= READ_CONTROL;
    }
    if (info & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

ACCESS_MASK AccessToWrite(SECURITY_INFORMATION info) {
    ACCESS_MASK access = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) {
        access |= WRITE_OWNER;
    }
    if (info & kDaclInfo) access |= WRITE_DAC;
    if (info & kSaclInfo) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

// Named calls open their object for backup, so enabled backup and restore
// privileges count as they do for CreateFileW with backup semantics.
constexpr bool kNamedCallsUseBackupSemantics = true;

DWORD Check(const Bytes& sd, const AccessToken& token, ACCESS_MASK desired) {
    if (desired == 0) return ERROR_SUCCESS;
    ACCESS_MASK granted = 0;
    return CheckAccess(sd.data(), sd.size(), token, desired, FileGenericMapping(), kNamedCallsUseBackupSemantics,
                       &granted);
}

// Stands in for a damaged descriptor in the access check: nobody owns it
// and its DACL is empty, so only privileges can grant anything.
Bytes UnreadableDescriptorStandIn() {
    static const BYTE kNullSid[] = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    static const BYTE kEmptyAcl[] = {ACL_REVISION, 0, 8, 0, 0, 0, 0, 0};
    return BuildSelfRelative(SE_SELF_RELATIVE | SE_DACL_PRESENT, reinterpret_cast<const SID*>(kNullSid), nullptr,
                             nullptr, reinterpret_cast<const ACL*>(kEmptyAcl));
}

// The inheritable ACEs of a descriptor's DACL and SACL: all that a change
// of a directory hands down to what lies below it.
Bytes InheritablePart(const Bytes& sd) {
    Bytes part;
    DescriptorParts parts;
    if (ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) return part;
    for (const ACL* acl : {parts.dacl, parts.sacl}) {
        part.push_back(0xFF);  // separates the two lists
        if (!acl) continue;
        ForEachAce(acl, [&](const ACE_HEADER* ace, WORD) {
            if (ace->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) {
                auto bytes = reinterpret_cast<const BYTE*>(ace);
                part.insert(part.end(), bytes, bytes + ace->AceSize);
            }
            return true;
        });
    }
    return part;
}

struct Propagation {
    const machine::Drive& drive;
    const AccessToken& token;
    ACCESS_MASK desired;
    // Whether the directory hands down what it handed down before: the
    // visit only heals children left stale by an earlier cut-short one, and
    // a child that cannot be read is left to whoever reaches it by name.
    bool healingOnly = false;
    DWORD firstError = ERROR_SUCCESS;
    bool abort = false;

    // Every failure fails the call and is reported with the object's name;
    // the siblings of the object are still propagated.
    void Record(DWORD error, const std::wstring& object) {
        if (firstError == ERROR_SUCCESS) firstError = error;
        machine::NoteDescendantFailure(object, error);
        // Nothing more can be written on a full disk.
        if (error == ERROR_DISK_FULL) abort = true;
    }
};

std::wstring ChildName(const std::wstring& directory, const char* host) {
    std::wstring name = directory;
    if (name.empty() || name.back() != L'\\') name += L'\\';
    return name + HostNameToWide(host);
}

// Recomputes the inherited part of everything below the directory
// `directoryFd`, whose descriptor is now `directorySd`. Depth first; each
// level holds one directory stream and one descriptor. A child whose
// inherited part does not change is neither written nor descended into.
// Links are never followed and never rewritten. Children named in
// `settled` (the walk wrote them already) are left out.
void PropagateTo(const UniqueFd& child, const struct stat& status, const std::wstring& directoryName,
                 const char* childName, const Bytes& directorySd, Propagation& run);

void PropagateBelow(int directoryFd, const std::wstring& directoryName, const Bytes& directorySd, Propagation& run,
                    const std::unordered_set<std::string>* settled = nullptr) {
    int listFd = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) {
        run.Record(ErrorFromErrno(errno), directoryName);
        return;
    }
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        run.Record(ERROR_NOT_ENOUGH_MEMORY, directoryName);
        return;
    }
    while (!run.abort) {
        dirent* entry = ::readdir(dir);
        if (!entry) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_DIR && entry->d_type != DT_REG) continue;
        if (settled && settled->count(entry->d_name)) continue;

        // A regular file or directory by the listing opens for reading, so
        // its attribute is read and written on its own descriptor.
        UniqueFd child;
        struct stat status;
        struct stat listed {};
        listed.st_mode = entry->d_type == DT_DIR ? S_IFDIR : S_IFREG;
        if (entry->d_type != DT_UNKNOWN && OpenReadableEntry(directoryFd, entry->d_name, &listed, &child, &status)) {
            PropagateTo(child, status, directoryName, entry->d_name, directorySd, run);
            continue;
        }
        child = UniqueFd(::openat(directoryFd, entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!child.Valid()) {
            // a vanished child is no failure
            if (errno != ENOENT) run.Record(ErrorFromErrno(errno), ChildName(directoryName, entry->d_name));
            continue;
        }
        if (::fstat(child.Get(), &status) != 0) {
            run.Record(ErrorFromErrno(errno), ChildName(directoryName, entry->d_name));
            continue;
        }
        if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) continue;
        PropagateTo(child, status, directoryName, entry->d_name, directorySd, run);
    }
    ::closedir(dir);
}

// One child of PropagateBelow: its inherited part recomputed, written when
// it changed, and a directory's own children after it.
void PropagateTo(const UniqueFd& child, const struct stat& status, const std::wstring& directoryName,
                 const char* childName, const Bytes& directorySd, Propagation& run) {
    const bool isDirectory = S_ISDIR(status.st_mode);
    Bytes childSd, stored;
    DWORD error = ReadFileDescriptor(child.Get(), status, run.drive, &childSd, &stored);
    if (error != ERROR_SUCCESS) {
        // A damaged attribute stays as it is.
        if (!run.healingOnly) run.Record(error, ChildName(directoryName, childName));
        return;
    }
    Bytes updated;
    bool changed = false;
    error = Reinherit(childSd, directorySd, isDirectory, FileGenericMapping(), &updated, &changed);
    if (error == ERROR_SUCCESS && !changed) return;
    if (error == ERROR_SUCCESS) error = Check(childSd, run.token, run.desired);
    if (error == ERROR_SUCCESS) error = WriteFileDescriptor(child.Get(), run.drive, updated, &stored, &status);
    if (error != ERROR_SUCCESS) {
        run.Record(error, ChildName(directoryName, childName));
        return;
    }
    if (isDirectory) PropagateBelow(child.Get(), ChildName(directoryName, childName), updated, run);
}

// Two writers of one descriptor each read it, change their part and write
// it back; without a lock one of the changes is lost. Writers in this layer
// take an exclusive advisory lock on the object for that span. Others
// (Windows itself has the same race) are not held off, and a lock another
// process keeps too long is waited for a second at most, so no user can
// stop a job by holding one.
class DescriptorWriteLock {
public:
    DescriptorWriteLock(int objectFd, const struct stat& status) {
        if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) return;
        // A descriptor opened for reading takes the lock itself; an O_PATH
        // one (EBADF) is opened again for it through /proc/self/fd/N.
        if (Take(objectFd)) {
            locked_ = objectFd;
            return;
        }
        if (errno != EBADF) return;
        fd_ = UniqueFd(::open(DescriptorPath(objectFd).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (fd_.Valid() && !Take(fd_.Get())) fd_.Reset();
    }
    ~DescriptorWriteLock() {
        if (locked_ >= 0) ::flock(locked_, LOCK_UN);
    }
    DescriptorWriteLock(const DescriptorWriteLock&) = delete;
    DescriptorWriteLock& operator=(const DescriptorWriteLock&) = delete;

private:
    static bool Take(int fd) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK) return false;
            ::usleep(5000);
        }
        return false;
    }

    int locked_ = -1;  // the object's own descriptor, unlocked when done
    UniqueFd fd_;      // else a descriptor of its own; closing it releases the lock
};

DWORD ReadParentDescriptor(const ResolvedPath& object, const machine::Drive& drive, Bytes* parentSd) {
    struct stat status;
    if (::fstat(object.parent.Get(), &status) != 0) return ErrorFromErrno(errno);
    return ReadFileDescriptor(object.parent.Get(), status, drive, parentSd);
}

}  // namespace

DWORD GetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, Bytes* sd) {
    ResolvedPath object;
    machine::Drive drive;
    DWORD error = ResolveFileName(name, FinalLink::Keep, &object, &drive);
    if (error != ERROR_SUCCESS) return error;
    Bytes current;
    error = ReadFileDescriptor(object.object.Get(), object.status, drive, &current);
    if (error != ERROR_SUCCESS) {
        NoteOwedReadFailure(object, error);
        return error;
    }
    InheritOwed(object, &current);
    error = Check(current, *machine::SharedToken(), AccessToRead(info));
    if (error != ERROR_SUCCESS) return error;
    *sd = std::move(current);
    return ERROR_SUCCESS;
}

DWORD SetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                            PACL sacl) {
    FileName parsed;
    DWORD error = ParseFileName(name, false, &parsed);
    if (error != ERROR_SUCCESS) return error;
    ResolvedPath object;
    error = ResolveParsedFileName(parsed, FinalLink::Keep, &object);
    if (error != ERROR_SUCCESS) return error;
    const machine::Drive& drive = parsed.drive;
    // The root of a share of a folder is that folder, whose parent it
    // inherits from as it would on the server's own volume.
    if (object.isRoot && !RootIsVolumeRoot(parsed)) {
        object.parent = UniqueFd(::openat(object.object.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (object.parent.Valid()) object.isRoot = false;
    }
    if (!(info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | kDaclInfo | kSaclInfo))) {
        return ERROR_SUCCESS;
    }

    DescriptorWriteLock lock(object.object.Get(), object.status);
    Bytes current, stored;
    error = ReadFileDescriptor(object.object.Get(), object.status, drive, &current, &stored);
    bool damaged = error == ERROR_INVALID_SECURITY_DESCR;
    if (damaged) {
        // A damaged descriptor is replaced only by a write that supplies
        // every part it could have held besides the SACL.
        constexpr SECURITY_INFORMATION kReplacing =
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        if ((info & kReplacing) != kReplacing) return ERROR_INVALID_SECURITY_DESCR;
        current = UnreadableDescriptorStandIn();
    } else if (error != ERROR_SUCCESS) {
        return error;
    }
    // A recursive walk reaching a child its directory's write has not
    // propagated to yet: the child is written once, with what it inherits
    // now (deferred_propagation.h).
    DeferredPropagation* owed = damaged ? nullptr : OwedTo(object);
    bool inheritedNow = false;
    ACCESS_MASK owedDesired = 0;
    bool owedHealingOnly = true;
    if (owed) {
        owedDesired = owed->desired;
        owedHealingOnly = owed->healingOnly;
        Bytes inherited;
        if (Reinherit(current, owed->sd, S_ISDIR(object.status.st_mode), FileGenericMapping(), &inherited,
                      &inheritedNow) == ERROR_SUCCESS &&
            inheritedNow) {
            current = std::move(inherited);
        } else {
            inheritedNow = false;
        }
    }

    const auto shared = machine::SharedToken();
    const AccessToken& token = *shared;
    error = Check(current, token, AccessToWrite(info));
    if (error != ERROR_SUCCESS) return error;
    if ((info & OWNER_SECURITY_INFORMATION) && owner && !IsValidSid(owner)) return ERROR_INVALID_SID;
    if ((info & OWNER_SECURITY_INFORMATION) && owner && !token.HasEnabled(L"SeRestorePrivilege") &&
        !TokenHasSid(token, static_cast<const BYTE*>(owner))) {
        return ERROR_INVALID_OWNER;
    }

    bool isDirectory = S_ISDIR(object.status.st_mode);
    Bytes parentSd;
    bool hasParent = !object.isRoot && object.parent.Valid();
    if (hasParent && owed) {
        // What the walk wrote on the directory a moment ago is what reading
        // it would give.
        parentSd = owed->sd;
    } else if (hasParent) {
        error = ReadParentDescriptor(object, drive, &parentSd);
        if (error != ERROR_SUCCESS) return error;
    }
    Bytes updated;
    error = ApplySecurityInformation(current, hasParent ? &parentSd : nullptr, isDirectory, info, owner, group, dacl,
                                     sacl, FileGenericMapping(), &updated);
    if (error != ERROR_SUCCESS) return error;
    error = WriteFileDescriptor(object.object.Get(), drive, updated, &stored, &object.status);
    if (error != ERROR_SUCCESS) return error;
    if (owed) Settle(*owed, object);

    // Every write of a directory's DACL or SACL brings its children up to
    // date, whether or not what it hands down changed: a propagation that
    // was cut short (a killed job, a failed child) heals when the directory
    // is written again. Children already up to date cost one read and are
    // not visited further.
    // A directory that inherited something new just now owes its children
    // what its directory's propagation would have handed them.
    if (!isDirectory) return ERROR_SUCCESS;
    const bool sameInheritable = !damaged && InheritablePart(current) == InheritablePart(updated);
    if (!(info & (kDaclInfo | kSaclInfo)) && sameInheritable && !inheritedNow) return ERROR_SUCCESS;
    ACCESS_MASK desired = READ_CONTROL | WRITE_DAC | owedDesired;
    if (info & kSaclInfo) desired |= ACCESS_SYSTEM_SECURITY;
    const bool healingOnly = sameInheritable && (!inheritedNow || owedHealingOnly);
    if (RecursiveWalkUnderway()) {
        DeferPropagation(object, name, drive, updated, desired, healingOnly);
        return ERROR_SUCCESS;
    }
    Propagation run{drive, token, desired};
    run.healingOnly = healingOnly;
    PropagateBelow(object.object.Get(), name, updated, run);
    return run.firstError;
}

void InheritOwed(const ResolvedPath& object, Bytes* sd) {
    DeferredPropagation* owed = OwedTo(object);
    if (!owed) return;
    Bytes inherited;
    bool changed = false;
    if (Reinherit(*sd, owed->sd, S_ISDIR(object.status.st_mode), FileGenericMapping(), &inherited, &changed) ==
            ERROR_SUCCESS &&
        changed) {
        *sd = std::move(inherited);
    }
}

void NoteOwedReadFailure(const ResolvedPath& object, DWORD error) {
    DeferredPropagation* owed = OwedTo(object);
    if (!owed) return;
    // The propagation would have failed on this child and left it as it
    // is; it is named now, once.
    Settle(*owed, object);
    if (!owed->healingOnly) machine::NoteDescendantFailure(ChildName(owed->name, object.name.c_str()), error);
}

void BringListedDirectoryUpToDate(const ResolvedPath& directory, const std::wstring& name,
                                  const machine::Drive& drive) {
    DeferredPropagation* owed = OwedTo(directory);
    if (!owed) return;
    // Failures are left for the propagation that runs when the search of
    // the directory above closes: it names the directory then.
    Bytes current, stored, updated;
    bool changed = false;
    if (ReadFileDescriptor(directory.object.Get(), directory.status, drive, &current, &stored) != ERROR_SUCCESS) return;
    if (Reinherit(current, owed->sd, true, FileGenericMapping(), &updated, &changed) != ERROR_SUCCESS) return;
    const ACCESS_MASK desired = owed->desired;
    const bool healingOnly = owed->healingOnly;
    if (changed) {
        DescriptorWriteLock lock(directory.object.Get(), directory.status);
        if (Check(current, *machine::SharedToken(), desired) != ERROR_SUCCESS) return;
        if (WriteFileDescriptor(directory.object.Get(), drive, updated, &stored, &directory.status) != ERROR_SUCCESS) {
            return;
        }
    }
    Settle(*owed, directory);
    if (changed) DeferPropagation(directory, name, drive, updated, desired, healingOnly);
}

void PropagateDeferred(const DeferredPropagation& owed, int directoryFd) {
    const auto shared = machine::SharedToken();
    Propagation run{owed.drive, *shared, owed.desired};
    run.healingOnly = owed.healingOnly;
    PropagateBelow(directoryFd, owed.name, owed.sd, run, &owed.settled);
}

}  // namespace winapi
