// GetNamedSecurityInfoW and SetNamedSecurityInfoW for files, registry keys,
// services, printers and shares.
#include <cstring>
#include <optional>

#include "winapi/security/descriptor_parts.h"
#include "winapi/files/file_security.h"
#include "winapi/security/inheritance.h"
#include "winapi/machine/change_observer.h"
#include "winapi/machine/dry_run.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/named_objects.h"
#include "winapi/machine/network_cache.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/process_token.h"
#include "winapi/machine/registry_model.h"
#include "winapi/machine/registry_security.h"
#include "winapi/machine/text.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

using namespace winapi::machine;
using winapi::Bytes;

namespace {

// A name split into its computer part ("\\server\") and the rest.
struct ObjectName {
    std::wstring computer;  // empty: the local computer
    std::wstring rest;
};

ObjectName SplitServer(const std::wstring& name) {
    if (name.size() > 2 && name[0] == L'\\' && name[1] == L'\\') {
        size_t slash = name.find(L'\\', 2);
        if (slash == std::wstring::npos) return {name.substr(2), L""};
        return {name.substr(2, slash - 2), name.substr(slash + 1)};
    }
    return {L"", name};
}

bool IsRegistry(SE_OBJECT_TYPE type) {
    return type == SE_REGISTRY_KEY || type == SE_REGISTRY_WOW64_32KEY || type == SE_REGISTRY_WOW64_64KEY;
}

struct NamedKindInfo {
    NamedObjectKind kind;
    DWORD missing;      // the object does not exist
    DWORD unreachable;  // its computer is unknown or down
    const GENERIC_MAPPING* mapping;
};

std::optional<NamedKindInfo> KindOf(SE_OBJECT_TYPE type) {
    switch (type) {
    case SE_SERVICE:
        return NamedKindInfo{NamedObjectKind::Service, ERROR_SERVICE_DOES_NOT_EXIST, RPC_S_SERVER_UNAVAILABLE,
                             &winapi::ServiceGenericMapping()};
    case SE_PRINTER:
        return NamedKindInfo{NamedObjectKind::Printer, ERROR_INVALID_PRINTER_NAME, ERROR_INVALID_PRINTER_NAME,
                             &winapi::PrinterGenericMapping()};
    case SE_LMSHARE:
        return NamedKindInfo{NamedObjectKind::Share, NERR_NetNameNotFound, ERROR_BAD_NETPATH,
                             &winapi::ShareGenericMapping()};
    default:
        return std::nullopt;
    }
}

DWORD FindKey(const std::wstring& name, KeyRecord* key) {
    ObjectName parts = SplitServer(name);
    auto computer = FindComputerRecord(parts.computer);
    if (!computer || !computer->reachable) return RPC_S_SERVER_UNAVAILABLE;
    size_t slash = parts.rest.find(L'\\');
    std::wstring rootName = parts.rest.substr(0, slash);
    if (CanonicalRootName(rootName).empty()) return ERROR_INVALID_PARAMETER;
    auto current = FindRootKey(computer->id, rootName);
    if (!current) return ERROR_FILE_NOT_FOUND;
    std::vector<std::wstring> path;
    if (slash != std::wstring::npos && !SplitKeyPath(std::wstring_view(parts.rest).substr(slash + 1), &path))
        return ERROR_FILE_NOT_FOUND;
    for (const auto& component : path) {
        current = FindChildKey(*current, component);
        if (!current) return ERROR_FILE_NOT_FOUND;
    }
    *key = *current;
    return ERROR_SUCCESS;
}

DWORD FindObject(const std::wstring& name, const NamedKindInfo& kind, NamedObjectRecord* object) {
    ObjectName parts = SplitServer(name);
    auto computer = FindComputerRecord(parts.computer);
    if (!computer || !computer->reachable) return kind.unreachable;
    if (parts.rest.empty() || parts.rest.find(L'\\') != std::wstring::npos) return kind.missing;
    auto found = FindNamedObject(computer->id, kind.kind, parts.rest);
    if (!found) return kind.missing;
    *object = *found;
    return ERROR_SUCCESS;
}

// The whole descriptor of the object, after the access check for reading
// `info`. `keyId` receives the key a registry name names (else 0).
DWORD ReadDescriptor(const std::wstring& name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, Bytes* sd,
                     int64_t* keyId) {
    *keyId = 0;
    if (type == SE_FILE_OBJECT) return winapi::GetFileSecurityByName(name, info, sd);
    const GENERIC_MAPPING* mapping = nullptr;
    if (IsRegistry(type)) {
        KeyRecord key;
        if (DWORD error = FindKey(name, &key)) return error;
        *keyId = key.id;
        *sd = std::move(key.descriptor);
        mapping = &winapi::RegistryGenericMapping();
    } else if (auto kind = KindOf(type)) {
        NamedObjectRecord object;
        if (DWORD error = FindObject(name, *kind, &object)) return error;
        *sd = std::move(object.descriptor);
        mapping = kind->mapping;
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    ACCESS_MASK desired = AccessToRead(info);
    if (desired == 0) return ERROR_SUCCESS;
    ACCESS_MASK granted = 0;
    return winapi::CheckAccess(sd->data(), sd->size(), ProcessToken(), desired, *mapping, true, &granted);
}

// Only the parts the caller asked for, as Windows returns them.
Bytes RequestedParts(const Bytes& sd, SECURITY_INFORMATION info, DWORD* error) {
    winapi::DescriptorParts parts;
    *error = winapi::ParseSelfRelative(sd.data(), sd.size(), &parts);
    if (*error != ERROR_SUCCESS) return {};
    SECURITY_DESCRIPTOR_CONTROL control = parts.control | SE_SELF_RELATIVE;
    bool wantDacl = info & DACL_SECURITY_INFORMATION;
    bool wantSacl = info & SACL_SECURITY_INFORMATION;
    if (!wantDacl) control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED);
    if (!wantSacl) control &= ~(SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED);
    return winapi::BuildSelfRelative(control, (info & OWNER_SECURITY_INFORMATION) ? parts.owner : nullptr,
                                     (info & GROUP_SECURITY_INFORMATION) ? parts.group : nullptr,
                                     wantSacl ? parts.sacl : nullptr, wantDacl ? parts.dacl : nullptr);
}

DWORD WriteNamedObject(const std::wstring& name, const NamedKindInfo& kind, SECURITY_INFORMATION info, PSID owner,
                       PSID group, PACL dacl, PACL sacl) {
    NamedObjectRecord object;
    if (DWORD error = FindObject(name, kind, &object)) return error;
    const winapi::AccessToken& token = ProcessToken();
    ACCESS_MASK desired = AccessToWrite(info);
    if (desired == 0) return ERROR_SUCCESS;
    ACCESS_MASK granted = 0;
    DWORD error = winapi::CheckAccess(object.descriptor.data(), object.descriptor.size(), token, desired,
                                      *kind.mapping, true, &granted);
    if (error != ERROR_SUCCESS) return error;
    if ((info & OWNER_SECURITY_INFORMATION) && owner != nullptr && !token.HasEnabled(SE_RESTORE_NAME) &&
        !winapi::TokenHasSid(token, static_cast<const BYTE*>(owner)))
        return ERROR_INVALID_OWNER;
    Bytes updated;
    error = winapi::ApplySecurityInformation(object.descriptor, nullptr, false, info, owner, group, dacl, sacl,
                                             *kind.mapping, &updated);
    if (error != ERROR_SUCCESS) return error;
    WriteNamedObjectDescriptor(object.id, updated);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    for (void** out : {reinterpret_cast<void**>(ppsidOwner), reinterpret_cast<void**>(ppsidGroup),
                       reinterpret_cast<void**>(ppDacl), reinterpret_cast<void**>(ppSacl),
                       reinterpret_cast<void**>(ppSecurityDescriptor)})
        if (out != nullptr) *out = nullptr;
    if (pObjectName == nullptr) return ERROR_INVALID_PARAMETER;
    // The part pointers point into the block; without the block nobody
    // could free it.
    if (ppSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
    winapi::machine::BeginNamedStep(pObjectName);
    return GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("GetNamedSecurityInfoW", pObjectName)) return fault;
        // Some objects of Windows carry no descriptor at all: the call then
        // succeeds and hands back none. A fault under this name makes an
        // object of the simulated computer behave so (its code is ignored).
        if (InjectedFailure("GetNamedSecurityInfoW.NoDescriptor", pObjectName)) return ERROR_SUCCESS;
        std::lock_guard guard(MachineLock());
        Bytes whole;
        int64_t keyId = 0;
        if (DWORD error = ReadDescriptor(pObjectName, ObjectType, SecurityInfo, &whole, &keyId)) return error;
        if (keyId != 0) {
            ApplyPlannedKeyWrite(keyId, &whole);
        } else {
            ApplyPlannedWrite(pObjectName, ObjectType, &whole);
        }
        DWORD error = ERROR_SUCCESS;
        Bytes requested = RequestedParts(whole, SecurityInfo, &error);
        if (error != ERROR_SUCCESS) return error;
        void* block = LocalAlloc(LMEM_FIXED, requested.size());
        if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        std::memcpy(block, requested.data(), requested.size());
        winapi::DescriptorParts parts;
        winapi::ParseSelfRelative(static_cast<const BYTE*>(block), requested.size(), &parts);
        if (ppsidOwner != nullptr) *ppsidOwner = const_cast<SID*>(parts.owner);
        if (ppsidGroup != nullptr) *ppsidGroup = const_cast<SID*>(parts.group);
        if (ppDacl != nullptr) *ppDacl = const_cast<ACL*>(parts.dacl);
        if (ppSacl != nullptr) *ppSacl = const_cast<ACL*>(parts.sacl);
        *ppSecurityDescriptor = block;
        return ERROR_SUCCESS;
    });
}

