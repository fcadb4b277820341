// Descriptors of files and directories by name, for the named-object
// security calls (GetNamedSecurityInfoW, SetNamedSecurityInfoW).
#pragma once

#include <string>

#include "winapi/files/file_paths.h"
#include "winapi/security/bytes.h"
#include "winapi/security.h"

namespace winapi {

// Reads the whole self-relative descriptor of a file or directory named in
// any of Windows' forms (C:\x, \\?\C:\x, \\server\share\x, \\?\UNC\...).
// The access check asks for what `info` needs. Returns a Win32 error code.
DWORD GetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, Bytes* sd);

// Reads the descriptor as the object holds it, before whatever a recursive
// walk's deferred propagation still owes it (deferred_propagation.h), which
// GetFileSecurityByName includes: what an object was before a job's change
// of a directory above it reached it. Not a Win32 call. Returns a Win32
// error.
DWORD GetStoredFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, Bytes* sd);

// Writes the parts of `info`, keeping Windows' inheritance rules and
// propagating inheritable changes to the descendants. Returns a Win32 error.
DWORD SetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                            PACL sacl);

// Writes the parts of `info` as the self-relative `sd` holds them, with its
// protection and auto-inherited flags; a SACL `sd` lacks (or holds as NULL)
// is removed. A list marked auto-inherited (and not protected) takes its
// inherited entries from its directory as it is now, unless an announced
// walk wrote that directory just before (a restore putting a directory back
// and then what its change reached): then it is stored as it stands too.
// On a plain drive a result that is the mode-derived descriptor removes the
// attribute. As with every write of a directory here, what it hands down
// then reaches the objects below it (SetFileSecurityW on Windows leaves
// them as they are): a child must not keep inheriting from a descriptor
// its directory lost.
// Returns a Win32 error.
DWORD StoreFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, const Bytes& sd);

// For the readers of a recursive walk: `sd`, just read from `object`,
// becomes what it reads as once the deferred propagation its directory
// owes it is done (deferred_propagation.h). Unchanged when none is owed.
// False when `sd` became the mode-derived descriptor the propagation would
// leave, which is not what a write of the object works from (that is
// what the owed entries give the descriptor read).
bool InheritOwed(const ResolvedPath& object, Bytes* sd);

// For the readers of a recursive walk: `object` could not be read (a
// damaged attribute). When its directory's deferred propagation still owes
// it, the failure is named to the host as that propagation would have.
void NoteOwedReadFailure(const ResolvedPath& object, DWORD error);

// A search of `directory` (named `name`) starts: the propagation its own
// directory owes it is written now, and what it owes its children is
// deferred in turn.
void BringListedDirectoryUpToDate(const ResolvedPath& directory, const std::wstring& name,
                                  const machine::Drive& drive);

}  // namespace winapi
