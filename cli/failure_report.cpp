#include "cli/failure_report.h"

#include "acl/ace.h"
#include "acl/trustee.h"
#include "listing/json_records.h"

namespace tavrik::cli {
namespace {

std::wstring Quoted(const std::wstring& name) { return L"<" + name + L">"; }

// The first account of the job that did not resolve: the engine resolves
// the entries' trustees, then the trustee list, then owner and group, and
// stops at the first failure, which leaves that one without a SID.
std::wstring UnresolvedTrustee(const CTavrik& job) {
    auto unresolved = [](const CTrustee* trustee) { return trustee != nullptr && trustee->m_sid == nullptr; };
    for (const CACE* entry : job.m_aces)
        if (unresolved(entry->m_trustee)) return entry->m_trustee->m_name;
    for (const CTrustee* trustee : job.m_trustees) {
        if (unresolved(trustee)) return trustee->m_name;
        if (unresolved(trustee->m_newTrustee)) return trustee->m_newTrustee->m_name;
    }
    if (unresolved(job.m_ownerTrustee)) return job.m_ownerTrustee->m_name;
    if (unresolved(job.m_groupTrustee)) return job.m_groupTrustee->m_name;
    return {};
}

// The permission texts of the job's entries, for a keyword that was refused.
std::wstring PermissionTexts(const CTavrik& job) {
    std::wstring texts;
    for (const CACE* entry : job.m_aces) {
        if (!texts.empty()) texts += L", ";
        texts += L"'" + entry->m_permissions + L"'";
    }
    return texts;
}

std::wstring TrimmedOsText(CTavrik& job) {
    if (job.m_lastOsError == 0) return {};
    std::wstring text = job.GetOSErrorText(job.m_lastOsError);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text.empty() ? text : L": " + text;
}

}  // namespace

std::string ReturnCodeLabel(DWORD code) {
    const std::string name = json::ReturnCodeName(code);
    return name.empty() ? std::to_string(code) : std::to_string(code) + " " + name;
}

std::wstring FailureLine(CTavrik& job, DWORD code, const JobProgress& progress) {
    const bool restoring = (job.m_actions & ACTION_RESTORE) != 0;
    // The object a walk was on: the one it announced last; a listing
    // announces an object only by its record, after reading it.
    std::wstring object = Quoted(progress.lastAnnounced.empty() ? job.m_objectName : progress.lastAnnounced);
    if (progress.lastAnnounced.empty() && !progress.lastListed.empty())
        object = L"an object below " + Quoted(job.m_objectName) + L" (after " + Quoted(progress.lastListed) + L")";
    const std::wstring backupFile = Quoted(job.m_backupFileName);
    std::wstring what;
    switch (code) {
        case RTN_ERR_RESOLVE_TRUSTEE: {
            const std::wstring account = UnresolvedTrustee(job);
            what = account.empty() ? L"an account of the job could not be resolved"
                                   : L"cannot resolve the account " + Quoted(account);
            break;
        }
        case RTN_ERR_KEYWORD_FILE:
        case RTN_ERR_KEYWORD_PRINTER:
        case RTN_ERR_KEYWORD_REGISTRY:
        case RTN_ERR_KEYWORD_SERVICE:
        case RTN_ERR_KEYWORD_SHARE:
            what = L"unknown permission keyword in " + PermissionTexts(job) + L" for " + Quoted(job.m_objectName);
            break;
        case RTN_ERR_NO_BACKUP_FILE:
            what = L"no backup file was given";
            break;
        case RTN_ERR_OPEN_BACKUP_FILE:
            what = L"cannot open the backup file " + backupFile;
            break;
        case RTN_ERR_READ_BACKUP_FILE:
            what = L"cannot read the backup file " + backupFile;
            break;
        case RTN_ERR_WRITE_OUTPUT:
            what = L"cannot write a line to the log or backup file";
            if (!job.m_backupFileName.empty()) what += L" (backup file " + backupFile + L")";
            break;
        case RTN_ERR_FIND_FILE:
            what = L"cannot list the directory " + object;
            break;
        case RTN_ERR_READ_SD:
            what = L"cannot read the security descriptor of " + object;
            break;
        case RTN_ERR_WRITE_SD:
            what = L"cannot write the security descriptor of " + object;
            break;
        case RTN_ERR_REG_PATH:
            what = L"not a registry path: " + Quoted(job.m_objectName);
            break;
        case RTN_ERR_REG_CONNECT:
            what = L"cannot reach the registry of the computer of " + object;
            break;
        case RTN_ERR_REG_OPEN:
            what = L"cannot open the registry key " + object;
            break;
        case RTN_ERR_REG_ENUM:
            what = L"cannot list the subkeys of " + object;
            break;
        case RTN_ERR_PRIVILEGE:
            what = L"a privilege the job needs could not be enabled";
            break;
        case RTN_ERR_SD_CONVERT:
            if (restoring) {
                what = L"bad record " + std::to_wstring(progress.restoreRecords) + L" in the backup file " +
                       backupFile;
                if (!progress.lastAnnounced.empty()) what += L" (object " + Quoted(progress.lastAnnounced) + L")";
                break;
            }
            [[fallthrough]];
        default:
            what = L"failed on " + (restoring ? L"the entries of the backup file " + backupFile : object);
            break;
    }
    return L"Error: " + what + TrimmedOsText(job);
}

}  // namespace tavrik::cli
