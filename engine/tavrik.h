// Tavrik: the access-control job.
//
// A host builds one CTavrik per job, configures it (object, actions, entries,
// trustees, domains, filters, files), calls Run once and destroys it. Every
// step is reported as lines of text through the host's MessageCallback and,
// when one is open, the log file.
//
// The job's fields are public: the steps of a run are spread over several
// files (objects/, acl/, listing/) and all of them read and write the job's
// state, and hosts may inspect the result of the preparation.
#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "winapi/win32.h"

class CTrustee;
class CDomain;
namespace tavrik {
struct DescriptorDiff;
struct BackupBlock;
}
class CACE;
class CSD;

// ---- return codes (each is also the id of its message text resource) ------
constexpr DWORD RTN_OK = 0;
constexpr DWORD RTN_ERR_INTERNAL = 2;
constexpr DWORD RTN_ERR_PARAMETER = 3;
constexpr DWORD RTN_ERR_NO_OBJECT = 4;
constexpr DWORD RTN_ERR_READ_SD = 5;
constexpr DWORD RTN_ERR_RESOLVE_TRUSTEE = 6;
constexpr DWORD RTN_ERR_KEYWORD_FILE = 7;
constexpr DWORD RTN_ERR_KEYWORD_PRINTER = 8;
constexpr DWORD RTN_ERR_KEYWORD_REGISTRY = 9;
constexpr DWORD RTN_ERR_KEYWORD_SERVICE = 10;
constexpr DWORD RTN_ERR_KEYWORD_SHARE = 11;
constexpr DWORD RTN_ERR_PRIVILEGE = 12;
constexpr DWORD RTN_ERR_FIND_FILE = 16;
constexpr DWORD RTN_ERR_SD_CONTROL = 17;
constexpr DWORD RTN_ERR_ACE_COUNT = 18;
constexpr DWORD RTN_ERR_BUILD_ACL = 19;
constexpr DWORD RTN_ERR_REG_PATH = 20;
constexpr DWORD RTN_ERR_REG_CONNECT = 21;
constexpr DWORD RTN_ERR_REG_OPEN = 22;
constexpr DWORD RTN_ERR_REG_ENUM = 23;
constexpr DWORD RTN_ERR_WRITE_SD = 25;
constexpr DWORD RTN_ERR_NOTHING_TO_LIST = 26;
constexpr DWORD RTN_ERR_SD_CONVERT = 27;
constexpr DWORD RTN_ERR_SID_TO_NAME = 28;
constexpr DWORD RTN_ERR_READ_ACL = 29;
constexpr DWORD RTN_ERR_DELETE_ACE = 30;
constexpr DWORD RTN_ERR_CHANGE_ACE = 31;
constexpr DWORD RTN_ERR_NO_BACKUP_FILE = 33;
constexpr DWORD RTN_ERR_OPEN_BACKUP_FILE = 34;
constexpr DWORD RTN_ERR_READ_BACKUP_FILE = 35;
constexpr DWORD RTN_ERR_WRITE_OUTPUT = 36;
constexpr DWORD RTN_ERR_OS_VERSION = 37;
constexpr DWORD RTN_ERR_INVALID_SD = 38;
constexpr DWORD RTN_ERR_SD_SET_DACL = 39;
constexpr DWORD RTN_ERR_SD_SET_SACL = 40;
constexpr DWORD RTN_ERR_SD_SET_OWNER = 41;
constexpr DWORD RTN_ERR_SD_SET_GROUP = 42;
constexpr DWORD RTN_ERR_SD_INIT = 45;
constexpr DWORD RTN_ERR_SD_ALLOC = 46;

