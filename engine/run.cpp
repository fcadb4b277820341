// The run sequence: preparation, restore, changes, reset-children pass,
// listing, and the summary line.
#include "engine/tavrik.h"
#include "engine/text.h"

namespace {

constexpr DWORD kChangingActions = ACTION_ADD_ACE | ACTION_SET_OWNER | ACTION_SET_GROUP | ACTION_CLEAR_DACL |
                                   ACTION_CLEAR_SACL | ACTION_SET_PROTECTION | ACTION_TRUSTEE | ACTION_DOMAIN;

// Puts back the fields the reset-children pass borrows, however it ends.
class ResetChildrenScope {
public:
    explicit ResetChildrenScope(CTavrik& job)
        : m_job(job),
          m_actions(job.m_actions),
          m_recursion(job.m_recursion),
          m_daclProtection(job.m_daclProtection),
          m_saclProtection(job.m_saclProtection),
          m_daclAceCount(job.m_daclAceCount),
          m_saclAceCount(job.m_saclAceCount) {
        job.m_resettingChildren = TRUE;
        job.m_actions = 0;
        job.m_recursion = RECURSE_CONTAINERS | RECURSE_OBJECTS;
        job.m_daclProtection = PROT_NO_CHANGE;
        job.m_saclProtection = PROT_NO_CHANGE;
        job.m_daclAceCount = 0;
        job.m_saclAceCount = 0;
    }
    ~ResetChildrenScope() {
        m_job.m_actions = m_actions;
        m_job.m_recursion = m_recursion;
        m_job.m_daclProtection = m_daclProtection;
        m_job.m_saclProtection = m_saclProtection;
        m_job.m_daclAceCount = m_daclAceCount;
        m_job.m_saclAceCount = m_saclAceCount;
        m_job.m_resettingChildren = FALSE;
    }
    ResetChildrenScope(const ResetChildrenScope&) = delete;
    ResetChildrenScope& operator=(const ResetChildrenScope&) = delete;

private:
    CTavrik& m_job;
    DWORD m_actions, m_recursion, m_daclProtection, m_saclProtection, m_daclAceCount, m_saclAceCount;
};

}  // namespace

DWORD CTavrik::ProcessObjects() {
    switch (m_objectType) {
        case SE_FILE_OBJECT:
            return WalkFileSystem(m_objectName, &CTavrik::ProcessObject);
        case SE_REGISTRY_KEY:
            return WalkRegistry(m_objectName, &CTavrik::ProcessObject);
        default:
            return ProcessObject(m_objectName);
    }
}

DWORD CTavrik::Run() {
    DWORD code = RTN_OK;
    // Each run reports only what happened in it: neither an error left by
    // configuration (a log file that could not be opened) nor one from an
    // earlier run of the same job.
    m_lastOsError = 0;
    m_objectsNotProcessed = 0;
    m_descendantsNotUpdated.clear();
    m_descendantFailures = 0;
    try {
        code = PrepareRun();
        if (code == RTN_OK && (m_actions & ACTION_RESTORE)) code = RestoreFromFile();
        if (code == RTN_OK && (m_actions & kChangingActions)) code = ProcessObjects();
        if (code == RTN_OK && (m_actions & ACTION_RESET_CHILDREN)) {
            ResetChildrenScope scope(*this);
            if (m_resetDacl) {
                m_actions = ACTION_CLEAR_DACL | ACTION_SET_PROTECTION;
                m_daclProtection = PROT_INHERIT;
            }
            if (m_resetSacl) {
                m_actions |= ACTION_CLEAR_SACL | ACTION_SET_PROTECTION;
                m_saclProtection = PROT_INHERIT;
            }
            if (m_actions != 0) {
                code = ProcessObjects();
            } else {
                OutputMessage(
                    L"Warning: action reset children was used without specifying whether to reset the DACL, SACL, "
                    L"or both. Nothing was reset.");
            }
        }
        if (code == RTN_OK && (m_actions & ACTION_LIST)) code = ListObjects();
    } catch (const InternalAbort& abort) {
        code = abort.code;
    } catch (...) {
        // Whatever escapes a step (the host's message callback throwing,
        // memory running out, the host's storage failing) ends the run like
        // an internal abort, with its summary, instead of leaving the host
        // without one.
        code = RTN_ERR_INTERNAL;
        m_lastOsError = 0;
        ReportEscapedException(std::current_exception());
    }

    std::wstring summary;
    if (code == RTN_OK && m_objectsNotProcessed == 0) {
        summary = L"\nTavrik finished successfully.";
    } else if (code == RTN_OK) {
        summary = L"\nTavrik completed with errors: " + std::to_wstring(m_objectsNotProcessed) +
                  (m_objectsNotProcessed == 1 ? L" object was" : L" objects were") +
                  L" not processed (see the error messages above).";
    } else {
        summary = L"\nTavrik finished with error(s): ";
        summary += L"\nTavrik error message: " + GetReturnCodeText(code);
        if (m_lastOsError != 0) summary += L"\nOperating system error message: " + GetOSErrorText(m_lastOsError);
        if (m_objectsNotProcessed != 0) {
            summary += L"\nObjects not processed before the job ended: " + std::to_wstring(m_objectsNotProcessed);
        }
    }
    try {
        OutputMessage(summary);
    } catch (...) {
        // A callback that throws again cannot be told anything more.
        if (code == RTN_OK) code = RTN_ERR_INTERNAL;
    }
    return code;
}

void CTavrik::ReportObjectNotProcessed(const std::wstring& text) {
    ++m_objectsNotProcessed;
    OutputMessage(text);
}

void CTavrik::ReportEscapedException(std::exception_ptr escaped) {
    std::wstring text;
    try {
        std::rethrow_exception(escaped);
    } catch (const std::exception& e) {
        // The text says what failed (a full disk, a file that cannot be
        // written); its non-ASCII bytes are shown as U+FFFD.
        for (const char* c = e.what(); *c != '\0'; ++c) {
            text += static_cast<unsigned char>(*c) < 0x80 ? static_cast<wchar_t>(*c) : L'\xFFFD';
        }
    } catch (...) {
    }
    if (text.empty()) return;
    try {
        OutputMessage(L"ERROR: " + text);
    } catch (...) {
        // The callback itself may be what threw.
    }
}

void CTavrik::ReportDescendantNotUpdated(const std::wstring& object, DWORD error) {
    ++m_descendantFailures;
    // One object can fail in several writes of its ancestors; it is one
    // object not processed.
    if (!m_descendantsNotUpdated.insert(tavrik::FoldCase(object)).second) {
        OutputMessage(L"ERROR updating the inherited entries of <" + object + L">: " + GetOSErrorText(error));
        return;
    }
    ReportObjectNotProcessed(L"ERROR updating the inherited entries of <" + object + L">: " + GetOSErrorText(error));
}

bool CTavrik::WasReportedAsNotUpdated(const std::wstring& object) const {
    return m_descendantsNotUpdated.count(tavrik::FoldCase(object)) != 0;
}

BOOL CTavrik::IsFiltered(std::wstring path) {
    // Asked for every object of a walk; most jobs have no filter.
    if (m_filters.empty()) return FALSE;
    const std::wstring foldedPath = tavrik::FoldCase(std::move(path));
    for (const std::wstring& keyword : m_filters) {
        if (foldedPath.find(tavrik::FoldCase(keyword)) != std::wstring::npos) return TRUE;
    }
    return FALSE;
}
