// Walking a registry tree: the callback for the start key and every key
// below it, depth first. Sub-key names are collected before descending so
// that no key handle is held across a descent.
#include <vector>

#include "engine/tavrik.h"

DWORD CTavrik::WalkRegistry(std::wstring path, ObjectCallback callback) {
    HKEY key = nullptr;
    if (DWORD code = OpenRegistryPath(path, key); code != RTN_OK) return code;

    if (DWORD code = (this->*callback)(path); code != RTN_OK) {
        RegCloseKey(key);
        return code;
    }
    if (m_recursion & RECURSE_NONE) {
        RegCloseKey(key);
        return RTN_OK;
    }

    std::vector<std::wstring> subKeys;
    WCHAR name[512];
    LSTATUS result = ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        DWORD length = 512;
        result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        m_lastOsError = static_cast<DWORD>(result);
        if (result != ERROR_SUCCESS) break;
        subKeys.emplace_back(name, std::min<DWORD>(length, 511));
    }
    RegCloseKey(key);
    if (result != ERROR_NO_MORE_ITEMS) return RTN_ERR_REG_ENUM;
    m_lastOsError = 0;

    // A sub-key that cannot be opened, processed or enumerated only loses its
    // own subtree.
    for (const std::wstring& subKey : subKeys) WalkRegistry(path + L"\\" + subKey, callback);
    return RTN_OK;
}
