// ACLs: creation, validation, adding, removing and reading ACEs.
#include <algorithm>
#include <cstring>

#include "winapi/security/bytes.h"
#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

using winapi::kAceHeaderSize;
using winapi::kAclHeaderSize;
using winapi::ReadWord;
using winapi::WriteWord;

namespace {

struct AclHeader {
    BYTE revision;
    size_t size;
    size_t count;
};

AclHeader ReadHeader(const void* acl) {
    const auto* p = static_cast<const BYTE*>(acl);
    return {p[0], ReadWord(p + 2), ReadWord(p + 4)};
}

bool KnownRevision(DWORD revision) { return revision >= MIN_ACL_REVISION && revision <= MAX_ACL_REVISION; }

// An ACL we may modify: the whole structure checks out against its own size.
bool ValidAcl(const void* acl) {
    return acl != nullptr &&
           winapi::CheckedAclValid(static_cast<const BYTE*>(acl), ReadHeader(acl).size);
}

// Revision an ACL needs to hold an ACE of this type.
BYTE RevisionFor(BYTE aceType) {
    if (winapi::HasObjectAceLayout(aceType)) return ACL_REVISION_DS;
    if (aceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE) return ACL_REVISION3;
    return ACL_REVISION2;
}

// Whether the ACEs of a caller's list cover it exactly, each with a
// DWORD-multiple size; counts them and finds the revision they need.
bool TileAceList(const BYTE* list, size_t length, size_t* count, BYTE* needed) {
    size_t at = 0;
    *count = 0;
    while (at < length) {
        const size_t left = length - at;
        if (left < kAceHeaderSize) return false;
        const size_t aceSize = ReadWord(list + at + 2);
        if (aceSize < kAceHeaderSize || aceSize % sizeof(DWORD) != 0 || aceSize > left) return false;
        *needed = std::max(*needed, RevisionFor(list[at]));
        at += aceSize;
        ++*count;
    }
    return true;
}

void RaiseRevision(BYTE* acl, DWORD revision) { acl[0] = std::max<BYTE>(acl[0], static_cast<BYTE>(revision)); }

// The Ex functions take inheritance flags only: audit flags come through
// their own arguments.
bool OnlyInheritFlags(DWORD aceFlags) {
    if ((aceFlags & ~static_cast<DWORD>(VALID_INHERIT_FLAGS)) == 0) return true;
    SetLastError(ERROR_INVALID_FLAGS);
    return false;
}

// Appends one ACE with the basic layout (header, mask, SID).
BOOL AddKnownAce(PACL pAcl, DWORD dwAceRevision, DWORD aceFlags, ACCESS_MASK mask, PSID pSid, BYTE aceType) {
    if (!ValidAcl(pAcl)) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    if (!IsValidSid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    if (!KnownRevision(dwAceRevision)) {
        SetLastError(ERROR_REVISION_MISMATCH);
        return FALSE;
    }
    if (aceFlags & ~static_cast<DWORD>(VALID_INHERIT_FLAGS | SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    const AclHeader header = ReadHeader(acl);
    const size_t sidLength = GetLengthSid(pSid);
    const size_t aceSize = kAceHeaderSize + sizeof(ACCESS_MASK) + sidLength;
    const size_t freeAt = winapi::CheckedAceOffset(acl, header.size, header.count);
    if (header.count == MAXWORD || header.size - freeAt < aceSize) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    BYTE* ace = acl + freeAt;
    ace[0] = aceType;
    ace[1] = static_cast<BYTE>(aceFlags);
    WriteWord(ace + 2, static_cast<WORD>(aceSize));
    winapi::WriteDword(ace + 4, mask);
    std::memcpy(ace + 8, pSid, sidLength);
    WriteWord(acl + 4, static_cast<WORD>(header.count + 1));
    RaiseRevision(acl, dwAceRevision);
    return TRUE;
}

}  // namespace

BOOL InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    if (pAcl == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (nAclLength < kAclHeaderSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!KnownRevision(dwAclRevision)) {
        SetLastError(ERROR_REVISION_MISMATCH);
        return FALSE;
    }
    if (nAclLength > MAXWORD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The recorded size never exceeds the buffer: an unaligned length is
    // rounded down, so every ACE stays DWORD-aligned.
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    std::memset(acl, 0, kAclHeaderSize);
    acl[0] = static_cast<BYTE>(dwAclRevision);
    WriteWord(acl + 2, static_cast<WORD>(nAclLength & ~DWORD{3}));
    return TRUE;
}

BOOL IsValidAcl(PACL pAcl) {
    if (!ValidAcl(pAcl)) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    return TRUE;
}

BOOL AddAce(PACL pAcl, DWORD dwAceRevision, DWORD dwStartingAceIndex, LPVOID pAceList, DWORD nAceListLength) {
    if (!ValidAcl(pAcl) || !KnownRevision(dwAceRevision) || (pAceList == nullptr && nAceListLength != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (nAceListLength == 0) return TRUE;
    const auto* list = static_cast<const BYTE*>(pAceList);
    size_t added = 0;
    BYTE needed = ACL_REVISION2;
    if (!TileAceList(list, nAceListLength, &added, &needed)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    const AclHeader header = ReadHeader(acl);
    const BYTE revision = std::max<BYTE>(needed, header.revision);
    if (dwAceRevision < needed || header.count + added > MAXWORD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The result must still be a valid ACL, SIDs included, so check the list
    // as if it were the body of one.
    {
        const size_t probeSize = kAclHeaderSize + nAceListLength;
        if (probeSize > MAXWORD) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        winapi::Bytes probe(probeSize);
        probe[0] = revision;
        WriteWord(probe.data() + 2, static_cast<WORD>(probeSize));
        WriteWord(probe.data() + 4, static_cast<WORD>(added));
        std::memcpy(probe.data() + kAclHeaderSize, list, nAceListLength);
        if (!winapi::CheckedAclValid(probe.data(), probe.size())) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    const size_t freeAt = winapi::CheckedAceOffset(acl, header.size, header.count);
    if (header.size - freeAt < nAceListLength) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const size_t index = std::min<size_t>(dwStartingAceIndex, header.count);
    const size_t insertAt = winapi::CheckedAceOffset(acl, header.size, index);
    std::memmove(acl + insertAt + nAceListLength, acl + insertAt, freeAt - insertAt);
    std::memcpy(acl + insertAt, list, nAceListLength);
    WriteWord(acl + 4, static_cast<WORD>(header.count + added));
    RaiseRevision(acl, std::max<DWORD>(dwAceRevision, revision));
    return TRUE;
}

BOOL AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return AddKnownAce(pAcl, dwAceRevision, 0, AccessMask, pSid, ACCESS_ALLOWED_ACE_TYPE);
}

BOOL AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
    if (!OnlyInheritFlags(AceFlags)) return FALSE;
    return AddKnownAce(pAcl, dwAceRevision, AceFlags, AccessMask, pSid, ACCESS_ALLOWED_ACE_TYPE);
}

BOOL AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    return AddKnownAce(pAcl, dwAceRevision, 0, AccessMask, pSid, ACCESS_DENIED_ACE_TYPE);
}

BOOL AddAccessDeniedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
    if (!OnlyInheritFlags(AceFlags)) return FALSE;
    return AddKnownAce(pAcl, dwAceRevision, AceFlags, AccessMask, pSid, ACCESS_DENIED_ACE_TYPE);
}

BOOL AddAuditAccessAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD dwAccessMask, PSID pSid,
                         BOOL bAuditSuccess, BOOL bAuditFailure) {
    if (!OnlyInheritFlags(AceFlags)) return FALSE;
    if (bAuditSuccess) AceFlags |= SUCCESSFUL_ACCESS_ACE_FLAG;
    if (bAuditFailure) AceFlags |= FAILED_ACCESS_ACE_FLAG;
    return AddKnownAce(pAcl, dwAceRevision, AceFlags, dwAccessMask, pSid, SYSTEM_AUDIT_ACE_TYPE);
}

BOOL DeleteAce(PACL pAcl, DWORD dwAceIndex) {
    if (pAcl == nullptr || !KnownRevision(ReadHeader(pAcl).revision) || dwAceIndex >= ReadHeader(pAcl).count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    const AclHeader header = ReadHeader(acl);
    const size_t at = winapi::CheckedAceOffset(acl, header.size, dwAceIndex);
    const size_t next = winapi::CheckedAceOffset(acl, header.size, dwAceIndex + 1);
    const size_t freeAt = winapi::CheckedAceOffset(acl, header.size, header.count);
    if (at == 0 || next == 0 || freeAt == 0) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    std::memmove(acl + at, acl + next, freeAt - next);
    std::memset(acl + freeAt - (next - at), 0, next - at);
    WriteWord(acl + 4, static_cast<WORD>(header.count - 1));
    return TRUE;
}

BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
    if (pAcl == nullptr || pAce == nullptr || !KnownRevision(ReadHeader(pAcl).revision) ||
        dwAceIndex >= ReadHeader(pAcl).count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* acl = reinterpret_cast<BYTE*>(pAcl);
    const AclHeader header = ReadHeader(acl);
    // The ACE itself must lie inside the ACL too, not only its start.
    if (winapi::CheckedAceOffset(acl, header.size, dwAceIndex + 1) == 0) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    *pAce = acl + winapi::CheckedAceOffset(acl, header.size, dwAceIndex);
    return TRUE;
}

BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                       ACL_INFORMATION_CLASS dwAclInformationClass) {
    if (pAcl == nullptr || pAclInformation == nullptr || !KnownRevision(ReadHeader(pAcl).revision)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const AclHeader header = ReadHeader(pAcl);
    switch (dwAclInformationClass) {
        case AclRevisionInformation: {
            if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            static_cast<PACL_REVISION_INFORMATION>(pAclInformation)->AclRevision = header.revision;
            return TRUE;
        }
        case AclSizeInformation: {
            if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            const size_t freeAt =
                winapi::CheckedAceOffset(reinterpret_cast<const BYTE*>(pAcl), header.size, header.count);
            if (freeAt == 0) {
                SetLastError(ERROR_INVALID_ACL);
                return FALSE;
            }
            auto* info = static_cast<PACL_SIZE_INFORMATION>(pAclInformation);
            info->AceCount = static_cast<DWORD>(header.count);
            info->AclBytesInUse = static_cast<DWORD>(freeAt);
            info->AclBytesFree = static_cast<DWORD>(header.size - freeAt);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
