// Domain actions: the explicit ACEs of every account of a listed domain are
// removed, moved to the account of the same name in the target domain, or
// copied for it.
#include "acl/ace_sid.h"
#include "acl/domain.h"
#include "acl/trustee.h"
#include "engine/tavrik.h"
#include "engine/text.h"
#include "objects/csd.h"

DWORD CSD::ApplyDomainActions(DWORD aclType) {
    PACL* list = AclOf(aclType);
    if (!list) return RTN_ERR_PARAMETER;
    if (!*list) return RTN_OK;

    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(*list, &size, sizeof(size), AclSizeInformation)) {
        m_lastError = GetLastError();
        return RTN_ERR_READ_ACL;
    }
    const std::wstring& server = m_engine->m_serverName;
    DWORD count = size.AceCount;
    for (DWORD i = 0; i < count; ++i) {
        void* raw = nullptr;
        if (!GetAce(*list, i, &raw)) {
            m_lastError = GetLastError();
            return RTN_ERR_READ_ACL;
        }
        const auto* ace = static_cast<const ACE_HEADER*>(raw);
        const tavrik::AceSidPlace place = tavrik::LocateAceSid(ace);
        if (place.offset == 0) continue;  // a type that holds no SID we know of
        PSID aceSid = tavrik::AceSid(ace);
        if (!aceSid || !IsValidSid(aceSid)) return RTN_ERR_READ_ACL;
        if (ace->AceFlags & INHERITED_ACE) continue;

        WCHAR name[1024] = {};
        WCHAR domain[1024] = {};
        DWORD nameSize = 1024, domainSize = 1024;
        SID_NAME_USE use = SidTypeUnknown;
        if (!LookupAccountSidW(server.empty() ? nullptr : server.c_str(), aceSid, name, &nameSize, domain,
                               &domainSize, &use)) {
            continue;
        }
        name[1023] = domain[1023] = L'\0';
        if (use == SidTypeDeletedAccount || use == SidTypeInvalid || use == SidTypeUnknown) continue;
        if (name[0] == L'\0' || domain[0] == L'\0') continue;

        for (CDomain* entry : m_engine->m_domains) {
            if (!entry->m_active || !tavrik::EqualsNoCase(entry->m_name, domain)) continue;
            if (entry->m_flags & TRUSTEE_REMOVE) {
                if (!DeleteAce(*list, i)) {
                    m_lastError = GetLastError();
                    return RTN_ERR_DELETE_ACE;
                }
                --count;
                --i;
                break;
            }
            if (!entry->m_newDomain || entry->m_newDomain->m_name.empty()) return RTN_ERR_PARAMETER;

            const std::wstring& targetDomain = entry->m_newDomain->m_name;
            CTrustee counterpart(targetDomain + L"\\" + name, FALSE, 0, 0, 0);
            if (counterpart.Resolve() != RTN_OK) {
                m_engine->OutputMessage(L"   Account <" + std::wstring(name) + L"> was not found in domain <" +
                                        targetDomain + L">.");
                continue;
            }
            PACL rebuilt = nullptr;
            if (entry->m_flags & TRUSTEE_REPLACE) {
                rebuilt = ReplaceAceSid(*list, i, counterpart.m_sid);
            } else if (entry->m_flags & TRUSTEE_COPY) {
                rebuilt = CopyAceWithSid(*list, i, counterpart.m_sid);
            } else {
                break;
            }
            if (!rebuilt) {
                m_lastError = GetLastError();
                return RTN_ERR_CHANGE_ACE;
            }
            InstallAcl(aclType, rebuilt);
            if (!(entry->m_flags & TRUSTEE_REPLACE)) ++count;
            break;
        }
    }
    return RTN_OK;
}
