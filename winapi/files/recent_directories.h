// The directories the last name passed through, kept open while names come
// from a file (link_policy.h: a restore).
//
// A restore names its objects in the order a walk listed them: each record
// lies in the directory of the one before it, or near it. Resolving every
// name again from the drive's root costs an open of the root and of each
// directory on the way, twice per record (the read before the write).
// Instead the directories the last name passed through stay open, one
// descriptor each, and a name spelt the same way up to some directory is
// opened below that directory's descriptor:
//
// - the directories are those a walk from the root with links refused
//   reaches: every component opened with O_NOFOLLOW, a link anywhere on the
//   way refused (ERROR_ACCESS_DENIED), so the result is the one
//   ResolveBelowRoot gives in that mode;
// - the deepest directory kept must still be found under its name in the
//   directory above it (one fstatat), so a directory renamed or replaced
//   since (by a link or another directory) is never used for a name it no
//   longer has: the name is then walked again from the root;
// - the drive's directory itself stays open while it is still the object
//   its path names.
//
// Memory and descriptors grow with the depth of the last name only.
#pragma once

#include "winapi/files/file_paths.h"

namespace winapi {

// Resolves `parsed` below the directories the last name passed through (or
// the drive's root), as ResolveBelowRoot does while directory links are
// refused. Returns false for a name it does not take (the drive's root
// itself, `.` or `..` components), which the caller resolves from the root;
// otherwise true with the result in `*error` and `*out`.
bool ResolveThroughRecentDirectories(const FileName& parsed, FinalLink finalLink, ResolvedPath* out, DWORD* error);

// Closes them all.
void ForgetRecentDirectories();

}  // namespace winapi
