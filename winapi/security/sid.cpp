// Binary SIDs: validation, length, copying, comparison and construction.
#include <cstring>

#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

namespace {

// A SID we may read: revision 1 and no more than 15 sub-authorities. A
// caller-supplied SID carries no length of its own, so this is all that can
// be checked.
bool Valid(const void* sid) {
    return winapi::CheckedSidLength(static_cast<const BYTE*>(sid), SECURITY_MAX_SID_SIZE) != 0;
}

}  // namespace

BOOL IsValidSid(PSID pSid) {
    if (!Valid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    return TRUE;
}

DWORD GetLengthSid(PSID pSid) {
    if (!Valid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return 0;
    }
    return GetSidLengthRequired(static_cast<const BYTE*>(pSid)[1]);
}

DWORD GetSidLengthRequired(BYTE nSubAuthorityCount) {
    return static_cast<DWORD>(winapi::kSidHeaderSize + nSubAuthorityCount * sizeof(DWORD));
}

BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
    if (!Valid(pSourceSid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    const DWORD length = GetLengthSid(pSourceSid);
    if (nDestinationSidLength < length || pDestinationSid == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memmove(pDestinationSid, pSourceSid, length);
    return TRUE;
}

BOOL EqualSid(PSID pSid1, PSID pSid2) {
    if (!Valid(pSid1) || !Valid(pSid2)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    // A clean last error tells "not equal" apart from "not comparable".
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetLengthSid(pSid1);
    return length == GetLengthSid(pSid2) && std::memcmp(pSid1, pSid2, length) == 0;
}

BOOL InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount) {
    if (Sid == nullptr || pIdentifierAuthority == nullptr || nSubAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* bytes = static_cast<BYTE*>(Sid);
    bytes[0] = SID_REVISION;
    bytes[1] = nSubAuthorityCount;
    std::memcpy(bytes + 2, pIdentifierAuthority->Value, sizeof pIdentifierAuthority->Value);
    return TRUE;
}

// Windows returns the address unchecked; we refuse an index beyond the
// SID's own count, since the caller would write through the result.
PDWORD GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
    auto* bytes = static_cast<BYTE*>(pSid);
    if (bytes == nullptr || nSubAuthority >= bytes[1] || nSubAuthority >= SID_MAX_SUB_AUTHORITIES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<PDWORD>(bytes + winapi::kSidHeaderSize + nSubAuthority * sizeof(DWORD));
}

BYTE* GetSidSubAuthorityCount(PSID pSid) {
    if (pSid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return &static_cast<PISID>(pSid)->SubAuthorityCount;
}
