// The account an entry of the access-control API names (TRUSTEE_W), as SID
// bytes: SetEntriesInAclW and GetEffectiveRightsFromAclW both need it.
#pragma once

#include "winapi/security/bytes.h"
#include "winapi/win32.h"

namespace winapi {

// Copies the SID `trustee` names, by SID or by account name (looked up on
// the local computer). ERROR_INVALID_PARAMETER for the other forms,
// ERROR_INVALID_SID for a damaged SID, the lookup's error for an unknown name.
DWORD TrusteeSid(const TRUSTEE_W& trustee, Bytes* sid);

}  // namespace winapi
