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
    return WalkAces(aclType, [&](const ACE_HEADER* ace, AceWalk& walk) {
        const bool anySet = (ace->AceFlags & flags) != 0;
        return anySet == (matchSet != FALSE) ? DeleteWalkedAce(walk) : RTN_OK;
    });
}
