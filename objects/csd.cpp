// Reading an object's security descriptor into absolute form and writing
// chosen parts of it back.
#include "objects/csd.h"

#include <vector>

#include "engine/local_memory.h"
#include "engine/tavrik.h"

namespace {

void FreeOwned(void*& block, BOOL& owned) {
    if (block && owned) LocalFree(block);
    block = nullptr;
    owned = FALSE;
}

template <class T>
void FreeOwnedAs(T*& block, BOOL& owned) {
    void* raw = block;
    FreeOwned(raw, owned);
    block = nullptr;
}

// Reads the self-relative descriptor through an open handle into `block`,
// a buffer kept by the caller from read to read; null when the handle does
// not give one. A first size that holds most descriptors spares the call
// that only asks for the size: each call reads and decodes the descriptor
// anew.
PSECURITY_DESCRIPTOR ReadThroughHandle(HANDLE handle, SECURITY_INFORMATION info, std::vector<BYTE>* block) {
    constexpr DWORD kFirstTry = 1024;
    if (block->size() < kFirstTry) block->resize(kFirstTry);
    DWORD needed = 0;
    const auto size = static_cast<DWORD>(block->size());
    if (GetKernelObjectSecurity(handle, info, block->data(), size, &needed)) return block->data();
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size) return nullptr;
    block->resize(needed);
    if (!GetKernelObjectSecurity(handle, info, block->data(), needed, &needed)) return nullptr;
    return block->data();
}

// A header and a parts block kept on this thread from object to object: a
// walk reads one object's descriptor after another's, each into blocks of
// about the same size.
struct SpareBlocks {
    void* header = nullptr;
    void* block = nullptr;
    size_t size = 0;
    ~SpareBlocks() {
        if (header) LocalFree(header);
        if (block) LocalFree(block);
    }
};
SpareBlocks& Spare() {
    thread_local SpareBlocks spare;
    return spare;
}

// The buffer of the reads through handles on this thread; a read's bytes
// are used only until GetSD has laid them out.
std::vector<BYTE>& HandleReadBuffer() {
    thread_local std::vector<BYTE> buffer;
    return buffer;
}

// Whether SetSDAsRecorded writes a record as it stands: a file's with
// SetFileSecurityW, a registry key's with RegSetKeySecurity. On Linux
// always: the layer stores a key's record as it stands, and a file's too,
// taking the entries of a list marked auto-inherited from the directory as
// it is then (winapi/files/file_security.h); the journal records both
// before a job's change of an object above reaches them. Windows stores
// every list as given, and there the image of an auto-inherited list was
// read after a job's change above had already reached it (the system
// propagates inside the named call, before the job comes to the object
// below); only the named call takes such a list's inherited entries anew.
// So there it is kept for a DACL without the flag, which the named call
// would give its parent's entries. An undo file that records every object
// its job changed is written so everywhere: each record as it stands, and
// nothing handed down.
bool WrittenAsRecorded(SECURITY_DESCRIPTOR_CONTROL control, SECURITY_INFORMATION info, bool everyChangeRecorded) {
#ifdef _WIN32
    return everyChangeRecorded ||
           ((info & DACL_SECURITY_INFORMATION) && !(control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED)));
#else
    (void)control;
    (void)info;
    (void)everyChangeRecorded;
    return true;
#endif
}

}  // namespace

CSD::~CSD() {
    FreeSD();
    FreeDacl();
    FreeSacl();
    FreeOwner();
    FreeGroup();
    ReleaseParts();
}

void CSD::ReleaseParts() {
    if (!m_parts) return;
    SpareBlocks& spare = Spare();
    if (!spare.block || spare.size < m_partsSize) {
        if (spare.block) LocalFree(spare.block);
        spare.block = m_parts.release();
        spare.size = m_partsSize;
    }
    m_parts.reset();
    m_partsSize = 0;
}

void CSD::FreeSD() {
    if (m_sd && m_ownsSD && m_sd == m_readHeader) {
        SpareBlocks& spare = Spare();
        if (!spare.header) {
            spare.header = m_sd;
            m_sd = nullptr;
            m_ownsSD = FALSE;
        }
    }
    m_readHeader = nullptr;
    FreeOwned(m_sd, m_ownsSD);
}
void CSD::FreeDacl() { FreeOwnedAs(m_dacl, m_ownsDacl); }
void CSD::FreeSacl() { FreeOwnedAs(m_sacl, m_ownsSacl); }
void CSD::FreeOwner() { FreeOwned(m_owner, m_ownsOwner); }
void CSD::FreeGroup() { FreeOwned(m_group, m_ownsGroup); }