// ---- actions (one bit per SetAction call) ------------------------------------
constexpr DWORD ACTION_ADD_ACE = 0x0001;
constexpr DWORD ACTION_LIST = 0x0002;
constexpr DWORD ACTION_SET_OWNER = 0x0004;
constexpr DWORD ACTION_SET_GROUP = 0x0008;
constexpr DWORD ACTION_CLEAR_DACL = 0x0010;
constexpr DWORD ACTION_CLEAR_SACL = 0x0020;
constexpr DWORD ACTION_SET_PROTECTION = 0x0040;
constexpr DWORD ACTION_RESET_CHILDREN = 0x0080;
constexpr DWORD ACTION_RESTORE = 0x0800;
constexpr DWORD ACTION_TRUSTEE = 0x1000;
constexpr DWORD ACTION_DOMAIN = 0x2000;

// ---- recursion ---------------------------------------------------------------------
constexpr DWORD RECURSE_NONE = 1;
constexpr DWORD RECURSE_CONTAINERS = 2;
constexpr DWORD RECURSE_OBJECTS = 4;

// ---- protection modes ----------------------------------------------------------------
constexpr DWORD PROT_NO_CHANGE = 0;
constexpr DWORD PROT_INHERIT = 1;
constexpr DWORD PROT_PROTECT_KEEP = 2;
constexpr DWORD PROT_PROTECT_REMOVE = 4;

// ---- ACL types and the combined audit mode ---------------------------------------------
constexpr DWORD ACL_DACL = 1;
constexpr DWORD ACL_SACL = 2;
constexpr DWORD AUDIT_SUCCESS_AND_FAILURE = 11;

// ---- listing ------------------------------------------------------------------------------
constexpr DWORD LIST_SDDL = 0;
constexpr DWORD LIST_CSV = 1;
constexpr DWORD LIST_TEXT = 2;
// One JSON object a line (listing/json_records.h). Not 3: hosts that pass
// an unknown format still list nothing, as they always did.
constexpr DWORD LIST_JSON = 16;
constexpr DWORD LIST_DACL = 1;
constexpr DWORD LIST_SACL = 2;
constexpr DWORD LIST_OWNER = 4;
constexpr DWORD LIST_GROUP = 8;

// ---- restore modes ----------------------------------------------------------------------
constexpr DWORD RESTORE_ALL = 0;           // write every record (the default)
constexpr DWORD RESTORE_CHANGED_ONLY = 1;  // write only objects whose descriptor differs from their record
constexpr DWORD RESTORE_VERIFY = 2;        // write nothing; compare each object with its record

// What a comparing restore found for one record.
constexpr DWORD RECORD_SAME = 0;
constexpr DWORD RECORD_DIFFERS = 1;
constexpr DWORD RECORD_MISSING = 2;

// ---- trustee and domain actions ---------------------------------------------------------
constexpr DWORD TRUSTEE_REPLACE = 0x0100;
constexpr DWORD TRUSTEE_REMOVE = 0x0200;
constexpr DWORD TRUSTEE_COPY = 0x0400;

// Receives every message line; may be empty.
using MessageCallback = std::function<void(const std::wstring&)>;

// Called just before the job writes the parts `parts` of the descriptor of
// `object`. A result other than RTN_OK stops that write, which then fails
// with this code (the host may say why through m_lastOsError).
using BeforeWriteHook = std::function<DWORD(const std::wstring& object, DWORD objectType, SECURITY_INFORMATION parts)>;
// Called after each such write with its result (RTN_OK or RTN_ERR_WRITE_SD).
using AfterWriteHook =
    std::function<void(const std::wstring& object, DWORD objectType, SECURITY_INFORMATION parts, DWORD result)>;

class CTavrik;
// The per-object operation a walk applies to every object it visits.
using ObjectCallback = DWORD (CTavrik::*)(std::wstring path);

class CTavrik {
public:
    explicit CTavrik(MessageCallback callback = nullptr);
    virtual ~CTavrik();
    CTavrik(const CTavrik&) = delete;
    CTavrik& operator=(const CTavrik&) = delete;