DWORD SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl) {
    if (pObjectName == nullptr) return ERROR_INVALID_PARAMETER;
    winapi::machine::BeginNamedStep(pObjectName);
    return GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("SetNamedSecurityInfoW", pObjectName)) return fault;
        if (DryRunActive()) {
            // A key's plan is kept by the key, which handles read it through.
            int64_t keyId = 0;
            if (IsRegistry(ObjectType)) {
                std::lock_guard guard(MachineLock());
                KeyRecord key;
                if (FindKey(pObjectName, &key) == ERROR_SUCCESS) keyId = key.id;
            }
            if (InterceptWrite(pObjectName, ObjectType, SecurityInfo, psidOwner, psidGroup, pDacl, pSacl, keyId))
                return ERROR_SUCCESS;
        }
        if (ObjectType == SE_FILE_OBJECT)
            return winapi::SetFileSecurityByName(pObjectName, SecurityInfo, psidOwner, psidGroup, pDacl, pSacl);
        // Keys, services, printers and shares are few in a job: their
        // writes are told of as they come, changing or not, and before the
        // lock, so that the observer may read the object first.
        if (DWORD refused = NoteComingChange(pObjectName, ObjectType, SecurityInfo)) return refused;
        std::lock_guard guard(MachineLock());
        if (IsRegistry(ObjectType)) {
            KeyRecord key;
            if (DWORD error = FindKey(pObjectName, &key)) return error;
            return SetKeySecurity(key, pObjectName, ProcessToken(), SecurityInfo, psidOwner, psidGroup, pDacl, pSacl);
        }
        if (auto kind = KindOf(ObjectType))
            return WriteNamedObject(pObjectName, *kind, SecurityInfo, psidOwner, psidGroup, pDacl, pSacl);
        return ERROR_INVALID_PARAMETER;
    });
}

BOOL SetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION SecurityInformation,
                      PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (lpFileName == nullptr || pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    winapi::machine::BeginNamedStep(lpFileName);
    return BoolResult(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("SetFileSecurityW", lpFileName)) return fault;
        // The call takes either form; the layer works on the self-relative one.
        Bytes given;
        if (DWORD error = winapi::SelfRelativeCopy(pSecurityDescriptor, &given); error != ERROR_SUCCESS) return error;
        // A dry run shows the record as the call would store it; nothing is written.
        if (DryRunActive() && InterceptStoredWrite(lpFileName, SE_FILE_OBJECT, SecurityInformation, given))
            return ERROR_SUCCESS;
        return winapi::StoreFileSecurityByName(lpFileName, SecurityInformation, given);
    }));
}
