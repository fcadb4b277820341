// Descriptors of files and directories by name: the file branch of
// GetNamedSecurityInfoW and SetNamedSecurityInfoW, with Windows'
// inheritance and its propagation through the tree below a directory.
#include "winapi/files/file_security.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "winapi/security/access_check.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/files/deferred_propagation.h"
#include "winapi/files/file_paths.h"
#include "winapi/files/file_xattr.h"
#include "winapi/files/mode_derived_state.h"
#include "winapi/files/ntacl.h"
#include "winapi/files/recent_ntacls.h"
#include "winapi/files/step_objects.h"
#include "winapi/files/step_reads.h"
#include "winapi/files/step_write_locks.h"
#include "winapi/security/inheritance.h"
#include "winapi/security/recent_applied_writes.h"
#include "winapi/security/recent_access_checks.h"
#include "winapi/security/recent_reinherits.h"
#include "winapi/machine/change_observer.h"
#include "winapi/machine/descendant_failures.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/win32_guard.h"
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

// The same check with the shared token copy, answered from this thread's
// recent checks: a restore or a walk reads and writes object after object
// carrying the same descriptor bytes.
DWORD Check(const Bytes& sd, const std::shared_ptr<const AccessToken>& token, ACCESS_MASK desired) {
    if (desired == 0) return ERROR_SUCCESS;
    ACCESS_MASK granted = 0;
    return ThreadRecentAccessChecks().Check(sd, token, desired, FileGenericMapping(), kNamedCallsUseBackupSemantics,
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

// The write a caller of SetNamedSecurityInfoW asked for, told to the
// host's change observer (change_observer.h) once it is known to change the
// object; or, with `inherited`, the change a propagation is about to make
// to an object below the written directory, told to the observer of
// inherited changes.
struct AskedWrite {
    const std::wstring& name;
    SECURITY_INFORMATION info;
    bool inherited = false;
};

// Whether StoreDescriptor tells anybody of `asked`.
bool Observed(const AskedWrite* asked) {
    if (!asked) return false;
    return asked->inherited ? machine::InheritedChangesObserved() : machine::ChangesObserved();
}

// Whether storing `updated` over the attribute's raw value `stored` changes
// it: WriteFileDescriptor leaves out a write of the bytes already there,
// except on a Samba share, where smbd's way of writing always applies.
bool ChangesStoredBytes(const machine::Drive& drive, const Bytes& updated, const Bytes& stored) {
    return drive.samba || stored.empty() || !IsEncodedNtAcl(stored, updated);
}

// The object a write is about to change, while the change observer runs:
// the observer's read of what the object holds (ReadStoredFileSecurity)
// takes the attribute the write read under its lock, or reads on the
// write's own descriptor, instead of resolving the name a second time.
struct ObjectUnderWrite {
    const std::wstring& name;
    int fd;
    const struct stat& status;
    const machine::Drive& drive;
    const Bytes& stored;
};
thread_local const ObjectUnderWrite* tObjectUnderWrite = nullptr;

DWORD NoteComingFileChange(const AskedWrite& asked, int objectFd, const struct stat& status,
                           const machine::Drive& drive, const Bytes& stored) {
    const ObjectUnderWrite object{asked.name, objectFd, status, drive, stored};
    tObjectUnderWrite = &object;
    const DWORD refused = asked.inherited ? machine::NoteComingInheritedChange(asked.name, SE_FILE_OBJECT, asked.info)
                                          : machine::NoteComingChange(asked.name, SE_FILE_OBJECT, asked.info);
    tObjectUnderWrite = nullptr;
    return refused;
}

// Gives the object the descriptor `updated`: writes it, or, where the object
// is to read as its mode-derived descriptor (mode_derived_state.h), removes
// the attribute, and `updated` becomes what the object now reads as.
// `*wrote` says whether the object reads differently than before. `asked`
// is the caller's own write, which the change observer hears of first.
template <typename ParentModeDerived>
DWORD StoreDescriptor(int objectFd, const machine::Drive& drive, Bytes& updated, const Bytes& stored,
                      const struct stat& status, ParentModeDerived&& parentModeDerived, bool* wrote = nullptr,
                      const AskedWrite* asked = nullptr) {
    if (wrote) *wrote = true;
    const bool observed = Observed(asked);
    if (StaysModeDerived(drive, updated, status, parentModeDerived)) {
        updated = ModeDerivedDescriptor(status.st_mode, status.st_uid, status.st_gid, S_ISDIR(status.st_mode));
        if (stored.empty()) {
            // No attribute to remove: the object reads so already.
            if (wrote) *wrote = false;
            return ERROR_SUCCESS;
        }
        if (observed) {
            if (DWORD refused = NoteComingFileChange(*asked, objectFd, status, drive, stored)) return refused;
        }
        return RemoveFileDescriptor(objectFd, drive.xattrName);
    }
    if (observed && ChangesStoredBytes(drive, updated, stored)) {
        if (DWORD refused = NoteComingFileChange(*asked, objectFd, status, drive, stored)) return refused;
    }
    return WriteFileDescriptor(objectFd, drive, updated, &stored, &status);
}

// Whether two descriptors hold the same SACL, flags included.
bool SameSacl(const Bytes& one, const Bytes& other) {
    DescriptorParts a, b;
    if (ParseSelfRelative(one.data(), one.size(), &a) != ERROR_SUCCESS ||
        ParseSelfRelative(other.data(), other.size(), &b) != ERROR_SUCCESS) {
        return false;
    }
    constexpr SECURITY_DESCRIPTOR_CONTROL kSaclBits = SE_SACL_PRESENT | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
    if ((a.control & kSaclBits) != (b.control & kSaclBits) || !a.sacl != !b.sacl) return false;
    return !a.sacl || (a.sacl->AclSize == b.sacl->AclSize && std::memcmp(a.sacl, b.sacl, a.sacl->AclSize) == 0);
}

// The parts the record of an object a propagation changes holds, read from
// `before`: owner, group and DACL always; the SACL when the propagation
// hands down audit entries (`desired` asks for the SACL), or when it
// changes the object's SACL all the same (a stale one) and the caller could
// read it: a record must not show a caller what it may not read.
SECURITY_INFORMATION InheritedChangeParts(const Bytes& before, const Bytes& after, const AccessToken& token,
                                          ACCESS_MASK desired) {
    constexpr SECURITY_INFORMATION kAlways =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (desired & ACCESS_SYSTEM_SECURITY) return kAlways | SACL_SECURITY_INFORMATION;
    if (SameSacl(before, after) || Check(before, token, ACCESS_SYSTEM_SECURITY) != ERROR_SUCCESS) return kAlways;
    return kAlways | SACL_SECURITY_INFORMATION;
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

// A directory on the way down the tree, while its children are visited:
// its handle, what it hands down, the children not yet visited, and where
// its own name ends in the name shared by the whole visit. Only the
// deepest directory's listing is open; an ancestor keeps the names it has
// left in memory, so each level holds one descriptor.
class PendingDirectory {
public:
    PendingDirectory(int borrowedFd, UniqueFd ownedFd, Bytes sd, size_t nameLength,
                     const std::unordered_set<std::string>* settled)
        : owned_(std::move(ownedFd)),
          fd_(owned_.Valid() ? owned_.Get() : borrowedFd),
          sd_(std::move(sd)),
          nameLength_(nameLength),
          settled_(settled) {}
    PendingDirectory(PendingDirectory&& other) noexcept
        : owned_(std::move(other.owned_)),
          fd_(other.fd_),
          sd_(std::move(other.sd_)),
          nameLength_(other.nameLength_),
          settled_(other.settled_),
          modeDerived_(other.modeDerived_),
          listing_(std::exchange(other.listing_, nullptr)),
          rest_(std::move(other.rest_)),
          next_(other.next_) {}
    PendingDirectory(const PendingDirectory&) = delete;
    PendingDirectory& operator=(const PendingDirectory&) = delete;
    PendingDirectory& operator=(PendingDirectory&&) = delete;
    ~PendingDirectory() {
        if (listing_) ::closedir(listing_);
    }

    int Fd() const { return fd_; }
    const Bytes& Sd() const { return sd_; }
    // Whether what the directory hands down is its mode-derived descriptor
    // (asked once per directory, and only when a child needs it).
    bool ModeDerived() const {
        if (!modeDerived_) modeDerived_ = IsModeDerivedDirectoryDescriptor(sd_);
        return *modeDerived_;
    }
    size_t NameLength() const { return nameLength_; }

    DWORD Open() {
        int listFd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listFd < 0) return ErrorFromErrno(errno);
        listing_ = ::fdopendir(listFd);
        if (!listing_) {
            ::close(listFd);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        return ERROR_SUCCESS;
    }

    // The next child worth a look (its name, and its type as the listing
    // gave it), or false when there is none.
    bool Next(std::string* name, unsigned char* type) {
        if (next_ < rest_.size()) {
            *name = std::move(rest_[next_].first);
            *type = rest_[next_].second;
            ++next_;
            return true;
        }
        return Read(name, type);
    }

    // Before going down into a child: the names left are kept and the
    // listing is closed.
    void Suspend() {
        if (!listing_) return;
        rest_.erase(rest_.begin(), rest_.begin() + static_cast<std::ptrdiff_t>(next_));
        next_ = 0;
        std::string name;
        unsigned char type = DT_UNKNOWN;
        while (Read(&name, &type)) rest_.emplace_back(std::move(name), type);
    }

private:
    bool Read(std::string* name, unsigned char* type) {
        while (listing_) {
            dirent* entry = ::readdir(listing_);
            if (!entry) {
                ::closedir(listing_);
                listing_ = nullptr;
                break;
            }
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_DIR && entry->d_type != DT_REG) continue;
            if (settled_ && settled_->count(entry->d_name)) continue;
            *name = entry->d_name;
            *type = entry->d_type;
            return true;
        }
        return false;
    }

    UniqueFd owned_;
    int fd_;
    Bytes sd_;
    size_t nameLength_;
    const std::unordered_set<std::string>* settled_;
    mutable std::optional<bool> modeDerived_;
    DIR* listing_ = nullptr;
    std::vector<std::pair<std::string, unsigned char>> rest_;
    size_t next_ = 0;
};

// Recomputes the inherited part of everything below the directory
// `directoryFd`, whose descriptor is now `directorySd`. Depth first, with a
// stack of its own rather than the call stack, so that no depth of tree
// can exhaust it; the names of the objects are built in one buffer, level
// by level below the directory, whose own name is asked of `directoryName`
// only for a report, so that a level costs the length of its own component
// only. A child
// whose inherited part does not change is neither written nor descended
// into. Links are never followed and never rewritten. Children named in
// `settled` (the walk wrote them already) are left out.
void PropagateBelow(int directoryFd, const std::function<std::wstring()>& directoryName, const Bytes& directorySd,
                    Propagation& run, const std::unordered_set<std::string>* settled = nullptr) {
    RaiseOpenFileLimit();
    std::wstring name;  // below the directory, each component followed by a separator
    std::vector<PendingDirectory> pending;
    pending.emplace_back(directoryFd, UniqueFd(), directorySd, 0, settled);
    if (DWORD error = pending.back().Open()) {
        run.Record(error, directoryName());
        return;
    }
    // The whole name of what `below` names below the directory.
    auto fullName = [&](std::wstring_view below) {
        std::wstring full = directoryName();
        if (full.empty() || full.back() != L'\\') full += L'\\';
        return full.append(below);
    };
    auto nameOf = [&](const PendingDirectory& directory, const std::string& child) {
        return fullName(std::wstring_view(name).substr(0, directory.NameLength())) + HostNameToWide(child);
    };
    std::string child;
    while (!pending.empty() && !run.abort) {
        PendingDirectory& directory = pending.back();
        unsigned char type = DT_UNKNOWN;
        if (!directory.Next(&child, &type)) {
            pending.pop_back();
            continue;
        }
        // A regular file or directory by the listing opens for reading, so
        // its attribute is read and written on its own descriptor.
        UniqueFd childFd;
        struct stat status;
        struct stat listed {};
        listed.st_mode = type == DT_DIR ? S_IFDIR : S_IFREG;
        if (type == DT_UNKNOWN || !OpenReadableEntry(directory.Fd(), child.c_str(), &listed, &childFd, &status)) {
            childFd = UniqueFd(::openat(directory.Fd(), child.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (!childFd.Valid()) {
                // a vanished child is no failure
                if (errno != ENOENT) run.Record(ErrorFromErrno(errno), nameOf(directory, child));
                continue;
            }
            if (::fstat(childFd.Get(), &status) != 0) {
                run.Record(ErrorFromErrno(errno), nameOf(directory, child));
                continue;
            }
        }
        bool isDirectory = S_ISDIR(status.st_mode);
        if (!isDirectory && !S_ISREG(status.st_mode)) continue;

        Bytes childSd, stored;
        DWORD error = ReadFileDescriptor(childFd.Get(), status, run.drive, &childSd, &stored);
        if (error != ERROR_SUCCESS) {
            // A damaged attribute stays as it is.
            if (!run.healingOnly) run.Record(error, nameOf(directory, child));
            continue;
        }
        Bytes updated;
        bool changed = false;
        error = ThreadRecentReinherits().Reinherit(childSd, directory.Sd(), isDirectory, FileGenericMapping(),
                                                   &updated, &changed);
        if (error == ERROR_SUCCESS && !changed) {
            // Below a directory that reads as its mode-derived descriptor, a
            // child whose attribute holds no more than its own mode-derived
            // one and what that directory hands down loses the attribute:
            // an earlier write of the directory stored it there, and putting
            // the directory back to its mode takes the child back too.
            if (stored.empty() || !directory.ModeDerived() ||
                !StaysModeDerived(run.drive, childSd, status, [] { return true; })) {
                continue;
            }
            updated = childSd;
        } else if (error == ERROR_SUCCESS && stored.empty() && !run.drive.samba && directory.ModeDerived()) {
            // A child without the attribute reads as its mode-derived
            // descriptor, and all its directory would add is what that
            // directory's mode hands down: it keeps reading so, and is
            // left alone, its subtree too.
            continue;
        }
        if (error == ERROR_SUCCESS) error = Check(childSd, run.token, run.desired);
        if (error == ERROR_SUCCESS) {
            // A host that records what the job changes hears of the child
            // before it changes; its name is built only for that.
            std::wstring observedName;
            std::optional<AskedWrite> inherited;
            if (machine::InheritedChangesObserved()) {
                observedName = nameOf(directory, child);
                inherited.emplace(AskedWrite{observedName,
                                             InheritedChangeParts(childSd, updated, run.token, run.desired), true});
            }
            error = StoreDescriptor(childFd.Get(), run.drive, updated, stored, status,
                                    [&directory] { return directory.ModeDerived(); }, nullptr,
                                    inherited ? &*inherited : nullptr);
        }
        if (error != ERROR_SUCCESS) {
            run.Record(error, nameOf(directory, child));
            continue;
        }
        if (!isDirectory) continue;

        name.resize(directory.NameLength());
        name += HostNameToWide(child);
        name += L'\\';
        directory.Suspend();
        PendingDirectory below(-1, std::move(childFd), std::move(updated), name.size(), nullptr);
        if (DWORD listError = below.Open()) {
            run.Record(listError, fullName(std::wstring_view(name).substr(0, name.size() - 1)));
            continue;
        }
        pending.push_back(std::move(below));
    }
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
    // The caller closes the object's descriptor right after and holds no
    // copy of it: a flock lock belongs to the open file and goes with its
    // last descriptor, so no unlock call is needed.
    void ReleaseWithDescriptor() { locked_ = -1; }
    DescriptorWriteLock(const DescriptorWriteLock&) = delete;
    DescriptorWriteLock& operator=(const DescriptorWriteLock&) = delete;

private:
    static bool Take(int fd) { return TakeFileWriteLock(fd); }

    int locked_ = -1;  // the object's own descriptor, unlocked when done
    UniqueFd fd_;      // else a descriptor of its own; closing it releases the lock
};

DWORD ReadParentDescriptor(const ResolvedPath& object, const machine::Drive& drive, Bytes* parentSd) {
    return ReadFileDescriptorAskingStatus(object.parent.Get(), drive, parentSd);
}

// The object a name stands for, as this step's last handle left it or
// resolved anew; the name's last component is never followed.
DWORD ResolveForStep(const std::wstring& name, ResolvedPath* object, machine::Drive* drive) {
    if (TakeStepObject(name, FinalLink::Keep, object, drive)) return ERROR_SUCCESS;
    return ResolveFileName(name, FinalLink::Keep, object, drive);
}

}  // namespace

DWORD GetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, Bytes* sd) {
    Bytes recalled;
    if (RecallStepRead(name, &recalled)) {
        if (DWORD error = Check(recalled, machine::SharedToken(), AccessToRead(info))) return error;
        *sd = std::move(recalled);
        return ERROR_SUCCESS;
    }
    ResolvedPath object;
    machine::Drive drive;
    DWORD error = ResolveForStep(name, &object, &drive);
    if (error != ERROR_SUCCESS) return error;
    Bytes current, stored;
    error = ReadFileDescriptor(object.object.Get(), object.status, drive, &current, &stored);
    if (error != ERROR_SUCCESS) {
        NoteOwedReadFailure(object, error);
        return error;
    }
    const bool plannable = InheritOwed(object, &current) && !drive.samba;
    RememberStepRead(name, current, plannable ? &stored : nullptr, &object.status);
    error = Check(current, machine::SharedToken(), AccessToRead(info));
    // A write of the same name may follow in this step (a restore reads
    // each object, then writes it): it takes the object resolved here.
    KeepStepObject(name, CurrentStepMark(), std::move(object), std::move(drive));
    if (error != ERROR_SUCCESS) return error;
    *sd = std::move(current);
    return ERROR_SUCCESS;
}

namespace {

// What a write of one object's descriptor works out before it stores
// anything: the descriptor it will store, from the one the object holds.
struct PlannedWrite {
    Bytes updated;
    Bytes parentSd;
    bool hasParent = false;
};

// The descriptor an undo asks for: `current` with the parts of `info`
// replaced by those of `given` (a before-image), each with its own
// protection and auto-inherited flags. Only a list the image marks as
// auto-inherited, and not protected, takes its inherited entries from the
// parent (`parentSd`; null for none, or for an image to be stored as it
// stands), as they are now: the directory may have changed since the image
// was read. A list without that flag is stored as it stands, and a SACL the
// image lacks stays absent unless the parent hands audit entries down.
// How many hosts have announced that they put back records every changed
// object has its own of (AnnounceStoresAsGiven).
std::atomic<int> gStoresAsGivenAnnounced{0};

bool StoresAsGivenAnnounced() { return gStoresAsGivenAnnounced.load(std::memory_order_relaxed) > 0; }

DWORD ComposeAsGiven(const Bytes& current, const Bytes& given, SECURITY_INFORMATION info, const Bytes* parentSd,
                     bool isDirectory, Bytes* updated) {
    Bytes exact;
    if (DWORD error = ReplaceParts(current, given, info, &exact); error != ERROR_SUCCESS) return error;
    DescriptorParts asked, stored;
    if (ParseSelfRelative(given.data(), given.size(), &asked) != ERROR_SUCCESS ||
        ParseSelfRelative(exact.data(), exact.size(), &stored) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    constexpr SECURITY_DESCRIPTOR_CONTROL kDaclBits = SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    constexpr SECURITY_DESCRIPTOR_CONTROL kSaclBits = SE_SACL_PRESENT | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
    const SID* owner = stored.owner;
    const SID* group = stored.group;
    const ACL* dacl = stored.dacl;
    const ACL* sacl = stored.sacl;
    SECURITY_DESCRIPTOR_CONTROL control = stored.control & (kDaclBits | kSaclBits);
    const bool saclAbsent = !(asked.control & SE_SACL_PRESENT) || !asked.sacl;

    const auto inheritsFromParent = [&](SECURITY_INFORMATION part, SECURITY_DESCRIPTOR_CONTROL autoInherited,
                                        SECURITY_DESCRIPTOR_CONTROL isProtected) {
        return (info & part) && (asked.control & autoInherited) && !(asked.control & isProtected);
    };
    const bool daclInherits = inheritsFromParent(DACL_SECURITY_INFORMATION, SE_DACL_AUTO_INHERITED, SE_DACL_PROTECTED);
    const bool saclInherits = (info & SACL_SECURITY_INFORMATION) &&
                              (saclAbsent || inheritsFromParent(SACL_SECURITY_INFORMATION, SE_SACL_AUTO_INHERITED,
                                                                SE_SACL_PROTECTED));
    Bytes inherited;
    bool changed = false;
    if (!parentSd || (!daclInherits && !saclInherits) ||
        Reinherit(exact, *parentSd, isDirectory, FileGenericMapping(), &inherited, &changed) != ERROR_SUCCESS ||
        !changed) {
        *updated = std::move(exact);
        return ERROR_SUCCESS;
    }
    DescriptorParts reinherited;
    if (ParseSelfRelative(inherited.data(), inherited.size(), &reinherited) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    if (daclInherits) {
        control = (control & ~kDaclBits) | (reinherited.control & kDaclBits);
        dacl = reinherited.dacl;
    }
    if (saclInherits) {
        control &= ~kSaclBits;
        sacl = nullptr;
        // Left with no entries, the SACL held only what the directory handed
        // down when the image was read (the job's own audit entries, as a
        // rule): the object is given back no SACL rather than an empty one.
        if (reinherited.sacl && reinherited.sacl->AceCount != 0) {
            control |= reinherited.control & kSaclBits;
            sacl = reinherited.sacl;
        }
    }
    *updated = BuildSelfRelative(control, owner, group, sacl, dacl);
    return ERROR_SUCCESS;
}

// Checks the caller may write `info` over `current` and works out what the
// object will hold: by Windows' named-call rules, or with `asGiven` the
// parts of that descriptor as ComposeAsGiven puts them. `owed` is what its
// directory's deferred propagation owes it, if anything.
DWORD PlanWrite(const ResolvedPath& object, const machine::Drive& drive, const Bytes& current,
                const DeferredPropagation* owed, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                PACL sacl, const std::shared_ptr<const AccessToken>& shared, const Bytes* asGiven,
                PlannedWrite* plan) {
    const AccessToken& token = *shared;
    DWORD error = Check(current, shared, AccessToWrite(info));
    if (error != ERROR_SUCCESS) return error;
    if ((info & OWNER_SECURITY_INFORMATION) && owner && !IsValidSid(owner)) return ERROR_INVALID_SID;
    if ((info & OWNER_SECURITY_INFORMATION) && owner && !token.HasEnabled(L"SeRestorePrivilege") &&
        !TokenHasSid(token, static_cast<const BYTE*>(owner))) {
        return ERROR_INVALID_OWNER;
    }
    plan->hasParent = !object.isRoot && object.parent.Valid();
    if (plan->hasParent && owed) {
        // What the walk wrote on the directory a moment ago is what reading
        // it would give.
        plan->parentSd = owed->sd;
    } else if (plan->hasParent) {
        error = ReadParentDescriptor(object, drive, &plan->parentSd);
        if (error != ERROR_SUCCESS) return error;
    }
    // Stored, the descriptor goes through the rule of mode_derived_state.h
    // either way: a record that is the mode's descriptor, byte for byte,
    // matches it, so the attribute goes.
    // A record whose directory this same walk wrote a moment ago (an undo
    // file puts a directory back before the objects its change reached)
    // goes back as it stands: the directory hands down again what it handed
    // down when the record was taken, and a record that did not hold all of
    // that (a stale or odd one) was so then too. Below a directory the walk
    // left alone, an auto-inherited list takes what the directory hands
    // down now, which may have changed since.
    // Announced records are each stored as they stand: an object whose
    // record is not there was not changed, and the directory hands down
    // again what it did when the records were taken.
    if (asGiven) {
        const bool fromParentNow = plan->hasParent && !owed && !StoresAsGivenAnnounced();
        return ComposeAsGiven(current, *asGiven, info, fromParentNow ? &plan->parentSd : nullptr,
                              S_ISDIR(object.status.st_mode), &plan->updated);
    }
    return ThreadRecentAppliedWrites().Apply(current, plan->hasParent ? &plan->parentSd : nullptr,
                                             S_ISDIR(object.status.st_mode), info, owner, group, dacl, sacl,
                                             FileGenericMapping(), &plan->updated);
}

// Whether storing the planned descriptor changes what the object holds
// (StoreDescriptor's choice, made without storing).
bool PlanChangesObject(const machine::Drive& drive, const PlannedWrite& plan, const Bytes& stored,
                       const struct stat& status) {
    if (StaysModeDerived(drive, plan.updated, status,
                         [&] { return plan.hasParent && IsModeDerivedDirectoryDescriptor(plan.parentSd); })) {
        return !stored.empty();
    }
    return ChangesStoredBytes(drive, plan.updated, stored);
}

// The descriptors one write works with, kept on the thread from write to
// write so that a walk's writes reuse their memory. A write made while
// another is under way on the thread (none is, today) takes fresh ones.
struct WriteBuffers {
    PlannedWrite planned;
    Bytes readCurrent, readStored, current, stored;
    bool busy = false;
};
thread_local WriteBuffers tWriteBuffers;

// Marks the buffers taken for one write and empties them (their memory
// stays), so that nothing of the write before reaches this one.
struct BusyWhileWriting {
    explicit BusyWhileWriting(WriteBuffers& buffers) : buffers_(buffers) {
        buffers_.busy = true;
        buffers_.planned.updated.clear();
        buffers_.planned.parentSd.clear();
        buffers_.planned.hasParent = false;
        buffers_.readCurrent.clear();
        buffers_.readStored.clear();
        buffers_.current.clear();
        buffers_.stored.clear();
    }
    ~BusyWhileWriting() { buffers_.busy = false; }
    BusyWhileWriting(const BusyWhileWriting&) = delete;
    BusyWhileWriting& operator=(const BusyWhileWriting&) = delete;

private:
    WriteBuffers& buffers_;
};

// One write of a file's descriptor by name: Windows' named-call rules, or,
// with `asGiven`, the parts of that descriptor as ComposeAsGiven puts them.
DWORD WriteFileSecurity(const std::wstring& name, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                        PACL sacl, const Bytes* asGiven) {
    // An object a read of this step resolved comes with its drive: the name
    // was parsed then, and is parsed again only for a root, whose parent
    // depends on the form of the name.
    ResolvedPath object;
    machine::Drive drive;
    FileName parsed;
    DWORD error = ERROR_SUCCESS;
    const bool kept = TakeStepObject(name, FinalLink::Keep, &object, &drive);
    if (!kept || object.isRoot) {
        error = ParseFileName(name, false, &parsed);
        if (error != ERROR_SUCCESS) return error;
        if (!kept) {
            error = ResolveParsedFileName(parsed, FinalLink::Keep, &object);
            if (error != ERROR_SUCCESS) return error;
        }
        drive = parsed.drive;
    }
    // The root of a share of a folder is that folder, whose parent it
    // inherits from as it would on the server's own volume.
    if (object.isRoot && !RootIsVolumeRoot(parsed)) {
        object.parent = UniqueFd(::openat(object.object.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (object.parent.Valid()) object.isRoot = false;
    }
    if (!(info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | kDaclInfo | kSaclInfo))) {
        return ERROR_SUCCESS;
    }
    const auto shared = machine::SharedToken();
    const AccessToken& token = *shared;
    bool isDirectory = S_ISDIR(object.status.st_mode);

    // A file this step has read already (the engine reads each object
    // before it writes it) is planned from that read. A write that would
    // leave the file as it is changes nothing when made now, and is as if
    // it had been made at that read: no lock, no second read, nothing
    // stored (the same grant again). Otherwise the file is locked and read
    // again; while it holds what the step read found, the plan stands.
    // Directories always take the lock: their writes also bring what lies
    // below them up to date.
    WriteBuffers fresh;
    WriteBuffers& buffers = tWriteBuffers.busy ? fresh : tWriteBuffers;
    const BusyWhileWriting busy(buffers);
    PlannedWrite& planned = buffers.planned;
    Bytes& readCurrent = buffers.readCurrent;
    Bytes& readStored = buffers.readStored;
    const bool plannedFromRead = !isDirectory && !drive.samba &&
                                 RecallStoredStepRead(name, object.status, &readCurrent, &readStored);
    if (plannedFromRead) {
        DeferredPropagation* owed = OwedTo(object);
        error = PlanWrite(object, drive, readCurrent, owed, info, owner, group, dacl, sacl, shared, asGiven, &planned);
        if (error != ERROR_SUCCESS) return error;
        const bool changes = PlanChangesObject(drive, planned, readStored, object.status);
        NotePlannedFileWrite(changes);
        if (!changes) {
            if (owed) Settle(*owed, object);
            return ERROR_SUCCESS;
        }
    }

    // A file read under its write lock in this step, and planned from that
    // read, still holds what the read found: no other writer got in
    // between. The lock goes with the descriptor when this call returns.
    const bool lockedSinceRead = plannedFromRead && object.lockedForWrite;
    std::optional<DescriptorWriteLock> lock;
    Bytes& current = buffers.current;
    Bytes& stored = buffers.stored;
    if (lockedSinceRead) {
        current = readCurrent;
        stored = readStored;
    } else {
        // The kept object of another name may be a file this thread locked
        // at its read: it is let go before waiting for any lock.
        if (!kept) DropStepObject();
        lock.emplace(object.object.Get(), object.status);
        // Only a directory's descriptor is copied (to come back to it for
        // deferred propagation); a file's is closed when this call returns.
        if (!isDirectory) lock->ReleaseWithDescriptor();
        error = ReadFileDescriptor(object.object.Get(), object.status, drive, &current, &stored);
    }
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
    // The change observer reads the object before it changes (an undo
    // record): with no read of this step at hand (a restore writes without
    // reading first), it is handed this one, as a reader would see it,
    // instead of resolving and reading the object again.
    if (!plannedFromRead && !damaged && machine::ChangesObserved()) {
        Bytes asRead = current;
        InheritOwed(object, &asRead);
        RememberStepRead(name, asRead);
    }
    // A recursive walk reaching a child its directory's write has not
    // propagated to yet: the child is written once, with what it inherits
    // now (deferred_propagation.h).
    DeferredPropagation* owed = damaged ? nullptr : OwedTo(object);
    bool inheritedNow = false;
    ACCESS_MASK owedDesired = 0;
    bool owedHealingOnly = true;
    const bool planStands = plannedFromRead && !damaged && stored == readStored;
    if (owed && !planStands) {
        owedDesired = owed->desired;
        owedHealingOnly = owed->healingOnly;
        Bytes inherited;
        if (ThreadRecentReinherits().Reinherit(current, owed->sd, isDirectory, FileGenericMapping(), &inherited,
                                               &inheritedNow) == ERROR_SUCCESS &&
            inheritedNow) {
            current = std::move(inherited);
        } else {
            inheritedNow = false;
        }
    }
    if (!planStands) {
        error = PlanWrite(object, drive, current, owed, info, owner, group, dacl, sacl, shared, asGiven, &planned);
        if (error != ERROR_SUCCESS) return error;
    }
    const AskedWrite asked{name, info};
    error = StoreDescriptor(object.object.Get(), drive, planned.updated, stored, object.status,
                            [&] { return planned.hasParent && IsModeDerivedDirectoryDescriptor(planned.parentSd); },
                            nullptr, &asked);
    if (error != ERROR_SUCCESS) return error;
    if (owed) Settle(*owed, object);
    // A walk goes on below a directory it wrote: the objects there are
    // likely to change too, and are read under the lock.
    if (isDirectory) LockNextStepRead();

    // Every write of a directory's DACL or SACL brings its children up to
    // date, whether or not what it hands down changed: a propagation that
    // was cut short (a killed job, a failed child) heals when the directory
    // is written again. Children already up to date cost one read and are
    // not visited further.
    // A directory that inherited something new just now owes its children
    // what its directory's propagation would have handed them.
    if (!isDirectory) return ERROR_SUCCESS;
    // Announced records of a job's changes leave what lies below the
    // directory to the objects' own records: an object without one (a
    // stale one the job never reached) is not the job's to change.
    if (asGiven && StoresAsGivenAnnounced()) return ERROR_SUCCESS;
    const Bytes& updated = planned.updated;
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
    PropagateBelow(object.object.Get(), [&name] { return name; }, updated, run);
    return run.firstError;
}

}  // namespace

namespace {

DWORD ReadStoredFileSecurity(const std::wstring& name, SECURITY_INFORMATION info, Bytes* sd) {
    if (const ObjectUnderWrite* held = tObjectUnderWrite; held && held->name == name) {
        Bytes current;
        DWORD error = ERROR_SUCCESS;
        if (held->drive.samba) {
            // What smbd serves depends on more than the attribute.
            error = ReadFileDescriptor(held->fd, held->status, held->drive, &current);
        } else if (held->stored.empty()) {
            // As StoreDescriptor reads it: no attribute, the mode's descriptor.
            const struct stat& status = held->status;
            current = ModeDerivedDescriptor(status.st_mode, status.st_uid, status.st_gid, S_ISDIR(status.st_mode));
        } else {
            error = ThreadRecentNtAcls().Decode(held->stored, &current);
        }
        if (error == ERROR_SUCCESS) error = Check(current, machine::SharedToken(), AccessToRead(info));
        if (error == ERROR_SUCCESS) *sd = std::move(current);
        return error;
    }
    ResolvedPath object;
    machine::Drive drive;
    DWORD error = ResolveForStep(name, &object, &drive);
    if (error != ERROR_SUCCESS) return error;
    Bytes current;
    error = ReadFileDescriptor(object.object.Get(), object.status, drive, &current);
    if (error == ERROR_SUCCESS) error = Check(current, machine::SharedToken(), AccessToRead(info));
    if (error != ERROR_SUCCESS) return error;
    *sd = std::move(current);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD GetStoredFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, Bytes* sd) {
    return machine::GuardedCall([&] { return ReadStoredFileSecurity(name, info, sd); });
}

DWORD SetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                            PACL sacl) {
    return WriteFileSecurity(name, info, owner, group, dacl, sacl, nullptr);
}


DWORD StoreFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, const Bytes& sd) {
    DescriptorParts given;
    if (ParseSelfRelative(sd.data(), sd.size(), &given) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    // The owner and group are checked as the named call checks them.
    return WriteFileSecurity(name, info, const_cast<SID*>(given.owner), const_cast<SID*>(given.group), nullptr,
                             nullptr, &sd);
}

bool InheritOwed(const ResolvedPath& object, Bytes* sd) {
    DeferredPropagation* owed = OwedTo(object);
    if (!owed) return true;
    Bytes inherited;
    bool changed = false;
    if (ThreadRecentReinherits().Reinherit(*sd, owed->sd, S_ISDIR(object.status.st_mode), FileGenericMapping(),
                                           &inherited, &changed) != ERROR_SUCCESS ||
        !changed) {
        return true;
    }
    // As the propagation would leave it: below a directory that reads as
    // its mode, perhaps with no attribute. (Below any other, the rule could
    // differ in the auto-inherited flag only, which the write settles.)
    if (IsModeDerivedDirectoryDescriptor(owed->sd) &&
        StaysModeDerived(owed->drive, inherited, object.status, [] { return true; })) {
        const struct stat& status = object.status;
        *sd = ModeDerivedDescriptor(status.st_mode, status.st_uid, status.st_gid, S_ISDIR(status.st_mode));
        return false;
    }
    *sd = std::move(inherited);
    return true;
}

void NoteOwedReadFailure(const ResolvedPath& object, DWORD error) {
    DeferredPropagation* owed = OwedTo(object);
    if (!owed) return;
    // The propagation would have failed on this child and left it as it
    // is; it is named now, once.
    Settle(*owed, object);
    if (!owed->healingOnly) machine::NoteDescendantFailure(ChildName(owed->name->Full(), object.name.c_str()), error);
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
    if (ThreadRecentReinherits().Reinherit(current, owed->sd, true, FileGenericMapping(), &updated, &changed) !=
        ERROR_SUCCESS) {
        return;
    }
    const ACCESS_MASK desired = owed->desired;
    const bool healingOnly = owed->healingOnly;
    // A directory that keeps reading as its mode-derived descriptor, with
    // no attribute, is as the propagation would leave it.
    auto ownerModeDerived = [owed] { return IsModeDerivedDirectoryDescriptor(owed->sd); };
    if (changed && stored.empty() && StaysModeDerived(drive, updated, directory.status, ownerModeDerived)) {
        changed = false;
    }
    if (changed) {
        // The walk may still hold this directory's lock from its step's
        // read, on another descriptor: it is let go before waiting for one.
        DropStepObject();
        DescriptorWriteLock lock(directory.object.Get(), directory.status);
        const auto token = machine::SharedToken();
        if (Check(current, token, desired) != ERROR_SUCCESS) return;
        std::optional<AskedWrite> inherited;
        if (machine::InheritedChangesObserved()) {
            inherited.emplace(AskedWrite{name, InheritedChangeParts(current, updated, *token, desired), true});
        }
        if (StoreDescriptor(directory.object.Get(), drive, updated, stored, directory.status, ownerModeDerived,
                            &changed, inherited ? &*inherited : nullptr) != ERROR_SUCCESS) {
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
    PropagateBelow(directoryFd, [&owed] { return owed.name->Full(); }, owed.sd, run, &owed.settled);
}

}  // namespace winapi

void AnnounceStoresAsGiven(BOOL underway) {
    if (underway) {
        ++winapi::gStoresAsGivenAnnounced;
    } else if (winapi::gStoresAsGivenAnnounced.load() > 0) {
        --winapi::gStoresAsGivenAnnounced;
    }
}
