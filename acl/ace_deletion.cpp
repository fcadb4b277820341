// Deleting ACEs by their flags, in place: the inherited ones (protection
// with removal) or the explicit ones (clearing an ACL).
#include "engine/tavrik.h"
#include "objects/csd.h"

PACL* CSD::AclOf(DWORD aclType) {
    if (aclType == ACL_DACL) return &m_dacl;
    if (aclType == ACL_SACL) return &m_sacl;
    return nullptr;
}

void CSD::InstallAcl(DWORD aclType, PACL acl) {
    if (aclType == ACL_DACL) {
        FreeDacl();
        m_dacl = acl;
        m_ownsDacl = TRUE;
    } else {
        FreeSacl();
        m_sacl = acl;
        m_ownsSacl = TRUE;
    }
}

DWORD CSD::DeleteAcesByFlags(DWORD aclType, BYTE flags, BOOL matchSet) {
    PACL* list = AclOf(aclType);
    if (!list) return RTN_ERR_PARAMETER;
    PACL acl = *list;
    if (!acl) return RTN_OK;

    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(acl, &size, sizeof(size), AclSizeInformation)) {
        m_lastError = GetLastError();
        return RTN_ERR_READ_ACL;
    }
    for (DWORD index = 0; index < size.AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(acl, index, &ace)) {
            m_lastError = GetLastError();
            return RTN_ERR_READ_ACL;
        }
        const bool anySet = (static_cast<ACE_HEADER*>(ace)->AceFlags & flags) != 0;
        if (anySet == (matchSet != FALSE)) {
            if (!DeleteAce(acl, index)) {
                m_lastError = GetLastError();
                return RTN_ERR_DELETE_ACE;
            }
            --size.AceCount;
            --index;  // the next ACE has moved into this place
        }
    }
    return RTN_OK;
}