    // ---- configuration -----------------------------------------------------------
    DWORD SetObject(std::wstring name, DWORD type);
    DWORD SetAction(DWORD action);
    DWORD AddACE(std::wstring trustee, BOOL trusteeIsSid, std::wstring permissions, DWORD inheritance,
                 BOOL inheritanceGiven, DWORD accessMode, DWORD aclType);
    DWORD SetOwner(std::wstring trustee, BOOL trusteeIsSid);
    DWORD SetGroup(std::wstring trustee, BOOL trusteeIsSid);
    // An entry of the trustee list: the ACEs of `trustee` are removed, or
    // moved to or copied for `newTrustee`, by the TRUSTEE_* bits in `flags`.
    DWORD AddTrustee(std::wstring trustee, BOOL trusteeIsSid, std::wstring newTrustee, BOOL newTrusteeIsSid,
                     DWORD flags);
    // An entry of the domain list: the ACEs of every account of `domain` are
    // removed, or moved to or copied for the account of the same name in
    // `newDomain`, by the TRUSTEE_* bits in `flags`.
    DWORD AddDomain(std::wstring domain, std::wstring newDomain, DWORD flags);
    DWORD SetRecursion(DWORD recursion);
    DWORD AddObjectFilter(std::wstring keyword);
    // Opens (appends to) the log file; UTF-16LE, byte-order mark when new.
    DWORD SetLogFile(std::wstring fileName);
    DWORD SetBackupFile(std::wstring fileName);
    void SetDaclProtection(DWORD mode) { m_daclProtection = mode; }
    void SetSaclProtection(DWORD mode) { m_saclProtection = mode; }
    void SetResetDacl(BOOL reset) { m_resetDacl = reset; }
    void SetResetSacl(BOOL reset) { m_resetSacl = reset; }
    void SetIgnoreErrors(BOOL ignore) { m_ignoreErrors = ignore; }
    // When TRUE, a change after which nobody could change an object's
    // permissions any more (acl/permission_lockout.h) is refused for that
    // object, reported, and counted as not processed; the job goes on. Off
    // by default: hosts keep Windows' rule that a caller may write any DACL
    // it is allowed to write.
    void SetRefuseLockout(BOOL refuse) { m_refuseLockout = refuse; }
    void SetListFormat(DWORD format) { m_listFormat = format; }
    void SetListWhat(DWORD what) { m_listWhat = what; }
    void SetListNameForm(DWORD form) { m_listNameForm = form; }
    void SetListInherited(BOOL inherited) { m_listInherited = inherited; }
    // Gives every listed object a record, its name at least, even when the
    // options hide all it holds (see m_listEveryObject).
    void SetListEveryObject(BOOL every) { m_listEveryObject = every; }
    void SetTrusteeDacl(BOOL on) { m_trusteeDacl = on; }
    void SetTrusteeSacl(BOOL on) { m_trusteeSacl = on; }
    void SetDomainDacl(BOOL on) { m_domainDacl = on; }
    void SetDomainSacl(BOOL on) { m_domainSacl = on; }
    // Restores and verifies: RESTORE_ALL, RESTORE_CHANGED_ONLY or RESTORE_VERIFY.
    void SetRestoreMode(DWORD mode) { m_restoreMode = mode; }
    // Writes the file records of an undo file (one that starts with the
    // undo mark, tavrik::kUndoFileMark), and from its second version the
    // registry key records, exactly as they were recorded: no entries
    // inherited from the parent, the auto-inherited flags as they were, no
    // SACL where there was none (SetFileSecurityW, RegSetKeySecurity). Off,
    // every record is written as any backup's (SetNamedSecurityInfoW).
    void SetExactUndoRestore(BOOL on) { m_exactUndoRestore = on; }
    // Restores each record whose name starts with `from` (whole components,
    // case-insensitively; the longest such prefix wins) under `to` instead.
    DWORD AddRestoreNameMap(std::wstring from, std::wstring to);
    // Restores `from` (an account or SID; a domain or domain SID moves every
    // account of it, keeping their RIDs) as `to` in owner, group, DACL and SACL.
    DWORD AddSidSubstitution(std::wstring from, std::wstring to);

