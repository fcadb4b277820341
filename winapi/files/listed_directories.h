// The directories that open searches list, kept open and used to resolve
// the names the searches hand out.
//
// A recursive walk names every object by its full path from the drive's
// root (FindFirstFileW, then CreateFileW or the named security calls on
// "dir\entry"). Resolving such a name again from the root would follow
// whatever a user of the tree swapped in meanwhile: a directory replaced by
// a link to someone else's folder. Instead, while a search of a directory
// is open, any name below that directory is resolved relative to the
// directory's descriptor, opened when the search started:
//
// - the deepest listed directory whose path is a prefix of the name is the
//   starting point; the rest of the name is opened one component at a time
//   with O_NOFOLLOW, and a link in any of those components is refused
//   (ERROR_ACCESS_DENIED, which the engine reports per object and goes on);
// - the entry the search handed out last must still be the object it
//   described (same device and inode), so an entry swapped for another
//   between the listing and its use is refused the same way;
// - a listed directory is used only while it still has its name in the
//   listed directory above it (checked with one fstatat at the first call
//   of each step that goes through it, see StillHasItsName), so a renamed
//   or replaced directory never serves a name it no longer has.
//
// A directory costs one descriptor and its own name; the path of a nested
// directory is its parent's plus that name, so memory grows linearly with
// depth. Finding the deepest listed directory of a name starts from where
// the name looked up before parts from it (a walk's next name is a sibling
// or a child of the last one), so a lookup costs one pass over the name's
// characters and a step per component not seen before, not a search from
// the top at every level. Names holding `.` or `..` components, and names
// below no open search, resolve from the drive's root as before.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "winapi/files/file_paths.h"

namespace winapi {

class ListedDirectory;

// Registration of one search's directory; unregisters when destroyed.
class ListedDirectoryLease {
public:
    ListedDirectoryLease() = default;
    ~ListedDirectoryLease();
    ListedDirectoryLease(const ListedDirectoryLease&) = delete;
    ListedDirectoryLease& operator=(const ListedDirectoryLease&) = delete;

    bool Valid() const { return directory_ != nullptr; }
    // The search's directory (O_PATH).
    int Fd() const;
    // Records the entry the search just handed out, as it was described.
    void SetCurrentEntry(const std::string& host, const struct stat& status);
    // The components of the directory below the drive's root, as stored.
    std::vector<std::string> HostComponents() const;

private:
    friend DWORD ResolveSearchDirectory(const FileName& parsed, ResolvedPath* directory,
                                        std::unique_ptr<ListedDirectoryLease>* lease);
    ListedDirectory* directory_ = nullptr;
};

// Resolves `parsed` (with FinalLink `finalLink`) through the listed
// directories when one of them is a prefix of it. Returns false when none
// is (the caller then resolves from the drive's root); otherwise true with
// the result in `*error` and `*out`.
bool ResolveBelowListedDirectory(const FileName& parsed, FinalLink finalLink, ResolvedPath* out, DWORD* error);

// Opens the directory a new search lists (the name's components) and
// registers it for the search's lifetime.
DWORD ResolveSearchDirectory(const FileName& parsed, ResolvedPath* directory,
                             std::unique_ptr<ListedDirectoryLease>* lease);

// How many directories are registered (for tests of the lifetime).
size_t ListedDirectoryCount();

}  // namespace winapi
