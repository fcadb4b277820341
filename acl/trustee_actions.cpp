// Trustee actions: the explicit ACEs of the accounts in the job's trustee
// list are removed, moved to another account or copied for it.
#include "acl/ace_sid.h"
#include "acl/trustee.h"
#include "engine/tavrik.h"
#include "objects/csd.h"

DWORD CSD::ApplyTrusteeActions(DWORD aclType) {
    PACL* list = AclOf(aclType);
    if (!list) return RTN_ERR_PARAMETER;
    if (!*list) return RTN_OK;

    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(*list, &size, sizeof(size), AclSizeInformation)) {
        m_lastError = GetLastError();
        return RTN_ERR_READ_ACL;
    }
    DWORD count = size.AceCount;
    for (DWORD i = 0; i < count; ++i) {
        void* raw = nullptr;
        if (!GetAce(*list, i, &raw)) {
            m_lastError = GetLastError();
            return RTN_ERR_READ_ACL;
        }
        const auto* ace = static_cast<const ACE_HEADER*>(raw);
        if (ace->AceFlags & INHERITED_ACE) continue;
        // An ACE of a type without a readable SID belongs to no trustee.
        PSID aceSid = tavrik::AceSid(ace);
        if (!aceSid) continue;

        for (CTrustee* trustee : m_engine->m_trustees) {
            if (!trustee->m_active || !trustee->m_sid || !EqualSid(aceSid, trustee->m_sid)) continue;
            if (trustee->m_flags & TRUSTEE_REMOVE) {
                if (!DeleteAce(*list, i)) {
                    m_lastError = GetLastError();
                    return RTN_ERR_DELETE_ACE;
                }
                --count;
                --i;
            } else if (trustee->m_flags & (TRUSTEE_REPLACE | TRUSTEE_COPY)) {
                // A replacement trustee without a SID gives nothing to build
                // with: the ACE stays as it is.
                PSID newSid = trustee->m_newTrustee ? trustee->m_newTrustee->m_sid : nullptr;
                if (!newSid) break;
                const bool replace = (trustee->m_flags & TRUSTEE_REPLACE) != 0;
                PACL rebuilt = replace ? ReplaceAceSid(*list, i, newSid) : CopyAceWithSid(*list, i, newSid);
                if (!rebuilt) {
                    m_lastError = GetLastError();
                    return RTN_ERR_CHANGE_ACE;
                }
                InstallAcl(aclType, rebuilt);
                if (!replace) ++count;
            }
            break;  // the first matching entry decides
        }
    }
    return RTN_OK;
}
