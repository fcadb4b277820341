// When a write leaves a file or directory with the descriptor its mode
// already gives it, the layer removes the NTACL attribute instead of
// storing that descriptor, so the object is once more derived from its
// mode (and follows a later chmod), as it was before anything was stored.
//
// Why: an object without the attribute reads as the mode-derived
// descriptor, which carries neither the auto-inherited flag nor entries
// inherited from its directory. Backups and undo files record exactly
// that. Putting such a record back through Windows' write semantics would
// store it with the auto-inherited flag and with what the directory hands
// down, so the object would list differently from before the job. Only the
// layer knows that "no attribute" is a state of its own, and it decides
// from the content alone, so the engine needs no notion Windows lacks.
//
// The rule is deliberately narrow, so that no change a caller asked for is
// ever dropped. The attribute is removed only when the descriptor the write
// produces, compared part by part with the mode-derived one, differs in
// nothing but:
// - the auto-inherited flag, which only says that Windows' inheritance
//   rules made the descriptor, and
// - entries inherited from a directory whose own descriptor is its
//   mode-derived one. Those restate the directory's mode for whatever is
//   created in it; they never stood for a decision anybody stored. Entries
//   inherited from a directory with a descriptor of its own (a stored one)
//   are real, and keep the attribute: such a write is stored as Windows
//   would store it.
// Owner, group, every explicit entry and its order, the protection bits and
// the SACL (none, or an empty unprotected one) must match.
//
// Shares that smbd serves with acl_xattr are left out: there, an object
// without the attribute reads as smbd derives it from the POSIX ACLs, which
// the write itself rewrote, and smbd never removes the attribute on an SMB
// security change either; the layer writes there exactly as smbd does.
#pragma once

#include <sys/stat.h>

#include "winapi/machine/machine.h"
#include "winapi/security/bytes.h"

namespace winapi {

// Whether `sd` is, byte for byte, the descriptor a directory without the
// attribute reads as, for some mode, under its own owner and group.
bool IsModeDerivedDirectoryDescriptor(const Bytes& sd);

// Whether `result`, the descriptor the object `status` describes is about
// to read as, is the one its mode gives, the auto-inherited flag aside and,
// when `inheritedAllowed`, followed by inherited entries.
bool MatchesModeDerived(const Bytes& result, const struct stat& status, bool inheritedAllowed);

// Whether the object `status` describes, about to read as `result`, is to
// keep no attribute instead (see above). `parentModeDerived()` says whether
// its directory's descriptor is the directory's mode-derived one (false for
// the root of a drive).
template <typename ParentModeDerived>
bool StaysModeDerived(const machine::Drive& drive, const Bytes& result, const struct stat& status,
                      ParentModeDerived&& parentModeDerived) {
    return !drive.samba && MatchesModeDerived(result, status, parentModeDerived());
}

}  // namespace winapi
