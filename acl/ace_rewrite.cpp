// New lists in which one ACE carries another SID (replace) or is followed by
// a copy for another SID (copy). The changed ACE keeps its type, flags, mask
// and, for object and callback types, its GUIDs and trailing data.
#include <cstring>
#include <vector>

#include "acl/ace_sid.h"
#include "engine/local_memory.h"
#include "objects/csd.h"

namespace {

enum class Rewrite { Replace, Copy };

// The bytes of `ace` with its SID exchanged for `sid`; empty on failure.
std::vector<BYTE> AceWithSid(const ACE_HEADER* ace, PSID sid) {
    const tavrik::AceSidPlace place = tavrik::LocateAceSid(ace);
    if (place.length == 0 || !IsValidSid(sid)) return {};
    const auto* bytes = reinterpret_cast<const BYTE*>(ace);
    const DWORD sidLength = GetLengthSid(sid);
    const DWORD tail = ace->AceSize - place.offset - place.length;
    std::vector<BYTE> result(bytes, bytes + place.offset);
    result.insert(result.end(), static_cast<const BYTE*>(sid), static_cast<const BYTE*>(sid) + sidLength);
    result.insert(result.end(), bytes + place.offset + place.length, bytes + place.offset + place.length + tail);
    while (result.size() % sizeof(DWORD) != 0) result.push_back(0);
    if (result.size() > MAXWORD) return {};
    auto* header = reinterpret_cast<ACE_HEADER*>(result.data());
    header->AceSize = static_cast<WORD>(result.size());
    return result;
}

PACL RebuildWithSid(PACL acl, DWORD index, PSID sid, Rewrite rewrite, DWORD& lastError) {
    if (!acl || !IsValidAcl(acl)) {
        lastError = ERROR_INVALID_ACL;
        return nullptr;
    }
    ACL_SIZE_INFORMATION size = {};
    void* changed = nullptr;
    if (!GetAclInformation(acl, &size, sizeof(size), AclSizeInformation) || !GetAce(acl, index, &changed)) {
        lastError = GetLastError();
        return nullptr;
    }
    const auto* source = static_cast<const ACE_HEADER*>(changed);
    const std::vector<BYTE> newAce = AceWithSid(source, sid);
    if (newAce.empty()) {
        lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    DWORD newSize = size.AclBytesInUse + static_cast<DWORD>(newAce.size());
    if (rewrite == Rewrite::Replace) newSize -= source->AceSize;
    if (newSize > 0xFFFC) {
        lastError = ERROR_ALLOTTED_SPACE_EXCEEDED;
        return nullptr;
    }
    const DWORD revision = acl->AclRevision > ACL_REVISION ? acl->AclRevision : ACL_REVISION;
    tavrik::LocalPtr<ACL> result(static_cast<PACL>(LocalAlloc(LMEM_ZEROINIT, newSize)));
    if (!result || !InitializeAcl(result.get(), newSize, revision)) {
        lastError = result ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }

    auto append = [&](const void* ace, DWORD length) {
        if (AddAce(result.get(), revision, MAXDWORD, const_cast<void*>(ace), length)) return true;
        lastError = GetLastError();
        return false;
    };
    for (DWORD j = 0; j < size.AceCount; ++j) {
        void* ace = nullptr;
        if (!GetAce(acl, j, &ace)) {
            lastError = GetLastError();
            return nullptr;
        }
        const bool atIndex = j == index;
        if (atIndex && rewrite == Rewrite::Replace) {
            if (!append(newAce.data(), static_cast<DWORD>(newAce.size()))) return nullptr;
            continue;
        }
        if (!append(ace, static_cast<const ACE_HEADER*>(ace)->AceSize)) return nullptr;
        if (atIndex && !append(newAce.data(), static_cast<DWORD>(newAce.size()))) return nullptr;
    }
    if (!IsValidAcl(result.get())) {
        lastError = ERROR_INVALID_ACL;
        return nullptr;
    }
    return result.release();
}

}  // namespace

PACL CSD::ReplaceAceSid(PACL acl, DWORD index, PSID sid) {
    PACL result = RebuildWithSid(acl, index, sid, Rewrite::Replace, m_lastError);
    if (!result) SetLastError(m_lastError);
    return result;
}

PACL CSD::CopyAceWithSid(PACL acl, DWORD index, PSID sid) {
    PACL result = RebuildWithSid(acl, index, sid, Rewrite::Copy, m_lastError);
    if (!result) SetLastError(m_lastError);
    return result;
}

bool CSD::HoldsAceLike(PACL acl, DWORD index, PSID sid) {
    if (!acl || !sid) return false;
    ACL_SIZE_INFORMATION size = {};
    void* source = nullptr;
    if (!GetAclInformation(acl, &size, sizeof(size), AclSizeInformation) || !GetAce(acl, index, &source)) {
        return false;
    }
    const std::vector<BYTE> wanted = AceWithSid(static_cast<const ACE_HEADER*>(source), sid);
    if (wanted.empty()) return false;
    for (DWORD j = 0; j < size.AceCount; ++j) {
        void* ace = nullptr;
        if (!GetAce(acl, j, &ace)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceSize == wanted.size() && std::memcmp(ace, wanted.data(), wanted.size()) == 0) return true;
    }
    return false;
}
