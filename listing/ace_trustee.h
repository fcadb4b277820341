// Where the trustee SID of an ACE lives. The basic layouts keep it right
// behind the access mask; object ACEs put a flags word and up to two GUIDs
// in between, and compound ACEs a type word, so reading every ACE at the
// basic position would show part of a GUID as the trustee.
#pragma once

#include "winapi/win32.h"

namespace tavrik {

// Byte offset of the trustee SID from the start of an ACE of `aceType` whose
// object flags word (object layouts only) is `objectFlags`.
DWORD AceTrusteeOffset(BYTE aceType, DWORD objectFlags);

// The trustee SID of `ace`, or null when the ACE is too short to hold it or
// the SID it holds does not fit inside the ACE.
PSID AceTrustee(const ACE_HEADER* ace);

}  // namespace tavrik
