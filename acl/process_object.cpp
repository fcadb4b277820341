// The engine's work on one object: read the parts the job changes, edit
// them, merge the job's entries and write them back.
#include <cstring>
#include <vector>

#include "acl/ace.h"
#include "acl/entries_merge.h"
#include "acl/permission_lockout.h"
#include "acl/trustee.h"
#include "engine/local_memory.h"
#include "engine/tavrik.h"
#include "engine/text.h"
#include "objects/csd.h"

namespace {

struct SecurityParts {
    SECURITY_INFORMATION info = 0;
    bool removeInheritedDacl = false;
    bool removeInheritedSacl = false;
};

void AddProtection(DWORD mode, SECURITY_INFORMATION part, SECURITY_INFORMATION protectedBit,
                   SECURITY_INFORMATION unprotectedBit, SecurityParts& parts, bool& removeInherited) {
    switch (mode) {
        case PROT_INHERIT:
            parts.info |= unprotectedBit | part;
            break;
        case PROT_PROTECT_KEEP:
            parts.info |= protectedBit | part;
            break;
        case PROT_PROTECT_REMOVE:
            parts.info |= protectedBit | part;
            removeInherited = true;
            break;
        default:
            break;
    }
}

EXPLICIT_ACCESS_W ExplicitAccessOf(const CACE& entry) {
    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = entry.m_accessMask;
    access.grfAccessMode = static_cast<ACCESS_MODE>(entry.m_accessMode);
    access.grfInheritance = entry.m_inheritance;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    access.Trustee.ptstrName = static_cast<LPWSTR>(entry.m_trustee->m_sid);
    return access;
}

// Whether `dacl` and `owner` are, byte for byte, the DACL and owner `sd`
// was read with.
bool SameAsBefore(PACL dacl, PSID owner, const CSD& sd) {
    if (!dacl || !sd.m_dacl || !owner || !sd.m_owner) return dacl == sd.m_dacl && owner == sd.m_owner;
    if (dacl->AclSize != sd.m_dacl->AclSize || !EqualSid(owner, sd.m_owner)) return false;
    return dacl == sd.m_dacl || std::memcmp(dacl, sd.m_dacl, dacl->AclSize) == 0;
}

}  // namespace

