// The registry functions over the simulated computers' key trees. An HKEY
// is a handle of winapi/base/handles.h: the key it names and the access it was
// opened with, so GetKernelObjectSecurity reads key descriptors as well.
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "winapi/base/handles.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/security/inheritance.h"
#include "winapi/machine/change_observer.h"
#include "winapi/machine/dry_run.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/process_token.h"
#include "winapi/machine/registry_model.h"
#include "winapi/machine/registry_security.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

using namespace winapi::machine;
using winapi::Bytes;

namespace {

class RegistryKeyHandle : public winapi::SecuredHandle {
public:
    RegistryKeyHandle(int64_t keyId, ACCESS_MASK granted) : keyId(keyId), granted(granted) {}

    DWORD ReadSecurity(SECURITY_INFORMATION info, std::vector<BYTE>* sd) override {
        ACCESS_MASK needed = AccessToRead(info);
        if ((granted & needed) != needed) return ERROR_ACCESS_DENIED;
        return GuardedCall([&]() -> DWORD {
            auto key = KeyById(keyId);
            if (!key) return ERROR_KEY_DELETED;
            *sd = key->descriptor;
            // A dry run's listing sees the key as the run planned it.
            ApplyPlannedKeyWrite(keyId, sd);
            return ERROR_SUCCESS;
        });
    }

    int64_t keyId;
    ACCESS_MASK granted;
};

// A key the caller has in hand: an opened HKEY or one of the predefined
// roots of the local computer.
struct HeldKey {
    KeyRecord key;
    ACCESS_MASK granted = 0;
};

const wchar_t* PredefinedRoot(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE) return L"MACHINE";
    if (hKey == HKEY_USERS) return L"USERS";
    if (hKey == HKEY_CLASSES_ROOT) return L"CLASSES_ROOT";
    if (hKey == HKEY_CURRENT_USER) return L"CURRENT_USER";
    return nullptr;
}

ACCESS_MASK MaximumAllowed(const KeyRecord& key, bool backup) {
    ACCESS_MASK granted = 0;
    const winapi::AccessToken& token = ProcessToken();
    DWORD error = winapi::CheckAccess(key.descriptor.data(), key.descriptor.size(), token, MAXIMUM_ALLOWED,
                                      winapi::RegistryGenericMapping(), backup, &granted);
    if (error != ERROR_SUCCESS) granted = 0;
    if (token.HasEnabled(SE_SECURITY_NAME)) granted |= ACCESS_SYSTEM_SECURITY;
    return granted;
}

DWORD ResolveHeldKey(HKEY hKey, HeldKey* held) {
    if (const wchar_t* root = PredefinedRoot(hKey)) {
        auto local = LocalComputerRecord();
        if (!local) return ERROR_INVALID_HANDLE;
        auto key = FindRootKey(local->id, root);
        if (!key) return ERROR_FILE_NOT_FOUND;
        held->key = *key;
        // Predefined handles are opened on first use with what the caller may have.
        held->granted = MaximumAllowed(*key, false);
        return ERROR_SUCCESS;
    }
    auto* handle = winapi::LookupHandleAs<RegistryKeyHandle>(reinterpret_cast<HANDLE>(hKey));
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    auto key = KeyById(handle->keyId);
    if (!key) return ERROR_KEY_DELETED;
    held->key = *key;
    held->granted = handle->granted;
    return ERROR_SUCCESS;
}

HKEY NewKeyHandle(int64_t keyId, ACCESS_MASK granted) {
    return reinterpret_cast<HKEY>(winapi::RegisterHandle(std::make_unique<RegistryKeyHandle>(keyId, granted)));
}

// Walks `subKey` below `from`. `missingAt` receives the index of the first
// component that does not exist (parts.size() when all do) and `deepest`
// the last key found.
DWORD WalkSubKey(const KeyRecord& from, LPCWSTR subKey, std::vector<std::wstring>* parts, size_t* missingAt,
                 KeyRecord* deepest) {
    std::wstring_view path = subKey == nullptr ? std::wstring_view() : std::wstring_view(subKey);
    if (!SplitKeyPath(path, parts)) return ERROR_BAD_PATHNAME;
    KeyRecord current = from;
    size_t i = 0;
    for (; i < parts->size(); ++i) {
        auto child = FindChildKey(current, (*parts)[i]);
        if (!child) break;
        current = *child;
    }
    *missingAt = i;
    *deepest = current;
    return ERROR_SUCCESS;
}

ACCESS_MASK WithoutViewFlags(REGSAM sam) { return sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY); }