    // ---- execution ---------------------------------------------------------------
    DWORD Run();
    BOOL IsFiltered(std::wstring path);
    // How many objects the last run passed over or failed on (see
    // m_objectsNotProcessed); 0 after a run that did everything it was asked.
    DWORD GetObjectsNotProcessed() const { return m_objectsNotProcessed; }
    // Reports `text` (an error line naming the object) and counts the
    // object as not processed.
    void ReportObjectNotProcessed(const std::wstring& text);
    // For hosts whose Windows layer names each object below a written one
    // that the write could not bring up to date (its inherited entries),
    // called while Run is going. The object is reported and counted as not
    // processed; the write that failed only because of such objects did
    // write its own object, so the job goes on (see CSD::SetSD).
    void ReportDescendantNotUpdated(const std::wstring& object, DWORD error);
    // Writes the text of an exception that ended the run, if it has one.
    void ReportEscapedException(std::exception_ptr escaped);
    // Whether `object` was reported through ReportDescendantNotUpdated
    // during this run.
    bool WasReportedAsNotUpdated(const std::wstring& object) const;

    // ---- reporting ---------------------------------------------------------------
    DWORD OutputMessage(const std::wstring& text);
    std::wstring GetOSErrorText(DWORD code);
    // The message text of a return code, from the program's string resources.
    static std::wstring GetReturnCodeText(DWORD code);

    // ---- steps of a run ----------------------------------------------------------
    DWORD PrepareRun();
    DWORD ParsePermissions();
    DWORD EnablePrivilege(std::wstring name, BOOL enable);
    DWORD ProcessObjects();
    DWORD ProcessObject(std::wstring path);
    // Brings `path` into canonical form and opens the key for reading, or,
    // with another `access`, for that access (a write of its descriptor).
    DWORD OpenRegistryPath(std::wstring& path, HKEY& key, REGSAM access = KEY_READ);
    DWORD WalkFileSystem(std::wstring path, ObjectCallback callback);
    DWORD WalkRegistry(std::wstring path, ObjectCallback callback);
    CACE* CloneACE(const CACE* entry);
    std::wstring SidToText(PSID sid);
    // Listing, backup and restore.
    std::wstring MaskToText(DWORD mask);
    std::wstring AceTypeToText(BYTE aceType);
    std::wstring AceFlagsToText(BYTE aceFlags);
    std::wstring AclToText(PACL acl);
    DWORD ListObjects();
    DWORD ListObject(std::wstring path);
    // Writes the listing's backup block and then hands the records held
    // back with it to the messages; false when the block (now or before)
    // did not get into the file.
    bool ReleaseBackupBlock();
    DWORD RestoreFromFile();

