// The first step of every run: object, operating system, privileges,
// trustees, permission keywords and the object name's final form.
#include "acl/ace.h"
#include "acl/trustee.h"
#include "engine/tavrik.h"
#include "objects/object_name.h"

DWORD CTavrik::PrepareRun() {
    if (m_objectName.empty()) return RTN_ERR_NO_OBJECT;

    // The job has one backup file: a restore reads it and a listing writes
    // it. Doing both would replace the backup just restored from with the
    // new listing, so such a job is refused before anything is touched.
    if ((m_actions & ACTION_RESTORE) && (m_actions & ACTION_LIST) && !m_backupFileName.empty()) {
        OutputMessage(L"ERROR: The backup file <" + m_backupFileName +
                      L"> would be restored from and then overwritten by the listing of the same job. Restore "
                      L"first, then list or back up in a job of its own.");
        return RTN_ERR_PARAMETER;
    }

    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(&version)) {
        OutputMessage(
            L"Info: The version of your operating system could not be determined. Tavrik may not work correctly.");
    } else if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion <= 4) {
        OutputMessage(L"Error: Tavrik works only on NT based operating systems newer than NT4.");
        return RTN_ERR_OS_VERSION;
    }

    if (EnablePrivilege(SE_BACKUP_NAME, TRUE) != RTN_OK) {
        OutputMessage(
            L"Info: Privilege 'Back up files and directories' could not be enabled. This can probably be ignored.");
    }
    if (EnablePrivilege(SE_RESTORE_NAME, TRUE) != RTN_OK) {
        OutputMessage(
            L"Info: Privilege 'Restore files and directories' could not be enabled. This can probably be ignored.");
    }

    for (CACE* entry : m_aces) {
        if (entry->m_trustee->Resolve() != RTN_OK) return RTN_ERR_RESOLVE_TRUSTEE;
    }
    for (CTrustee* trustee : m_trustees) {
        if (trustee->Resolve() != RTN_OK) return RTN_ERR_RESOLVE_TRUSTEE;
        if (trustee->m_newTrustee->Resolve() != RTN_OK) return RTN_ERR_RESOLVE_TRUSTEE;
    }
    if (m_ownerTrustee && m_ownerTrustee->Resolve() != RTN_OK) return RTN_ERR_RESOLVE_TRUSTEE;
    if (m_groupTrustee && m_groupTrustee->Resolve() != RTN_OK) return RTN_ERR_RESOLVE_TRUSTEE;

    if (DWORD code = ParsePermissions(); code != RTN_OK) return code;

    if (m_objectType == SE_REGISTRY_KEY) {
        HKEY key = nullptr;
        DWORD code = OpenRegistryPath(m_objectName, key);
        if (key) RegCloseKey(key);
        if (code != RTN_OK) return code;
    }
    if (m_objectType == SE_FILE_OBJECT) m_objectName = tavrik::ToLongPath(m_objectName);
    return RTN_OK;
}