// The parts a caller's descriptor supplies, to merge into a new key's.
SECURITY_INFORMATION SuppliedParts(PSECURITY_DESCRIPTOR sd, PSID* owner, PSID* group, PACL* dacl, PACL* sacl) {
    SECURITY_INFORMATION info = 0;
    BOOL present = FALSE, defaulted = FALSE;
    if (GetSecurityDescriptorOwner(sd, owner, &defaulted) && *owner) info |= OWNER_SECURITY_INFORMATION;
    if (GetSecurityDescriptorGroup(sd, group, &defaulted) && *group) info |= GROUP_SECURITY_INFORMATION;
    if (GetSecurityDescriptorDacl(sd, &present, dacl, &defaulted) && present) info |= DACL_SECURITY_INFORMATION;
    if (GetSecurityDescriptorSacl(sd, &present, sacl, &defaulted) && present) info |= SACL_SECURITY_INFORMATION;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(sd, &control, &revision)) {
        if ((info & DACL_SECURITY_INFORMATION) && (control & SE_DACL_PROTECTED))
            info |= PROTECTED_DACL_SECURITY_INFORMATION;
        if ((info & SACL_SECURITY_INFORMATION) && (control & SE_SACL_PROTECTED))
            info |= PROTECTED_SACL_SECURITY_INFORMATION;
    }
    return info;
}

}  // namespace