DWORD CTavrik::ProcessObject(std::wstring path) {
    if (m_resettingChildren &&
        tavrik::EqualsNoCase(tavrik::WithoutTrailingBackslashes(path), tavrik::WithoutTrailingBackslashes(m_objectName))) {
        return RTN_OK;
    }
    if (IsFiltered(path)) {
        OutputMessage(L"Omitting ACL of: <" + path + L"> because a filter keyword matched.");
        return RTN_OK;
    }
    OutputMessage(L"Processing ACL of: <" + path + L">");

    SecurityParts parts;
    if (m_actions & ACTION_ADD_ACE) {
        if (m_daclAceCount > 0) parts.info |= DACL_SECURITY_INFORMATION;
        if (m_saclAceCount > 0) parts.info |= SACL_SECURITY_INFORMATION;
    }
    if ((m_actions & ACTION_SET_OWNER) && m_ownerTrustee->m_sid) parts.info |= OWNER_SECURITY_INFORMATION;
    if ((m_actions & ACTION_SET_GROUP) && m_groupTrustee->m_sid) parts.info |= GROUP_SECURITY_INFORMATION;
    if (m_actions & ACTION_SET_PROTECTION) {
        AddProtection(m_daclProtection, DACL_SECURITY_INFORMATION, PROTECTED_DACL_SECURITY_INFORMATION,
                      UNPROTECTED_DACL_SECURITY_INFORMATION, parts, parts.removeInheritedDacl);
        AddProtection(m_saclProtection, SACL_SECURITY_INFORMATION, PROTECTED_SACL_SECURITY_INFORMATION,
                      UNPROTECTED_SACL_SECURITY_INFORMATION, parts, parts.removeInheritedSacl);
    }
    if (m_actions & ACTION_CLEAR_DACL) parts.info |= DACL_SECURITY_INFORMATION;
    if (m_actions & ACTION_CLEAR_SACL) parts.info |= SACL_SECURITY_INFORMATION;
    if (m_actions & ACTION_TRUSTEE) {
        if (m_trusteeDacl) parts.info |= DACL_SECURITY_INFORMATION;
        if (m_trusteeSacl) parts.info |= SACL_SECURITY_INFORMATION;
    }
    if (m_actions & ACTION_DOMAIN) {
        if (m_domainDacl) parts.info |= DACL_SECURITY_INFORMATION;
        if (m_domainSacl) parts.info |= SACL_SECURITY_INFORMATION;
    }

    // The merged lists outlive the descriptor that points at them.
    tavrik::LocalPtr<ACL> newDacl;
    tavrik::LocalPtr<ACL> newSacl;
    CSD sd(this);

    // The guard below judges the DACL with the owner it will have, so it
    // reads both whichever of them the job changes.
    const SECURITY_INFORMATION judged = DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION;
    const bool guarded = m_refuseLockout && (parts.info & judged) != 0;
    DWORD code = sd.GetSD(path, m_objectType, guarded ? parts.info | judged : parts.info);
    m_lastOsError = sd.m_lastError;
    if (code != RTN_OK) {
        // Changing a SACL without the privilege it needs fails every object
        // alike: the job ends instead of reporting each one.
        if (code == RTN_ERR_PRIVILEGE) {
            m_lastOsError = ERROR_PRIVILEGE_NOT_HELD;
            return code;
        }
        // An object that a write above it already named as not updated
        // (a damaged descriptor) is counted once; the walk goes on.
        if (WasReportedAsNotUpdated(path)) {
            OutputMessage(L"ERROR reading SD from <" + path + L">: " + GetOSErrorText(m_lastOsError));
            m_lastOsError = 0;
            return RTN_OK;
        }
        if (m_lastOsError == ERROR_ACCESS_DENIED || m_ignoreErrors) {
            ReportObjectNotProcessed(L"ERROR reading SD from <" + path + L">: " + GetOSErrorText(m_lastOsError));
            m_lastOsError = 0;
            return RTN_OK;
        }
        if (!sd.m_sd && m_lastOsError == 0 && code == RTN_ERR_READ_SD) {
            OutputMessage(L"ERROR reading SD from <" + path + L">: The object has a NULL security descriptor");
            m_lastOsError = 0;
        } else if (!sd.m_sd) {
            // Nothing was read: writing now would replace the object's lists
            // with ones built from nothing.
            return code;
        }
        // A registry key that could not be opened but whose descriptor was
        // read by name goes on like any other object.
        code = RTN_OK;
    }
    // Only a change that takes the last way in away is refused: an object
    // nobody could manage before is no worse after a change that leaves it so.
    const bool changeableBefore = guarded && sd.m_sd && tavrik::LeavesPermissionsChangeable(sd.m_dacl, sd.m_owner);

    if (parts.removeInheritedDacl) {
        if (DWORD edit = sd.DeleteAcesByFlags(ACL_DACL, INHERITED_ACE, TRUE); edit != RTN_OK) return edit;
    }
    if (parts.removeInheritedSacl) {
        if (DWORD edit = sd.DeleteAcesByFlags(ACL_SACL, INHERITED_ACE, TRUE); edit != RTN_OK) return edit;
    }
    if (m_actions & ACTION_CLEAR_DACL) {
        if (DWORD edit = sd.DeleteAcesByFlags(ACL_DACL, INHERITED_ACE, FALSE); edit != RTN_OK) return edit;
    }
    if (m_actions & ACTION_CLEAR_SACL) {
        if (DWORD edit = sd.DeleteAcesByFlags(ACL_SACL, INHERITED_ACE, FALSE); edit != RTN_OK) return edit;
    }
    if (m_actions & ACTION_TRUSTEE) {
        if (m_trusteeDacl) {
            if (DWORD edit = sd.ApplyTrusteeActions(ACL_DACL); edit != RTN_OK) return edit;
        }
        if (m_trusteeSacl) {
            if (DWORD edit = sd.ApplyTrusteeActions(ACL_SACL); edit != RTN_OK) return edit;
        }
    }
    if (m_actions & ACTION_DOMAIN) {
        if (m_domainDacl) {
            if (DWORD edit = sd.ApplyDomainActions(ACL_DACL); edit != RTN_OK) return edit;
        }
        if (m_domainSacl) {
            if (DWORD edit = sd.ApplyDomainActions(ACL_SACL); edit != RTN_OK) return edit;
        }
    }

    // The job's entries, in lists kept on this thread from object to object.
    thread_local std::vector<EXPLICIT_ACCESS_W> daclEntries;
    thread_local std::vector<EXPLICIT_ACCESS_W> saclEntries;
    daclEntries.clear();
    saclEntries.clear();
    if (m_actions & ACTION_ADD_ACE) {
        daclEntries.reserve(m_daclAceCount);
        saclEntries.reserve(m_saclAceCount);
        DWORD daclFound = 0, saclFound = 0;
        for (const CACE* entry : m_aces) {
            if (entry->m_aclType == ACL_DACL) {
                if (++daclFound <= m_daclAceCount) daclEntries.push_back(ExplicitAccessOf(*entry));
            } else if (entry->m_aclType == ACL_SACL) {
                if (++saclFound <= m_saclAceCount) saclEntries.push_back(ExplicitAccessOf(*entry));
            }
        }
        if (daclFound != m_daclAceCount || saclFound != m_saclAceCount) return RTN_ERR_ACE_COUNT;
    }

    // No entries merged into no list make no list: nothing to merge (the
    // SACL of a job that neither reads nor writes it).
    m_lastOsError = ERROR_SUCCESS;
    PACL merged = nullptr;
    if (!daclEntries.empty() || sd.m_dacl) {
        m_lastOsError = tavrik::MergeEntriesInAcl(static_cast<ULONG>(daclEntries.size()),
                                                  daclEntries.empty() ? nullptr : daclEntries.data(), sd.m_dacl,
                                                  &merged);
        newDacl.reset(merged);
        if (m_lastOsError != ERROR_SUCCESS) return RTN_ERR_BUILD_ACL;
    }
    if (!saclEntries.empty() || sd.m_sacl) {
        merged = nullptr;
        m_lastOsError = tavrik::MergeEntriesInAcl(static_cast<ULONG>(saclEntries.size()),
                                                  saclEntries.empty() ? nullptr : saclEntries.data(), sd.m_sacl,
                                                  &merged);
        newSacl.reset(merged);
        if (m_lastOsError != ERROR_SUCCESS) return RTN_ERR_BUILD_ACL;
    }

    // An object some of whose accounts have no counterpart in the new domain
    // is changed only in part: it counts as not processed (once).
    const bool partial = sd.m_accountsNotFound != 0;
    if (parts.info == 0) {
        if (partial) ++m_objectsNotProcessed;
        return RTN_OK;
    }

    if (changeableBefore) {
        // The inherited entries the DACL holds now are those the write
        // gives it again from the parent, so the list as merged is the list
        // the object will have.
        PACL daclAfter = (parts.info & DACL_SECURITY_INFORMATION) ? newDacl.get() : sd.m_dacl;
        PSID ownerAfter = (parts.info & OWNER_SECURITY_INFORMATION) ? m_ownerTrustee->m_sid : sd.m_owner;
        // The same DACL and owner as before (the same grant again) pass as
        // they did a moment ago.
        if (!SameAsBefore(daclAfter, ownerAfter, sd) && !tavrik::LeavesPermissionsChangeable(daclAfter, ownerAfter)) {
            ReportObjectNotProcessed(L"ERROR: <" + path + L"> was left as it is: " +
                                     tavrik::LockoutReason(ownerAfter) +
                                     L" Give --force to make the change anyway.");
            return RTN_OK;
        }
    }

    code = sd.SetSD(path, m_objectType, parts.info, newDacl.get(), newSacl.get(), m_ownerTrustee->m_sid,
                    m_groupTrustee->m_sid);
    m_lastOsError = sd.m_lastError;
    if (code != RTN_OK && (m_lastOsError == ERROR_ACCESS_DENIED || m_ignoreErrors)) {
        ReportObjectNotProcessed(L"ERROR writing SD to <" + path + L">: " + GetOSErrorText(m_lastOsError));
        m_lastOsError = 0;
        return RTN_OK;
    }
    if (code == RTN_OK && partial) ++m_objectsNotProcessed;
    return code;
}
