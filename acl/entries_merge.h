// Merging a job's entries into an object's ACL.
#pragma once

#include "winapi/win32.h"

namespace tavrik {

// SetEntriesInAclW(count, entries, old, merged), answered from one of the
// last few merges this thread made when the entries (each by its SID's
// bytes) and the old list are byte for byte the same: a recursive job
// merges the same entries into the same few lists on every object. The
// merged list is a new LocalAlloc block either way, which the caller frees.
DWORD MergeEntriesInAcl(ULONG count, EXPLICIT_ACCESS_W* entries, PACL old, PACL* merged);

}  // namespace tavrik