DWORD CSD::GetSD(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info) {
    return Read(std::move(objectName), objectType, info, false);
}

DWORD CSD::GetSDAsRead(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info) {
    return Read(std::move(objectName), objectType, info, true);
}

DWORD CSD::Read(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info, bool keepSelfRelative) {
    if (objectName.empty() || objectType == 0) return RTN_ERR_PARAMETER;
    m_objectName = std::move(objectName);
    m_objectType = objectType;

    DWORD access = READ_CONTROL;
    if (info & SACL_SECURITY_INFORMATION) {
        if (m_engine->EnablePrivilege(SE_SECURITY_NAME, TRUE) != RTN_OK) return RTN_ERR_PRIVILEGE;
        access |= ACCESS_SYSTEM_SECURITY;
    }

    DWORD pending = RTN_OK;
    PSECURITY_DESCRIPTOR selfRelative = nullptr;
    tavrik::LocalPtr<> named;
    if (objectType == SE_FILE_OBJECT) {
        HANDLE file = CreateFileW(m_objectName.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr);
        if (file != INVALID_HANDLE_VALUE && file != nullptr) {
            selfRelative = ReadThroughHandle(file, info, &HandleReadBuffer());
            CloseHandle(file);
        }
    } else if (objectType == SE_REGISTRY_KEY) {
        HKEY key = nullptr;
        pending = m_engine->OpenRegistryPath(m_objectName, key);
        if (pending == RTN_OK && key) {
            selfRelative = ReadThroughHandle(reinterpret_cast<HANDLE>(key), info, &HandleReadBuffer());
            RegCloseKey(key);
        }
    }

    if (!selfRelative) {
        PSECURITY_DESCRIPTOR read = nullptr;
        m_lastError = GetNamedSecurityInfoW(m_objectName.c_str(), static_cast<SE_OBJECT_TYPE>(objectType), info,
                                            nullptr, nullptr, nullptr, nullptr, &read);
        named.reset(read);
        selfRelative = read;
        if (m_lastError != ERROR_SUCCESS || !selfRelative) return RTN_ERR_READ_SD;
    }

    FreeSD();
    FreeDacl();
    FreeSacl();
    FreeOwner();
    FreeGroup();
    ReleaseParts();
    // The absolute copy costs a listed object more than its SDDL text does;
    // a caller that converts the descriptor whole takes it as it was read.
    if (keepSelfRelative && IsValidSecurityDescriptor(selfRelative)) {
        m_ownsSD = named ? TRUE : FALSE;
        m_sd = named ? named.release() : selfRelative;
        return pending;
    }
    if (!ToAbsolute(selfRelative)) {
        m_lastError = GetLastError();
        return RTN_ERR_SD_CONVERT;
    }
    if (IsValidSecurityDescriptor(m_sd)) return pending;
    m_lastError = GetLastError();
    return RTN_ERR_SD_CONVERT;
}

