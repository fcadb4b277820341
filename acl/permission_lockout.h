// Whether a descriptor about to be written still lets someone who looks
// after the object change its permissions.
#pragma once

#include <string>

#include "winapi/win32.h"

namespace tavrik {

// True when, with `dacl` as the object's DACL and `owner` as its owner, one
// of these accounts can still change the DACL:
//  - SYSTEM, BUILTIN\Administrators, the Unix root account (S-1-22-1-0: a
//    descriptor derived from a Linux file's mode grants full control to the
//    file's owner, usually root, and to no Windows account), or the owner,
//    through an allow entry granting WRITE_DAC or full control (GENERIC_ALL)
//    that applies to the object itself (not inherit-only) and is not
//    preceded by a deny of WRITE_DAC to the same account, to Everyone or to
//    another group that account always belongs to (as the access check
//    reads the list: the first entry that speaks of the right decides).
//    Entries for OWNER RIGHTS count as the owner's; entries that came from
//    CREATOR OWNER carry the owner's SID and count the same way;
//  - the owner through its implicit READ_CONTROL and WRITE_DAC, which no
//    deny takes away and which only entries for OWNER RIGHTS replace.
// A NULL DACL lets everyone do everything.
bool LeavesPermissionsChangeable(PACL dacl, PSID owner);

// Why a DACL with `owner` fails the test above, as a sentence for a person.
std::wstring LockoutReason(PSID owner);

}  // namespace tavrik
