// Walking a registry tree: the callback for the start key and every key
// below it, depth first. Sub-key names are collected before descending so
// that no key handle is held across a descent.
#include <algorithm>
#include <vector>

#include "engine/tavrik.h"

namespace {

// The text that explains why a key below the start key failed: the
// system's error when one was recorded, else the text of the engine's code.
std::wstring FailureText(CTavrik& job, DWORD code) {
    if (job.m_lastOsError != 0) return job.GetOSErrorText(job.m_lastOsError);
    return CTavrik::GetReturnCodeText(code);
}

DWORD WalkKey(CTavrik& job, std::wstring path, ObjectCallback callback, bool start);

// A key below the start key failed with `code`; `what` says at which step.
// The failure is reported with the key's name. Like a failure on an object
// of a file walk, it is passed over when errors are to be ignored or when
// access was denied (the object is counted as not processed), and ends the
// walk otherwise.
DWORD KeyFailed(CTavrik& job, const std::wstring& path, const wchar_t* what, DWORD code) {
    const std::wstring text = L"ERROR " + std::wstring(what) + L" <" + path + L">: " + FailureText(job, code);
    if (job.m_ignoreErrors || job.m_lastOsError == ERROR_ACCESS_DENIED) {
        job.ReportObjectNotProcessed(text);
        job.m_lastOsError = 0;
        return RTN_OK;
    }
    job.OutputMessage(text);
    return code;
}

DWORD WalkKey(CTavrik& job, std::wstring path, ObjectCallback callback, bool start) {
    HKEY key = nullptr;
    if (DWORD code = job.OpenRegistryPath(path, key); code != RTN_OK) {
        return start ? code : KeyFailed(job, path, L"opening registry key", code);
    }

    if (DWORD code = (job.*callback)(path); code != RTN_OK) {
        RegCloseKey(key);
        // The callback has reported what it passes over; what it returns
        // ends the walk, as it does in a file walk.
        if (!start) job.OutputMessage(L"ERROR processing <" + path + L">: " + FailureText(job, code));
        return code;
    }
    if (job.m_recursion & RECURSE_NONE) {
        RegCloseKey(key);
        return RTN_OK;
    }

    std::vector<std::wstring> subKeys;
    WCHAR name[512];
    LSTATUS result = ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        DWORD length = 512;
        result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        job.m_lastOsError = static_cast<DWORD>(result);
        if (result != ERROR_SUCCESS) break;
        subKeys.emplace_back(name, std::min<DWORD>(length, 511));
    }
    RegCloseKey(key);
    if (result != ERROR_NO_MORE_ITEMS) {
        if (start) return RTN_ERR_REG_ENUM;
        // The key itself was processed; only its subtree is lost.
        return KeyFailed(job, path, L"enumerating the subkeys of", RTN_ERR_REG_ENUM);
    }
    job.m_lastOsError = 0;

    for (const std::wstring& subKey : subKeys) {
        if (DWORD code = WalkKey(job, path + L"\\" + subKey, callback, false); code != RTN_OK) return code;
    }
    return RTN_OK;
}

}  // namespace

DWORD CTavrik::WalkRegistry(std::wstring path, ObjectCallback callback) {
    return WalkKey(*this, std::move(path), callback, true);
}
