// Resolution of Windows file names (C:\x, \\?\C:\x, \\server\share\x,
// \\?\UNC\server\share\x) to objects below the host directory of a drive or
// file share of the simulated computer.
//
// Every walk starts from a descriptor of the drive's directory and opens one
// component at a time relative to the previous one, never following a link
// implicitly, so no name, `..` or symbolic link (even one swapped in while
// the walk runs) reaches anything outside that directory.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/machine/machine.h"
#include "winapi/types.h"

namespace winapi {

// Owns one host file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // A second descriptor of the same open file (invalid on failure).
    UniqueFd Duplicate() const;

private:
    int fd_ = -1;
};

// The host path by which the kernel reaches the object behind `fd` itself,
// also for O_PATH descriptors and symbolic links (/proc/self/fd/N).
std::string DescriptorPath(int fd);

// Host names are UTF-8; names in the layer are UTF-32. Each byte that is
// not valid UTF-8 becomes U+DC80..U+DCFF and back, so names round-trip
// exactly; other code points that are not Unicode scalar values make the
// conversion fail.
bool WideToHostName(std::wstring_view wide, std::string* host);

// Walks and propagation hold one descriptor per level of the tree: this
// lets the process have as many as it may, so that depth rather than a
// default soft limit bounds them.
void RaiseOpenFileLimit();
std::wstring HostNameToWide(std::string_view host);
// The same into `wide`, whose buffer is kept.
void HostNameToWide(std::string_view host, std::wstring* wide);

// Whether a component is "." or "..".
inline bool IsDotOrDotDot(std::wstring_view component) {
    return !component.empty() && component.size() <= 2 && component[0] == L'.' &&
           (component.size() == 1 || component[1] == L'.');
}

// Windows compares file names after mapping both to upper case.
wchar_t UpcaseNameChar(wchar_t c);
std::wstring UpcaseName(std::wstring_view name);
bool NamesEqualIgnoringCase(std::wstring_view a, std::wstring_view b);

// A parsed file name: the drive or share it lives on and its components
// below that root, as written (`.` and `..` are left for the walk).
struct FileName {
    machine::Computer computer;
    machine::Drive drive;
    std::vector<std::wstring> components;
    bool isShare = false;
    std::wstring share;  // the share's name when isShare
    bool trailingSeparator = false;
};

// Whether the root of `name` is the root of a volume (a drive letter, an
// administrative share X$, or a share of a drive's whole directory), which
// has no parent; any other share's directory has its host parent.
bool RootIsVolumeRoot(const FileName& name);

// Splits `name` and finds its drive or share. Wildcards (* ?) are accepted
// only in the last component when `wildcardsInLast` is set.
// Errors: ERROR_INVALID_NAME (bad form or character), ERROR_PATH_NOT_FOUND
// (no such drive letter), ERROR_BAD_NETPATH (unknown or unreachable
// computer), ERROR_BAD_NET_NAME (no such share).
DWORD ParseFileName(std::wstring_view name, bool wildcardsInLast, FileName* out);

// Descriptor of a drive's or share's directory.
DWORD OpenDriveRoot(const machine::Drive& drive, UniqueFd* root);