// Lays the absolute form out in the header this object holds and one block
// with a slot for each part. No part of a self-relative descriptor is
// longer than the whole, so slots of its length take every part in one
// conversion, without the call that only asks for the sizes; should one not
// fit after all, the sizes the conversion reports are used instead. The
// parts' block lives until the next read or the end of this object, and is
// then kept for the next object's read on this thread; parts replaced later
// are the caller's or freed on their own.
bool CSD::ToAbsolute(PSECURITY_DESCRIPTOR selfRelative) {
    auto slot = [](DWORD size) { return (size + 7u) & ~7u; };
    SpareBlocks& spare = Spare();
    tavrik::LocalPtr<> header(spare.header ? spare.header : LocalAlloc(LMEM_FIXED, sizeof(SECURITY_DESCRIPTOR)));
    spare.header = nullptr;
    if (!header) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const DWORD whole = slot(GetSecurityDescriptorLength(selfRelative));
    DWORD sizes[4] = {whole, whole, whole, whole};  // DACL, SACL, owner, group
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD total = 0;
        for (DWORD size : sizes) total += slot(size);
        if (!total) total = 8u;
        ReleaseParts();
        if (spare.block && spare.size >= total) {
            m_parts.reset(spare.block);
            m_partsSize = spare.size;
            spare.block = nullptr;
            spare.size = 0;
        } else {
            m_parts.reset(LocalAlloc(LMEM_FIXED, total));
            m_partsSize = total;
        }
        if (!m_parts) {
            m_partsSize = 0;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            break;
        }
        BYTE* at = static_cast<BYTE*>(m_parts.get());
        void* blocks[4];
        for (int i = 0; i < 4; ++i) {
            blocks[i] = sizes[i] ? at : nullptr;
            at += slot(sizes[i]);
        }
        DWORD headerSize = sizeof(SECURITY_DESCRIPTOR);
        DWORD given[4] = {sizes[0], sizes[1], sizes[2], sizes[3]};
        if (MakeAbsoluteSD(selfRelative, header.get(), &headerSize, static_cast<PACL>(blocks[0]), &given[0],
                           static_cast<PACL>(blocks[1]), &given[1], blocks[2], &given[2], blocks[3], &given[3])) {
            m_sd = header.release();
            m_ownsSD = TRUE;
            m_readHeader = m_sd;
            auto* absolute = static_cast<PISECURITY_DESCRIPTOR>(m_sd);
            m_dacl = absolute->Dacl;
            m_sacl = absolute->Sacl;
            m_owner = absolute->Owner;
            m_group = absolute->Group;
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || headerSize > sizeof(SECURITY_DESCRIPTOR)) break;
        for (int i = 0; i < 4; ++i) sizes[i] = given[i];
    }
    ReleaseParts();
    // The header goes back to be used again.
    if (!spare.header) spare.header = header.release();
    return false;
}

void CSD::TargetWithoutReading(std::wstring objectName, DWORD objectType) {
    FreeSD();
    m_objectName = std::move(objectName);
    m_objectType = objectType;
}

DWORD CSD::SetSDAsRecorded(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info, PACL dacl,
                           PACL sacl, PSID owner, PSID group, SECURITY_DESCRIPTOR_CONTROL control) {
    m_asRecorded = true;
    m_recordedControl = control;
    const DWORD result = SetSD(std::move(objectName), objectType, info, dacl, sacl, owner, group);
    m_asRecorded = false;
    return result;
}

