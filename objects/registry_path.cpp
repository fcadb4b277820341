// Registry object paths: parsing, the canonical form, and opening the key.
#include "engine/tavrik.h"
#include "engine/text.h"

namespace {

struct RootKeyword {
    const wchar_t* given;
    const wchar_t* canonical;
};

constexpr RootKeyword kRootAliases[] = {
    {L"hklm", L"machine"},           {L"hkey_local_machine", L"machine"},
    {L"hku", L"users"},              {L"hkey_users", L"users"},
    {L"hkcr", L"classes_root"},      {L"hkey_classes_root", L"classes_root"},
    {L"hkcu", L"current_user"},      {L"hkey_current_user", L"current_user"},
};

HKEY PredefinedKey(const std::wstring& root) {
    if (tavrik::EqualsNoCase(root, L"machine")) return HKEY_LOCAL_MACHINE;
    if (tavrik::EqualsNoCase(root, L"users")) return HKEY_USERS;
    if (tavrik::EqualsNoCase(root, L"classes_root")) return HKEY_CLASSES_ROOT;
    if (tavrik::EqualsNoCase(root, L"current_user")) return HKEY_CURRENT_USER;
    return nullptr;
}

}  // namespace

DWORD CTavrik::OpenRegistryPath(std::wstring& path, HKEY& key, REGSAM access) {
    path = tavrik::WithoutTrailingBackslashes(path);
    // The registry calls would stop at an embedded NUL and open another key.
    if (path.find(L'\0') != std::wstring::npos) return RTN_ERR_REG_PATH;

    std::wstring computer;
    std::wstring rest = path;
    if (path.rfind(L"\\\\", 0) == 0) {
        const size_t end = path.find(L'\\', 2);
        if (end == std::wstring::npos) return RTN_ERR_REG_PATH;
        computer = path.substr(0, end);
        rest = path.substr(end + 1);
    }

    std::wstring root = rest;
    std::wstring subKey;
    if (const size_t end = rest.find(L'\\'); end != std::wstring::npos) {
        root = rest.substr(0, end);
        subKey = rest.substr(end + 1);
    }
    for (const RootKeyword& alias : kRootAliases) {
        if (tavrik::EqualsNoCase(root, alias.given)) {
            root = alias.canonical;
            break;
        }
    }

    path.clear();
    if (!computer.empty()) path = computer + L"\\";
    path += root;
    if (!subKey.empty()) path += L"\\" + subKey;

    // Remote registries offer only the machine and users roots.
    if (!computer.empty() &&
        (tavrik::EqualsNoCase(root, L"classes_root") || tavrik::EqualsNoCase(root, L"current_user"))) {
        return RTN_ERR_REG_PATH;
    }
    HKEY rootKey = PredefinedKey(root);
    if (!rootKey) return RTN_ERR_REG_PATH;

    HKEY remoteRoot = nullptr;
    if (!computer.empty()) {
        m_lastOsError = static_cast<DWORD>(RegConnectRegistryW(computer.c_str(), rootKey, &remoteRoot));
        if (m_lastOsError != ERROR_SUCCESS) return RTN_ERR_REG_CONNECT;
        rootKey = remoteRoot;
    }

    HKEY opened = nullptr;
    m_lastOsError = static_cast<DWORD>(RegOpenKeyExW(rootKey, subKey.c_str(), 0, access, &opened));
    // A key opened for writing its descriptor has what the write needs.
    const bool openedForWrite = access != KEY_READ && m_lastOsError == ERROR_SUCCESS;
    if (!openedForWrite && (m_lastOsError == ERROR_SUCCESS || m_lastOsError == ERROR_ACCESS_DENIED)) {
        // A second handle with backup semantics carries what the backup and
        // restore privileges grant, which reading and writing SACLs needs;
        // it is also the way into a key whose DACL denies reading even to
        // administrators.
        HKEY backupKey = nullptr;
        DWORD disposition = 0;
        const LSTATUS reopened = RegCreateKeyExW(rootKey, subKey.c_str(), 0, nullptr, REG_OPTION_BACKUP_RESTORE,
                                                 access, nullptr, &backupKey, &disposition);
        if (disposition == REG_CREATED_NEW_KEY) {
            if (backupKey) RegCloseKey(backupKey);
            if (opened) RegCloseKey(opened);
            if (remoteRoot) RegCloseKey(remoteRoot);
            OutputMessage(L"Critical internal error. Unintentionally the following registry key was created: <" + path +
                          L">.");
            throw InternalAbort{RTN_ERR_INTERNAL};
        }
        if (reopened == ERROR_SUCCESS && backupKey) {
            if (opened) RegCloseKey(opened);
            opened = backupKey;
            m_lastOsError = ERROR_SUCCESS;
        }
    }
    if (remoteRoot) RegCloseKey(remoteRoot);

    if (m_lastOsError != ERROR_SUCCESS) {
        if (opened) RegCloseKey(opened);
        key = nullptr;
        return RTN_ERR_REG_OPEN;
    }
    key = opened;
    return RTN_OK;
}