// A directory's descriptor that a result holds: its own, or the one an
// open search's directory keeps (listed_directories.h), shared for as long
// as the result lives instead of copied with a dup and a close per call.
class DirectoryFd {
public:
    DirectoryFd& operator=(UniqueFd owned) {
        owned_ = std::move(owned);
        shared_.reset();
        return *this;
    }
    // `device` and `inode` are those of `fd`, which an open descriptor
    // keeps for its whole life.
    void Share(std::shared_ptr<const UniqueFd> fd, dev_t device, ino_t inode) {
        owned_.Reset();
        shared_ = std::move(fd);
        device_ = device;
        inode_ = inode;
    }
    int Get() const { return owned_.Valid() ? owned_.Get() : shared_ ? shared_->Get() : -1; }
    bool Valid() const { return Get() >= 0; }
    // The directory's device and inode: known for a shared descriptor,
    // asked of the kernel otherwise.
    bool Identify(dev_t* device, ino_t* inode) const {
        if (!owned_.Valid() && shared_) {
            *device = device_;
            *inode = inode_;
            return true;
        }
        struct stat status;
        if (!Valid() || ::fstat(Get(), &status) != 0) return false;
        *device = status.st_dev;
        *inode = status.st_ino;
        return true;
    }

private:
    UniqueFd owned_;
    std::shared_ptr<const UniqueFd> shared_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// What a walk reached.
struct ResolvedPath {
    // Descriptor of the object itself (a link stays a link): opened for
    // reading for a regular file or a directory (OpenReadableEntry), else O_PATH.
    UniqueFd object;
    DirectoryFd parent;  // descriptor of its directory; invalid for the root
    std::string name;  // the object's name in `parent`, as stored on disk
    struct stat status {};
    bool isRoot = false;
    // `object` holds this process's write lock on the file, taken before a
    // walk step's read of it (step_write_locks.h).
    bool lockedForWrite = false;
};

enum class FinalLink {
    Keep,    // the last component names the link itself
    Follow,  // a link in the last position is resolved like any other
};

// Walks `components` below the directory `rootFd`, whose host path is
// `rootDirectory` (used to place absolute link targets). Names match
// without regard to case; an exact match wins. Errors:
// ERROR_PATH_NOT_FOUND (a missing or non-directory intermediate component),
// ERROR_FILE_NOT_FOUND (missing last component), ERROR_ACCESS_DENIED (`..`
// above the root, or the host denies the walk), ERROR_CANT_ACCESS_FILE (a
// link leading outside the root), ERROR_CANT_RESOLVE_FILENAME (too many
// links), ERROR_INVALID_NAME.
DWORD ResolveBelowRoot(int rootFd, const std::string& rootDirectory, const std::vector<std::wstring>& components,
                       FinalLink finalLink, ResolvedPath* out);

// Opens `name` in the directory `dirFd` (O_PATH, never following a link):
// the exact spelling first, else the first entry (in byte order) that
// equals it without regard to case. Returns the stored spelling and the
// descriptor, or an errno value.
int OpenDirectoryEntry(int dirFd, const std::string& name, std::string* stored, UniqueFd* entry);

// The flags a regular file or directory is opened with when its attributes
// are to be read or written on its own descriptor: for reading, without
// following a link, without waiting (a FIFO swapped in does not block) and
// without becoming a controlling terminal.
inline constexpr int kAttributeOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// The same for a directory on the way to a name, which is the directory
// the name inherits from: O_DIRECTORY opens nothing else. Where the host
// refuses to open it for reading (no read permission for the caller), the
// walk opens it O_PATH as before.
inline constexpr int kDirectoryOpenFlags = kAttributeOpenFlags | O_DIRECTORY;

// Opens the entry `name` of `dirFd` for reading when it is a regular file
// or a directory, so that the kernel takes attribute calls on the object's
// own descriptor (fgetxattr costs a third of a call through
// /proc/self/fd/N). Its kind comes from `known` (a search's or a listing's
// status of the entry), else from one fstatat; devices, FIFOs and links are
// never opened this way. The open follows no link and the result is kept
// only when it is that object still (same kind, and same device and inode
// when `known` gives them). False, with nothing opened, otherwise: the
// caller then opens the entry O_PATH as for any other object.
bool OpenReadableEntry(int dirFd, const char* name, const struct stat* known, UniqueFd* entry, struct stat* status);

// Resolves a parsed name: below the directory of an open search when one
// is a prefix of it (see listed_directories.h: no link is followed there),
// else, while directory links are refused, below the directories the name
// before passed through (recent_directories.h), else from the drive's root
// with ResolveBelowRoot.
DWORD ResolveParsedFileName(const FileName& parsed, FinalLink finalLink, ResolvedPath* out);

// ParseFileName + ResolveParsedFileName. `drive` receives the drive or
// share record when not null.
DWORD ResolveFileName(std::wstring_view name, FinalLink finalLink, ResolvedPath* out,
                      machine::Drive* drive = nullptr);

// Win32 error for a host errno met while resolving or reading a file.
DWORD ErrorFromErrno(int error);

}  // namespace winapi