    // ---- the job's fields, in their documented order --------------------------------
    MessageCallback m_messageCallback;
    std::list<CTrustee*> m_trustees;
    std::list<CDomain*> m_domains;
    std::wstring m_serverName;
    DWORD m_lastOsError = 0;
    BOOL m_ignoreErrors = FALSE;
    std::wstring m_objectName;
    DWORD m_objectType = 0;
    DWORD m_actions = 0;
    DWORD m_daclProtection = PROT_NO_CHANGE;
    DWORD m_saclProtection = PROT_NO_CHANGE;
    BOOL m_resetDacl = FALSE;
    BOOL m_resetSacl = FALSE;
    DWORD m_recursion = RECURSE_NONE;
    CTrustee* m_ownerTrustee = nullptr;
    CTrustee* m_groupTrustee = nullptr;
    std::list<CACE*> m_aces;
    std::vector<std::wstring> m_filters;
    DWORD m_daclAceCount = 0;
    DWORD m_saclAceCount = 0;
    DWORD m_listFormat = LIST_CSV;
    DWORD m_listWhat = LIST_DACL;
    DWORD m_listNameForm = 1;
    // Account names the job looked up, by SID bytes ("" for a SID that names
    // no account): a listing names the same few trustees on every object,
    // and each lookup asks the system (on Windows perhaps a domain
    // controller) again.
    std::unordered_map<std::string, std::wstring> m_accountNames;
    BOOL m_listInherited = FALSE;
    std::wstring m_backupFileName;
    FILE* m_backupFile = nullptr;
    // While a listing writes a backup: its records not yet in the file and
    // the messages held back with them (listing.cpp).
    tavrik::BackupBlock* m_backupBlock = nullptr;
    BOOL m_resettingChildren = FALSE;
    FILE* m_logFile = nullptr;
    BOOL m_trusteeDacl = FALSE;
    BOOL m_trusteeSacl = FALSE;
    BOOL m_domainDacl = FALSE;
    BOOL m_domainSacl = FALSE;
    // Objects the last run was asked to handle but passed over or failed
    // on while it went on: read or write failures it reported, accounts
    // missing in a target domain, records left out of a backup, keys or
    // links it could not descend into. A run that returns RTN_OK with a
    // non-zero count completed with errors.
    DWORD m_objectsNotProcessed = 0;
    // Objects below written ones that could not be updated (see
    // ReportDescendantNotUpdated), case-folded; and how many were reported.
    std::set<std::wstring> m_descendantsNotUpdated;
    DWORD m_descendantFailures = 0;
    // While a restore reads its records, the privileges it switched on stay
    // on (the job runs under one token), so asking for one again before
    // every record costs no token calls.
    bool m_keepEnabledPrivileges = false;
    std::vector<std::wstring> m_enabledPrivileges;
    // CSV and text records of objects whose requested parts show nothing
    // (only inherited entries while those are hidden, say) are left out by
    // default, as hosts expect; a person reading a tree wants each object
    // named, or the tree looks empty.
    BOOL m_listEveryObject = FALSE;
    // See SetRefuseLockout.
    BOOL m_refuseLockout = FALSE;

    // Hosts that keep a record of every change (undo files, JSON change
    // records) set these; unset, writes go ahead as they always did.
    BeforeWriteHook m_beforeWrite;
    AfterWriteHook m_afterWrite;
    // A host that records a change from within the write itself (on Linux
    // the undo file records an object only once the system knows the write
    // changes it) and refuses it there leaves its code here: the write
    // then fails with it, as if m_beforeWrite had refused.
    DWORD m_writeRefusal = RTN_OK;

    DWORD m_restoreMode = RESTORE_ALL;
    BOOL m_exactUndoRestore = FALSE;
    // The undo file being put back records every object its job changed
    // (tavrik::kUndoFileEveryChangeRecorded): each record is stored alone.
    bool m_everyChangeRecorded = false;
    std::vector<std::pair<std::wstring, std::wstring>> m_restoreNameMaps;
    std::vector<std::pair<std::wstring, std::wstring>> m_sidSubstitutions;
    // Counts of the last comparing restore or verify.
    struct RestoreTally {
        DWORD same = 0, differs = 0, missing = 0, written = 0;
    } m_restoreTally;
    // Called for each record a comparing restore or verify compared, with
    // the name it restores to, its type, RECORD_* and, for RECORD_DIFFERS,
    // what differs (from the record's descriptor to the live one). Hosts that
    // want more than the message lines (JSON, say) take the data here.
    std::function<void(const std::wstring& name, DWORD type, DWORD verdict, const tavrik::DescriptorDiff* diff)>
        m_recordObserver;

    // Printer document entries the last run appended to m_aces (also owned
    // through m_aces).
    std::vector<CACE*> m_documentEntries;
};

// Splits `text` (trimmed at both ends) at every `separator`; pieces are not
// trimmed, a trailing empty piece is dropped. FALSE only when memory runs out.
BOOL SplitList(const std::wstring& separator, const std::wstring& text, std::vector<std::wstring>& out);

// Thrown from inside any step to end the run at once with `code`; Run
// catches it and reports the code like a failing step's.
struct InternalAbort {
    DWORD code;
};
