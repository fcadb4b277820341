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
    const std::wstring& server = m_engine->m_serverName;
    return WalkAces(aclType, [&](const ACE_HEADER* ace, AceWalk& walk) -> DWORD {
        const tavrik::AceSidPlace place = tavrik::LocateAceSid(ace);
        if (place.offset == 0) return RTN_OK;  // a type that holds no SID we know of
        PSID aceSid = tavrik::AceSid(ace);
        if (!aceSid || !IsValidSid(aceSid)) return RTN_ERR_READ_ACL;
        if (ace->AceFlags & INHERITED_ACE) return RTN_OK;

        WCHAR name[1024] = {};
        WCHAR domain[1024] = {};
        DWORD nameSize = 1024, domainSize = 1024;
        SID_NAME_USE use = SidTypeUnknown;
        if (!LookupAccountSidW(server.empty() ? nullptr : server.c_str(), aceSid, name, &nameSize, domain,
                               &domainSize, &use)) {
            return RTN_OK;
        }
        name[1023] = domain[1023] = L'\0';
        if (use == SidTypeDeletedAccount || use == SidTypeInvalid || use == SidTypeUnknown) return RTN_OK;
        if (name[0] == L'\0' || domain[0] == L'\0') return RTN_OK;

        for (CDomain* entry : m_engine->m_domains) {
            if (!entry->m_active || !tavrik::EqualsNoCase(entry->m_name, domain)) continue;
            if (entry->m_flags & TRUSTEE_REMOVE) return DeleteWalkedAce(walk);
            if (!entry->m_newDomain || entry->m_newDomain->m_name.empty()) return RTN_ERR_PARAMETER;

            const std::wstring& targetDomain = entry->m_newDomain->m_name;
            CTrustee counterpart(targetDomain + L"\\" + name, FALSE, 0, 0, 0);
            if (counterpart.Resolve() != RTN_OK) {
                ++m_accountsNotFound;
                m_engine->OutputMessage(L"   Account <" + std::wstring(name) + L"> was not found in domain <" +
                                        targetDomain + L">.");
                continue;
            }
            // The same account in the same domain: a copy would add the same
            // entry again.
            if ((entry->m_flags & TRUSTEE_COPY) && !(entry->m_flags & TRUSTEE_REPLACE) &&
                EqualSid(aceSid, counterpart.m_sid)) {
                return RTN_OK;
            }
            return RewriteWalkedAce(walk, entry->m_flags, counterpart.m_sid);
        }
        return RTN_OK;
    });
}