DWORD CSD::WriteKeyAsRecorded(SECURITY_INFORMATION info, PACL sacl) {
    // A recorded "no SACL" reads as a NULL one; the key is given none.
    if ((info & SACL_SECURITY_INFORMATION) && !sacl) SetSecurityDescriptorSacl(m_sd, FALSE, nullptr, FALSE);
    REGSAM access = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) access |= WRITE_OWNER;
    if (info & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
    if (info & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    std::wstring path = m_objectName;
    HKEY key = nullptr;
    if (m_engine->OpenRegistryPath(path, key, access) != RTN_OK || !key) {
        return m_engine->m_lastOsError != ERROR_SUCCESS ? m_engine->m_lastOsError : ERROR_BAD_PATHNAME;
    }
    const LSTATUS written = RegSetKeySecurity(key, info, m_sd);
    RegCloseKey(key);
    return static_cast<DWORD>(written);
}

DWORD CSD::SetSD(const std::wstring& objectName, DWORD objectType, SECURITY_INFORMATION info, PACL dacl, PACL sacl,
                 PSID owner, PSID group) {
    if (objectName.empty() || objectType == 0) return RTN_ERR_PARAMETER;

    if (!m_sd) {
        if (m_objectName.empty() || m_objectType == 0) {
            if (DWORD code = GetSD(objectName, objectType, info); code != RTN_OK) return code;
        } else {
            // A read was made but gave no descriptor: start from an empty one.
            m_sd = LocalAlloc(LMEM_ZEROINIT, SECURITY_DESCRIPTOR_MIN_LENGTH);
            if (!m_sd) {
                m_ownsSD = FALSE;
                return RTN_ERR_SD_ALLOC;
            }
            m_ownsSD = TRUE;
            if (!InitializeSecurityDescriptor(m_sd, SECURITY_DESCRIPTOR_REVISION)) return RTN_ERR_SD_INIT;
        }
    }

    if (info & OWNER_SECURITY_INFORMATION) {
        if (m_engine->EnablePrivilege(SE_TAKE_OWNERSHIP_NAME, TRUE) != RTN_OK) return RTN_ERR_PRIVILEGE;
    }
    if (info & SACL_SECURITY_INFORMATION) {
        if (m_engine->EnablePrivilege(SE_SECURITY_NAME, TRUE) != RTN_OK) return RTN_ERR_PRIVILEGE;
    }

    if (info & DACL_SECURITY_INFORMATION) {
        if (!SetSecurityDescriptorDacl(m_sd, TRUE, dacl, FALSE)) {
            m_lastError = GetLastError();
            return RTN_ERR_SD_SET_DACL;
        }
        if (dacl != m_dacl) {
            FreeDacl();
            m_dacl = dacl;
        }
    }
    if (info & SACL_SECURITY_INFORMATION) {
        if (!SetSecurityDescriptorSacl(m_sd, TRUE, sacl, FALSE)) {
            m_lastError = GetLastError();
            return RTN_ERR_SD_SET_SACL;
        }
        if (sacl != m_sacl) {
            FreeSacl();
            m_sacl = sacl;
        }
    }
    if (info & OWNER_SECURITY_INFORMATION) {
        if (!SetSecurityDescriptorOwner(m_sd, owner, FALSE)) {
            m_lastError = GetLastError();
            return RTN_ERR_SD_SET_OWNER;
        }
        if (owner != m_owner) {
            FreeOwner();
            m_owner = owner;
        }
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        if (!SetSecurityDescriptorGroup(m_sd, group, FALSE)) {
            m_lastError = GetLastError();
            return RTN_ERR_SD_SET_GROUP;
        }
        if (group != m_group) {
            FreeGroup();
            m_group = group;
        }
    }

    if (!IsValidSecurityDescriptor(m_sd)) return RTN_ERR_INVALID_SD;

    if (m_engine->m_beforeWrite) {
        if (const DWORD refused = m_engine->m_beforeWrite(m_objectName, m_objectType, info); refused != RTN_OK) {
            m_lastError = m_engine->m_lastOsError;
            return refused;
        }
    }
    const DWORD descendantFailuresBefore = m_engine->m_descendantFailures;
    m_engine->m_writeRefusal = RTN_OK;
    const bool asRecorded = m_asRecorded && (m_objectType == SE_FILE_OBJECT || m_objectType == SE_REGISTRY_KEY) &&
                            WrittenAsRecorded(m_recordedControl, info, m_engine->m_everyChangeRecorded);
    if (asRecorded) {
        // The descriptor holds the recorded parts; the call takes its
        // flags as they are, so only the ones of the record may stand.
        constexpr SECURITY_DESCRIPTOR_CONTROL kFlags =
            SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
        constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
        SetSecurityDescriptorControl(m_sd, kFlags, m_recordedControl & kFlags);
        if (m_objectType == SE_FILE_OBJECT) {
            m_lastError = SetFileSecurityW(m_objectName.c_str(), info & kParts, m_sd) ? ERROR_SUCCESS : GetLastError();
        } else {
            m_lastError = WriteKeyAsRecorded(info & kParts, sacl);
        }
    } else {
        m_lastError = SetNamedSecurityInfoW(m_objectName.data(), static_cast<SE_OBJECT_TYPE>(m_objectType), info,
                                            owner, group, dacl, sacl);
    }
    if (m_lastError != ERROR_SUCCESS && m_engine->m_writeRefusal != RTN_OK) {
        const DWORD refused = m_engine->m_writeRefusal;
        m_engine->m_writeRefusal = RTN_OK;
        m_lastError = m_engine->m_lastOsError;
        return refused;
    }
    // The call writes the object first and then what the objects below it
    // inherit. When it failed only below, with each of those objects named
    // to the job already, this object was written: the failures are theirs.
    if (m_lastError != ERROR_SUCCESS && m_engine->m_descendantFailures != descendantFailuresBefore) {
        m_lastError = ERROR_SUCCESS;
    }
    const DWORD result = m_lastError == ERROR_SUCCESS ? RTN_OK : RTN_ERR_WRITE_SD;
    if (m_engine->m_afterWrite) m_engine->m_afterWrite(m_objectName, m_objectType, info, result);
    return result;
}
