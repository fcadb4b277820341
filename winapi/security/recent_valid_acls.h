// ACL validation that remembers: a tree's objects hold the same few lists,
// and a job validates each object's list at its read, its conversion to
// absolute form and its write. The lists this thread found valid lately are
// kept, byte for byte, and a list equal to one of them passes without its
// entries being walked again. Validity depends on nothing but those bytes.
#pragma once

#include <cstddef>

#include "winapi/types.h"

namespace winapi {

// CheckedAclValid(acl, available), answered from the lists found valid
// lately when the ACL's AclSize bytes (within `available`) equal one of
// them.
bool AclValidAsRecently(const BYTE* acl, size_t available);

}  // namespace winapi
