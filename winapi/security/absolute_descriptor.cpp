// Conversion between the self-relative and absolute descriptor forms, each
// with the sizing call Windows callers make first.
#include <cstring>

#include "winapi/security/descriptor_parts.h"
#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

namespace {

struct Parts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    BYTE sbz1 = 0;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL sacl = nullptr;  // only when SE_SACL_PRESENT
    PACL dacl = nullptr;  // only when SE_DACL_PRESENT
};

// Reads the four parts through the public getters, which understand both
// forms, and rejects damaged SIDs and ACLs so that no copy below can run
// past them.
bool ReadParts(PSECURITY_DESCRIPTOR sd, Parts* parts) {
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorControl(sd, &parts->control, &revision) ||
        !GetSecurityDescriptorOwner(sd, &parts->owner, &defaulted) ||
        !GetSecurityDescriptorGroup(sd, &parts->group, &defaulted) ||
        !GetSecurityDescriptorSacl(sd, &present, &parts->sacl, &defaulted) ||
        !GetSecurityDescriptorDacl(sd, &present, &parts->dacl, &defaulted))
        return false;
    if (!(parts->control & SE_SACL_PRESENT)) parts->sacl = nullptr;
    if (!(parts->control & SE_DACL_PRESENT)) parts->dacl = nullptr;
    parts->sbz1 = static_cast<const BYTE*>(sd)[1];
    if (!IsValidSecurityDescriptor(sd)) return false;
    return true;
}

DWORD SidSize(PSID sid) { return sid == nullptr ? 0 : GetLengthSid(sid); }
DWORD AclSize(PACL acl) { return acl == nullptr ? 0 : acl->AclSize; }

}  // namespace

BOOL MakeAbsoluteSD(PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor,
                    PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor, LPDWORD lpdwAbsoluteSecurityDescriptorSize,
                    PACL pDacl, LPDWORD lpdwDaclSize, PACL pSacl, LPDWORD lpdwSaclSize, PSID pOwner,
                    LPDWORD lpdwOwnerSize, PSID pPrimaryGroup, LPDWORD lpdwPrimaryGroupSize) {
    if (pSelfRelativeSecurityDescriptor == nullptr || lpdwAbsoluteSecurityDescriptorSize == nullptr ||
        lpdwDaclSize == nullptr || lpdwSaclSize == nullptr || lpdwOwnerSize == nullptr ||
        lpdwPrimaryGroupSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* source = static_cast<const BYTE*>(pSelfRelativeSecurityDescriptor);
    if (source[0] != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!(winapi::ReadWord(source + 2) & SE_SELF_RELATIVE)) {
        SetLastError(ERROR_BAD_DESCRIPTOR_FORMAT);
        return FALSE;
    }
    Parts parts;
    if (!ReadParts(pSelfRelativeSecurityDescriptor, &parts)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }

    const DWORD needAbsolute = sizeof(SECURITY_DESCRIPTOR);
    const DWORD needDacl = AclSize(parts.dacl);
    const DWORD needSacl = AclSize(parts.sacl);
    const DWORD needOwner = SidSize(parts.owner);
    const DWORD needGroup = SidSize(parts.group);
    if (*lpdwAbsoluteSecurityDescriptorSize < needAbsolute || *lpdwDaclSize < needDacl ||
        *lpdwSaclSize < needSacl || *lpdwOwnerSize < needOwner || *lpdwPrimaryGroupSize < needGroup) {
        // Every size is reported, so one sizing call is enough.
        *lpdwAbsoluteSecurityDescriptorSize = needAbsolute;
        *lpdwDaclSize = needDacl;
        *lpdwSaclSize = needSacl;
        *lpdwOwnerSize = needOwner;
        *lpdwPrimaryGroupSize = needGroup;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (pAbsoluteSecurityDescriptor == nullptr || (needDacl && pDacl == nullptr) ||
        (needSacl && pSacl == nullptr) || (needOwner && pOwner == nullptr) ||
        (needGroup && pPrimaryGroup == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    auto* absolute = static_cast<PISECURITY_DESCRIPTOR>(pAbsoluteSecurityDescriptor);
    std::memset(absolute, 0, sizeof(SECURITY_DESCRIPTOR));
    absolute->Revision = SECURITY_DESCRIPTOR_REVISION;
    absolute->Sbz1 = parts.sbz1;
    absolute->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(parts.control & ~SE_SELF_RELATIVE);
    if (parts.owner != nullptr) absolute->Owner = std::memcpy(pOwner, parts.owner, needOwner);
    if (parts.group != nullptr) absolute->Group = std::memcpy(pPrimaryGroup, parts.group, needGroup);
    if (parts.sacl != nullptr) absolute->Sacl = static_cast<PACL>(std::memcpy(pSacl, parts.sacl, needSacl));
    if (parts.dacl != nullptr) absolute->Dacl = static_cast<PACL>(std::memcpy(pDacl, parts.dacl, needDacl));
    return TRUE;
}

BOOL MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                        PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor, LPDWORD lpdwBufferLength) {
    if (pAbsoluteSecurityDescriptor == nullptr || lpdwBufferLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* source = static_cast<const BYTE*>(pAbsoluteSecurityDescriptor);
    if (source[0] != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (winapi::ReadWord(source + 2) & SE_SELF_RELATIVE) {
        SetLastError(ERROR_BAD_DESCRIPTOR_FORMAT);
        return FALSE;
    }
    Parts parts;
    if (!ReadParts(pAbsoluteSecurityDescriptor, &parts)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    winapi::Bytes built = winapi::BuildSelfRelative(parts.control, static_cast<const SID*>(parts.owner),
                                                    static_cast<const SID*>(parts.group), parts.sacl, parts.dacl);
    built[1] = parts.sbz1;
    if (*lpdwBufferLength < built.size()) {
        *lpdwBufferLength = static_cast<DWORD>(built.size());
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (pSelfRelativeSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(pSelfRelativeSecurityDescriptor, built.data(), built.size());
    return TRUE;
}
