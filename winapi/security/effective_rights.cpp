// GetEffectiveRightsFromAclW: the rights a DACL grants an account that is
// not the caller, through the same access check every open performs, with
// the token the network would give that account.
#include <cstring>

#include "winapi/machine/group_members.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/security/access_check.h"
#include "winapi/security/bytes.h"
#include "winapi/security/trustee_sid.h"
#include "winapi/win32.h"

using winapi::Bytes;

DWORD GetEffectiveRightsFromAclW(PACL pacl, PTRUSTEE_W pTrustee, PACCESS_MASK pAccessRights) {
    if (pTrustee == nullptr || pAccessRights == nullptr) return ERROR_INVALID_PARAMETER;
    return winapi::machine::GuardedCall([&]() -> DWORD {
        // A group of trustees has no single SID to check the DACL for.
        if (pTrustee->pMultipleTrustee != nullptr || pTrustee->MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE)
            return ERROR_INVALID_PARAMETER;
        Bytes sid;
        if (DWORD error = winapi::TrusteeSid(*pTrustee, &sid)) return error;
        if (pacl != nullptr && !IsValidAcl(pacl)) return ERROR_INVALID_ACL;
        // A self-relative descriptor holding the DACL alone: no owner, so
        // only the entries speak (as the API promises), and a null `pacl`
        // is a NULL DACL, open to everyone.
        const size_t aclSize = pacl == nullptr ? 0 : pacl->AclSize;
        Bytes descriptor(20 + aclSize, 0);
        descriptor[0] = SECURITY_DESCRIPTOR_REVISION;
        const WORD control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
        descriptor[2] = static_cast<BYTE>(control & 0xFF);
        descriptor[3] = static_cast<BYTE>(control >> 8);
        if (pacl != nullptr) {
            descriptor[16] = 20;
            std::memcpy(descriptor.data() + 20, pacl, aclSize);
        }
        // Generic rights stay generic: the API knows no object type.
        GENERIC_MAPPING unchanged = {GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL};
        const winapi::AccessToken token = winapi::machine::AccountToken(sid);
        ACCESS_MASK granted = 0;
        const DWORD result = winapi::CheckAccess(descriptor.data(), descriptor.size(), token, MAXIMUM_ALLOWED,
                                                 unchanged, false, &granted);
        if (result == ERROR_ACCESS_DENIED) {
            granted = 0;
        } else if (result != ERROR_SUCCESS) {
            return result;
        }
        *pAccessRights = granted;
        return ERROR_SUCCESS;
    });
}