LSTATUS RegConnectRegistryW(LPCWSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    // Only these two roots exist on a remote computer.
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS) return ERROR_INVALID_HANDLE;
    return static_cast<LSTATUS>(GuardedCall([&]() -> DWORD {
        std::wstring machine = lpMachineName == nullptr ? std::wstring() : std::wstring(lpMachineName);
        if (DWORD fault = InjectedFailure("RegConnectRegistryW", machine)) return fault;
        auto computer = FindComputerRecord(machine);
        if (!computer || !computer->reachable) return RPC_S_SERVER_UNAVAILABLE;
        auto root = FindRootKey(computer->id, PredefinedRoot(hKey));
        if (!root) return ERROR_FILE_NOT_FOUND;
        std::lock_guard guard(MachineLock());
        *phkResult = NewKeyHandle(root->id, MaximumAllowed(*root, false));
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return static_cast<LSTATUS>(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("RegOpenKeyExW", lpSubKey == nullptr ? L"" : lpSubKey)) return fault;
        std::lock_guard guard(MachineLock());
        HeldKey held;
        if (DWORD error = ResolveHeldKey(hKey, &held)) return error;
        std::vector<std::wstring> parts;
        size_t missingAt = 0;
        KeyRecord key;
        if (DWORD error = WalkSubKey(held.key, lpSubKey, &parts, &missingAt, &key)) return error;
        if (missingAt != parts.size()) return ERROR_FILE_NOT_FOUND;
        ACCESS_MASK granted = 0;
        DWORD error = winapi::CheckAccess(key.descriptor.data(), key.descriptor.size(), ProcessToken(),
                                          WithoutViewFlags(samDesired), winapi::RegistryGenericMapping(), false,
                                          &granted);
        if (error != ERROR_SUCCESS) return error;
        *phkResult = NewKeyHandle(key.id, granted);
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return static_cast<LSTATUS>(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("RegCreateKeyExW", lpSubKey)) return fault;
        std::lock_guard guard(MachineLock());
        const winapi::AccessToken& token = ProcessToken();
        const GENERIC_MAPPING& mapping = winapi::RegistryGenericMapping();
        const bool backup = (dwOptions & REG_OPTION_BACKUP_RESTORE) != 0;
        HeldKey held;
        if (DWORD error = ResolveHeldKey(hKey, &held)) return error;
        std::vector<std::wstring> parts;
        size_t missingAt = 0;
        KeyRecord key;
        if (DWORD error = WalkSubKey(held.key, lpSubKey, &parts, &missingAt, &key)) return error;

        if (missingAt == parts.size()) {
            ACCESS_MASK granted = 0;
            if (backup) {
                // The requested access is ignored: the key opens with what
                // the enabled backup and restore privileges allow.
                granted = MaximumAllowed(key, true);
                if (granted == 0) return ERROR_ACCESS_DENIED;
            } else {
                DWORD error = winapi::CheckAccess(key.descriptor.data(), key.descriptor.size(), token,
                                                  WithoutViewFlags(samDesired), mapping, false, &granted);
                if (error != ERROR_SUCCESS) return error;
            }
            *phkResult = NewKeyHandle(key.id, granted);
            if (lpdwDisposition != nullptr) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
            return ERROR_SUCCESS;
        }

        ACCESS_MASK parentGranted = 0;
        DWORD error = winapi::CheckAccess(key.descriptor.data(), key.descriptor.size(), token, KEY_CREATE_SUB_KEY,
                                          mapping, backup, &parentGranted);
        if (error != ERROR_SUCCESS) return error;

        Bytes owner = token.user;
        Bytes group = ProcessPrimaryGroup();
        winapi::machine::Transaction transaction(CurrentStore());
        for (size_t i = missingAt; i < parts.size(); ++i) {
            Bytes sd = winapi::CreateInheritedDescriptor(key.descriptor, true, owner, group, mapping);
            if (i + 1 == parts.size() && lpSecurityAttributes != nullptr &&
                lpSecurityAttributes->lpSecurityDescriptor != nullptr) {
                PSID suppliedOwner = nullptr, suppliedGroup = nullptr;
                PACL suppliedDacl = nullptr, suppliedSacl = nullptr;
                SECURITY_INFORMATION info = SuppliedParts(lpSecurityAttributes->lpSecurityDescriptor, &suppliedOwner,
                                                          &suppliedGroup, &suppliedDacl, &suppliedSacl);
                Bytes merged;
                error = winapi::ApplySecurityInformation(sd, &key.descriptor, true, info, suppliedOwner, suppliedGroup,
                                                         suppliedDacl, suppliedSacl, mapping, &merged);
                if (error != ERROR_SUCCESS) return error;
                sd = std::move(merged);
            }
            int64_t id = InsertKey(key.computerId, key.id, parts[i], sd);
            key = KeyRecord{id, key.computerId, key.id, parts[i], sd};
        }
        transaction.Commit();
        // The creator gets the access it asked for on the key it made.
        ACCESS_MASK granted = backup ? MaximumAllowed(key, true) : WithoutViewFlags(samDesired);
        MapGenericMask(&granted, const_cast<PGENERIC_MAPPING>(&mapping));
        *phkResult = NewKeyHandle(key.id, granted);
        if (lpdwDisposition != nullptr) *lpdwDisposition = REG_CREATED_NEW_KEY;
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD /*lpReserved*/,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
    return static_cast<LSTATUS>(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("RegEnumKeyExW")) return fault;
        std::lock_guard guard(MachineLock());
        HeldKey held;
        if (DWORD error = ResolveHeldKey(hKey, &held)) return error;
        if (!(held.granted & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        std::optional<std::wstring> child = ChildKeyName(held.key.id, dwIndex);
        if (!child) return ERROR_NO_MORE_ITEMS;
        const std::wstring& name = *child;
        if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
        std::wmemcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
            lpClass[0] = L'\0';
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    }));
}

LSTATUS RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                          PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (pSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
    return static_cast<LSTATUS>(GuardedCall([&]() -> DWORD {
        // The call takes either form; the layer works on the self-relative one.
        Bytes given;
        if (DWORD error = winapi::SelfRelativeCopy(pSecurityDescriptor, &given); error != ERROR_SUCCESS) return error;
        constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
        const SECURITY_INFORMATION info = SecurityInformation & kParts;
        std::wstring path;
        int64_t keyId = 0;
        {
            std::lock_guard guard(MachineLock());
            HeldKey held;
            if (DWORD error = ResolveHeldKey(hKey, &held)) return error;
            path = KeyPath(held.key);
            keyId = held.key.id;
        }
        if (DWORD fault = InjectedFailure("RegSetKeySecurity", path)) return fault;
        // A dry run shows the key as the call would leave it; nothing is written.
        if (DryRunActive() && InterceptStoredWrite(path, SE_REGISTRY_KEY, info, given, keyId)) return ERROR_SUCCESS;
        // Told of before the lock, as the named call does, so that the
        // observer may read the key first.
        if (DWORD refused = NoteComingChange(path, SE_REGISTRY_KEY, info)) return refused;
        std::lock_guard guard(MachineLock());
        HeldKey held;
        if (DWORD error = ResolveHeldKey(hKey, &held)) return error;
        return StoreKeySecurity(held.key, held.granted, ProcessToken(), info, given);
    }));
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (PredefinedRoot(hKey) != nullptr || hKey == HKEY_CURRENT_CONFIG) return ERROR_SUCCESS;
    auto* handle = winapi::LookupHandleAs<RegistryKeyHandle>(reinterpret_cast<HANDLE>(hKey));
    if (handle == nullptr) return ERROR_INVALID_HANDLE;
    winapi::ReleaseHandle(reinterpret_cast<HANDLE>(hKey));
    return ERROR_SUCCESS;
}
