// The job: construction, destruction and the configuration operations.
#include "engine/tavrik.h"

#include "acl/ace.h"
#include "acl/domain.h"
#include "acl/trustee.h"

namespace {

bool IsValidAction(DWORD action) {
    switch (action) {
        case ACTION_ADD_ACE:
        case ACTION_LIST:
        case ACTION_SET_OWNER:
        case ACTION_SET_GROUP:
        case ACTION_CLEAR_DACL:
        case ACTION_CLEAR_SACL:
        case ACTION_SET_PROTECTION:
        case ACTION_RESET_CHILDREN:
        case ACTION_RESTORE:
        case ACTION_TRUSTEE:
        case ACTION_DOMAIN:
            return true;
        default:
            return false;
    }
}

bool IsValidAccessMode(DWORD aclType, DWORD accessMode) {
    if (aclType == ACL_DACL) return accessMode >= GRANT_ACCESS && accessMode <= REVOKE_ACCESS;
    if (aclType == ACL_SACL) {
        return accessMode == REVOKE_ACCESS || accessMode == SET_AUDIT_SUCCESS || accessMode == SET_AUDIT_FAILURE ||
               accessMode == AUDIT_SUCCESS_AND_FAILURE;
    }
    return false;
}

constexpr DWORD kTrusteeActionBits = TRUSTEE_REPLACE | TRUSTEE_REMOVE | TRUSTEE_COPY;

}  // namespace

CTavrik::CTavrik(MessageCallback callback)
    : m_messageCallback(std::move(callback)), m_ownerTrustee(new CTrustee()), m_groupTrustee(new CTrustee()) {}

CTavrik::~CTavrik() {
    EnablePrivilege(SE_BACKUP_NAME, FALSE);
    EnablePrivilege(SE_RESTORE_NAME, FALSE);
    EnablePrivilege(SE_SECURITY_NAME, FALSE);
    EnablePrivilege(SE_TAKE_OWNERSHIP_NAME, FALSE);

    delete m_ownerTrustee;
    delete m_groupTrustee;
    for (CACE* entry : m_aces) delete entry;
    m_aces.clear();
    for (CTrustee* trustee : m_trustees) {
        delete trustee->m_newTrustee;
        delete trustee;
    }
    m_trustees.clear();
    for (CDomain* domain : m_domains) {
        delete domain->m_newDomain;
        delete domain;
    }
    m_domains.clear();
    m_filters.clear();
    if (m_backupFile) {
        fclose(m_backupFile);
        m_backupFile = nullptr;
    }
    if (m_logFile) {
        fclose(m_logFile);
        m_logFile = nullptr;
    }
}

DWORD CTavrik::SetAction(DWORD action) {
    if (!IsValidAction(action)) return RTN_ERR_PARAMETER;
    m_actions |= action;
    return RTN_OK;
}

DWORD CTavrik::AddACE(std::wstring trustee, BOOL trusteeIsSid, std::wstring permissions, DWORD inheritance,
                      BOOL inheritanceGiven, DWORD accessMode, DWORD aclType) {
    if (trustee.empty()) {
        OutputMessage(L"ERROR: AddACE: No trustee specified.");
        return RTN_ERR_PARAMETER;
    }
    if (inheritanceGiven && inheritance > 0xF) {
        OutputMessage(L"ERROR: AddACE: Invalid inheritance specified.");
        return RTN_ERR_PARAMETER;
    }
    if (!IsValidAccessMode(aclType, accessMode)) {
        OutputMessage(L"ERROR: AddACE: Invalid access mode for this ACL type specified.");
        return RTN_ERR_PARAMETER;
    }
    auto* entry = new CACE(new CTrustee(std::move(trustee), trusteeIsSid, 1, 0, 0), std::move(permissions),
                           inheritance, inheritanceGiven, accessMode, aclType);
    if (aclType == ACL_DACL) ++m_daclAceCount;
    if (aclType == ACL_SACL) ++m_saclAceCount;
    m_aces.push_back(entry);
    return RTN_OK;
}

DWORD CTavrik::SetOwner(std::wstring trustee, BOOL trusteeIsSid) {
    m_ownerTrustee->m_name = std::move(trustee);
    m_ownerTrustee->m_isSid = trusteeIsSid;
    return RTN_OK;
}

DWORD CTavrik::SetGroup(std::wstring trustee, BOOL trusteeIsSid) {
    m_groupTrustee->m_name = std::move(trustee);
    m_groupTrustee->m_isSid = trusteeIsSid;
    return RTN_OK;
}

DWORD CTavrik::AddTrustee(std::wstring trustee, BOOL trusteeIsSid, std::wstring newTrustee, BOOL newTrusteeIsSid,
                          DWORD flags) {
    if (trustee.empty() || (flags & ~kTrusteeActionBits) != 0) return RTN_ERR_PARAMETER;
    auto* entry = new CTrustee(std::move(trustee), trusteeIsSid, flags, 1, 0);
    entry->m_newTrustee = new CTrustee(std::move(newTrustee), newTrusteeIsSid, 0, 0, 0);
    m_trustees.push_back(entry);
    return RTN_OK;
}

DWORD CTavrik::AddDomain(std::wstring domain, std::wstring newDomain, DWORD flags) {
    if (domain.empty() || (flags & ~kTrusteeActionBits) != 0) return RTN_ERR_PARAMETER;
    auto* entry = new CDomain(std::move(domain), flags, 1, 0);
    if (!newDomain.empty()) entry->m_newDomain = new CDomain(std::move(newDomain), 0, 0, 0);
    m_domains.push_back(entry);
    return RTN_OK;
}

DWORD CTavrik::SetRecursion(DWORD recursion) {
    m_recursion = recursion;
    return RTN_OK;
}

DWORD CTavrik::AddObjectFilter(std::wstring keyword) {
    m_filters.push_back(std::move(keyword));
    return RTN_OK;
}

DWORD CTavrik::SetBackupFile(std::wstring fileName) {
    m_backupFileName = std::move(fileName);
    return RTN_OK;
}
