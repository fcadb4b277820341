// A deep copy of one ACE entry with a trustee of its own.
#include "acl/ace.h"
#include "engine/tavrik.h"

CACE* CTavrik::CloneACE(const CACE* entry) {
    if (!entry || !entry->m_trustee) return nullptr;
    const CTrustee& source = *entry->m_trustee;
    auto* trustee = new CTrustee(source.m_name, source.m_isSid, source.m_flags, source.m_active, source.m_extra);
    if (source.m_sid) {
        trustee->m_sid = DuplicateSid(source.m_sid);
        if (!trustee->m_sid) {
            delete trustee;
            return nullptr;
        }
    }
    auto* clone = new CACE(trustee, entry->m_permissions, entry->m_inheritance, entry->m_inheritanceGiven,
                           entry->m_accessMode, entry->m_aclType);
    clone->m_accessMask = entry->m_accessMask;
    if (clone->m_aclType == ACL_DACL) ++m_daclAceCount;
    if (clone->m_aclType == ACL_SACL) ++m_saclAceCount;
    return clone;
}
