#include "winapi/files/recent_directories.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "winapi/win32.h"

namespace winapi {
namespace {

struct Level {
    std::wstring asked;  // the component as the name spelt it
    std::string host;    // the entry's name as stored
    // Shared with the results whose directory it is (ResolvedPath::parent).
    std::shared_ptr<const UniqueFd> fd;
    dev_t dev = 0;
    ino_t ino = 0;
};

struct RecentDirectories {
    std::string drive;  // the drive's host directory
    std::shared_ptr<const UniqueFd> root;
    dev_t rootDev = 0;
    ino_t rootIno = 0;
    std::vector<Level> levels;  // levels[i]: the directory of the last name's first i + 1 components
};

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

RecentDirectories& Recent() {
    static RecentDirectories recent;
    return recent;
}

bool SameObject(const struct stat& status, dev_t dev, ino_t ino) { return status.st_dev == dev && status.st_ino == ino; }

// Opens one component below `directoryFd` as the walk from the root does
// with directory links refused.
DWORD OpenComponent(int directoryFd, const std::string& host, bool last, FinalLink finalLink, std::string* stored,
                    UniqueFd* entry, struct stat* status) {
    if (host.size() > 255) return ERROR_FILENAME_EXCED_RANGE;
    if (last && OpenReadableEntry(directoryFd, host.c_str(), nullptr, entry, status)) {
        *stored = host;
        return ERROR_SUCCESS;
    }
    // A directory on the way opens for reading too (O_DIRECTORY: nothing
    // else can be opened so), since the next name's write reads its
    // directory's attribute on this descriptor.
    if (!last) {
        UniqueFd directory(::openat(directoryFd, host.c_str(), kDirectoryOpenFlags));
        if (directory.Valid() && ::fstat(directory.Get(), status) == 0) {
            *entry = std::move(directory);
            *stored = host;
            return ERROR_SUCCESS;
        }
    }
    const int error = OpenDirectoryEntry(directoryFd, host, stored, entry);
    if (error == ENOENT) return last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (error != 0) return error == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(error);
    if (::fstat(entry->Get(), status) != 0) return ErrorFromErrno(errno);
    if (S_ISLNK(status->st_mode) && (!last || finalLink == FinalLink::Follow)) return ERROR_ACCESS_DENIED;
    if (!last && !S_ISDIR(status->st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

// True when `components` name an entry of the directory the name before
// lay in, on the same drive.
bool SameDirectoryAsBefore(const RecentDirectories& recent, const FileName& parsed) {
    const auto& components = parsed.components;
    if (!recent.root || recent.drive != parsed.drive.directory) return false;
    if (recent.levels.size() + 1 != components.size()) return false;
    for (size_t i = 0; i < recent.levels.size(); ++i) {
        if (recent.levels[i].asked != components[i]) return false;
    }
    return true;
}

// The drive's directory, opened again when its path names another object
// than the one kept. Within one directory the path is looked at once, when
// the names come into it: users cannot rename the drive's own entry (it is
// the administrator's), so the look guards against the drive being moved
// between two parts of a job, as a walk's search does per directory; the
// directory the names lie in is still checked for every name.
DWORD OpenRoot(RecentDirectories& recent, const FileName& parsed) {
    const machine::Drive& drive = parsed.drive;
    if (SameDirectoryAsBefore(recent, parsed)) return ERROR_SUCCESS;
    struct stat status;
    if (recent.root && recent.drive == drive.directory && ::stat(drive.directory.c_str(), &status) == 0 &&
        SameObject(status, recent.rootDev, recent.rootIno)) {
        return ERROR_SUCCESS;
    }
    recent.levels.clear();
    recent.root.reset();
    recent.drive.clear();
    UniqueFd root;
    if (DWORD error = OpenDriveRoot(drive, &root); error != ERROR_SUCCESS) return error;
    if (::fstat(root.Get(), &status) != 0) return ErrorFromErrno(errno);
    recent.root = std::make_shared<const UniqueFd>(std::move(root));
    recent.rootDev = status.st_dev;
    recent.rootIno = status.st_ino;
    recent.drive = drive.directory;
    return ERROR_SUCCESS;
}

}  // namespace

bool ResolveThroughRecentDirectories(const FileName& parsed, FinalLink finalLink, ResolvedPath* out, DWORD* error) {
    const auto& components = parsed.components;
    if (components.empty()) return false;
    for (const auto& component : components) {
        if (IsDotOrDotDot(component)) return false;
    }
    *out = ResolvedPath();
    std::vector<std::string> hosts(components.size());
    for (size_t i = 0; i < components.size(); ++i) {
        if (!WideToHostName(components[i], &hosts[i])) {
            *error = ERROR_INVALID_NAME;
            return true;
        }
    }

    std::lock_guard guard(Lock());
    RecentDirectories& recent = Recent();
    *error = OpenRoot(recent, parsed);
    if (*error != ERROR_SUCCESS) return true;
    auto& levels = recent.levels;
    const size_t directories = components.size() - 1;
    size_t shared = 0;
    while (shared < levels.size() && shared < directories && levels[shared].asked == components[shared]) ++shared;
    levels.resize(shared);
    if (shared > 0) {
        const int above = shared >= 2 ? levels[shared - 2].fd->Get() : recent.root->Get();
        struct stat status;
        if (::fstatat(above, levels.back().host.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !SameObject(status, levels.back().dev, levels.back().ino)) {
            levels.clear();  // renamed or replaced since: walk the name again
        }
    }
    while (levels.size() < directories) {
        const size_t i = levels.size();
        const int at = i == 0 ? recent.root->Get() : levels[i - 1].fd->Get();
        Level level;
        struct stat status;
        UniqueFd opened;
        *error = OpenComponent(at, hosts[i], false, finalLink, &level.host, &opened, &status);
        if (*error != ERROR_SUCCESS) return true;
        level.fd = std::make_shared<const UniqueFd>(std::move(opened));
        level.asked = components[i];
        level.dev = status.st_dev;
        level.ino = status.st_ino;
        levels.push_back(std::move(level));
    }

    const int parentFd = levels.empty() ? recent.root->Get() : levels.back().fd->Get();
    *error = OpenComponent(parentFd, hosts.back(), true, finalLink, &out->name, &out->object, &out->status);
    if (*error != ERROR_SUCCESS) return true;
    if (levels.empty()) {
        out->parent.Share(recent.root, recent.rootDev, recent.rootIno);
    } else {
        out->parent.Share(levels.back().fd, levels.back().dev, levels.back().ino);
    }
    out->isRoot = false;
    return true;
}

void ForgetRecentDirectories() {
    std::lock_guard guard(Lock());
    Recent() = RecentDirectories();
}

}  // namespace winapi
