// Security descriptors in either form: creation, the four parts, control
// bits, length and validation.
#include <cstring>
#include <initializer_list>

#include "winapi/security/recent_valid_acls.h"
#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

using winapi::ReadDword;
using winapi::ReadWord;

namespace {

constexpr SECURITY_DESCRIPTOR_CONTROL kSettableControlBits =
    SE_DACL_UNTRUSTED | SE_SERVER_SECURITY | SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ |
    SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_SACL_PROTECTED;

enum class Part { Owner, Group, Sacl, Dacl };

SECURITY_DESCRIPTOR_CONTROL ControlOf(const void* sd) { return ReadWord(static_cast<const BYTE*>(sd) + 2); }
BYTE RevisionOf(const void* sd) { return static_cast<const BYTE*>(sd)[0]; }
bool IsSelfRelative(const void* sd) { return ControlOf(sd) & SE_SELF_RELATIVE; }

// Where a part lives, whichever the form; null when absent. A self-relative
// offset into the header itself is treated as damage and yields null too.
void* PartOf(void* sd, Part part) {
    auto* bytes = static_cast<BYTE*>(sd);
    if (IsSelfRelative(sd)) {
        static constexpr size_t kFieldOffset[] = {4, 8, 12, 16};
        const DWORD offset = ReadDword(bytes + kFieldOffset[static_cast<int>(part)]);
        if (offset < winapi::kRelativeHeaderSize) return nullptr;
        return bytes + offset;
    }
    auto* absolute = static_cast<PISECURITY_DESCRIPTOR>(sd);
    switch (part) {
        case Part::Owner: return absolute->Owner;
        case Part::Group: return absolute->Group;
        case Part::Sacl: return absolute->Sacl;
        case Part::Dacl: return absolute->Dacl;
    }
    return nullptr;
}

// Checks the revision (and, for writers, the absolute form), setting the
// last error as Windows does when either is wrong.
bool Usable(const void* sd, bool forWriting) {
    if (sd == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (RevisionOf(sd) != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return false;
    }
    if (forWriting && IsSelfRelative(sd)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    return true;
}

void SetControlBits(void* sd, SECURITY_DESCRIPTOR_CONTROL bits, bool on) {
    auto* absolute = static_cast<PISECURITY_DESCRIPTOR>(sd);
    absolute->Control = on ? static_cast<SECURITY_DESCRIPTOR_CONTROL>(absolute->Control | bits)
                           : static_cast<SECURITY_DESCRIPTOR_CONTROL>(absolute->Control & ~bits);
}

BOOL SetAcl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL acl, BOOL defaulted, Part part) {
    if (!Usable(sd, true)) return FALSE;
    auto* absolute = static_cast<PISECURITY_DESCRIPTOR>(sd);
    const SECURITY_DESCRIPTOR_CONTROL presentBit = part == Part::Dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
    const SECURITY_DESCRIPTOR_CONTROL defaultedBit = part == Part::Dacl ? SE_DACL_DEFAULTED : SE_SACL_DEFAULTED;
    PACL& field = part == Part::Dacl ? absolute->Dacl : absolute->Sacl;
    if (!present) {
        // Windows ignores the list and the defaulted flag of an absent ACL.
        SetControlBits(sd, presentBit, false);
        field = nullptr;
        return TRUE;
    }
    SetControlBits(sd, presentBit, true);
    SetControlBits(sd, defaultedBit, defaulted != FALSE);
    field = acl;
    return TRUE;
}

BOOL GetAcl(PSECURITY_DESCRIPTOR sd, LPBOOL present, PACL* acl, LPBOOL defaulted, Part part) {
    if (present == nullptr || acl == nullptr || defaulted == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Usable(sd, false)) return FALSE;
    const SECURITY_DESCRIPTOR_CONTROL control = ControlOf(sd);
    const SECURITY_DESCRIPTOR_CONTROL presentBit = part == Part::Dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
    const SECURITY_DESCRIPTOR_CONTROL defaultedBit = part == Part::Dacl ? SE_DACL_DEFAULTED : SE_SACL_DEFAULTED;
    *present = (control & presentBit) ? TRUE : FALSE;
    // As on Windows, an absent ACL leaves the list and defaulted outputs alone.
    if (*present) {
        *acl = static_cast<PACL>(PartOf(sd, part));
        *defaulted = (control & defaultedBit) ? TRUE : FALSE;
    }
    return TRUE;
}

BOOL SetSid(PSECURITY_DESCRIPTOR sd, PSID sid, BOOL defaulted, Part part) {
    if (!Usable(sd, true)) return FALSE;
    auto* absolute = static_cast<PISECURITY_DESCRIPTOR>(sd);
    (part == Part::Owner ? absolute->Owner : absolute->Group) = sid;
    SetControlBits(sd, part == Part::Owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED, defaulted != FALSE);
    return TRUE;
}

BOOL GetSid(PSECURITY_DESCRIPTOR sd, PSID* sid, LPBOOL defaulted, Part part) {
    if (sid == nullptr || defaulted == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Usable(sd, false)) return FALSE;
    *sid = PartOf(sd, part);
    *defaulted = (ControlOf(sd) & (part == Part::Owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED)) ? TRUE : FALSE;
    return TRUE;
}

size_t SidPartLength(const void* sid) {
    return winapi::CheckedSidLength(static_cast<const BYTE*>(sid), SECURITY_MAX_SID_SIZE);
}

size_t AclPartLength(const void* acl) {
    return acl == nullptr ? 0 : winapi::AlignToDword(ReadWord(static_cast<const BYTE*>(acl) + 2));
}

}  // namespace

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<PISECURITY_DESCRIPTOR>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    auto invalid = [] {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    };
    if (pSecurityDescriptor == nullptr || RevisionOf(pSecurityDescriptor) != SECURITY_DESCRIPTOR_REVISION)
        return invalid();
    const SECURITY_DESCRIPTOR_CONTROL control = ControlOf(pSecurityDescriptor);
    if (IsSelfRelative(pSecurityDescriptor)) {
        // Offsets must point past the header and keep the parts aligned.
        const auto* bytes = static_cast<const BYTE*>(pSecurityDescriptor);
        for (size_t field = 4; field <= 16; field += 4) {
            const DWORD offset = ReadDword(bytes + field);
            const bool used = field == 12 ? (control & SE_SACL_PRESENT) : field == 16 ? (control & SE_DACL_PRESENT)
                                                                                      : true;
            if (used && offset != 0 && (offset < winapi::kRelativeHeaderSize || offset % sizeof(DWORD) != 0))
                return invalid();
        }
    }
    for (Part part : {Part::Owner, Part::Group}) {
        void* sid = PartOf(pSecurityDescriptor, part);
        if (sid != nullptr && SidPartLength(sid) == 0) return invalid();
    }
    for (Part part : {Part::Sacl, Part::Dacl}) {
        const SECURITY_DESCRIPTOR_CONTROL presentBit = part == Part::Dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
        const auto* acl = static_cast<const BYTE*>(PartOf(pSecurityDescriptor, part));
        if ((control & presentBit) && acl != nullptr && !winapi::AclValidAsRecently(acl, ReadWord(acl + 2)))
            return invalid();
    }
    return TRUE;
}

DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (pSecurityDescriptor == nullptr) return 0;
    const SECURITY_DESCRIPTOR_CONTROL control = ControlOf(pSecurityDescriptor);
    size_t length = IsSelfRelative(pSecurityDescriptor) ? winapi::kRelativeHeaderSize : sizeof(SECURITY_DESCRIPTOR);
    length += SidPartLength(PartOf(pSecurityDescriptor, Part::Owner));
    length += SidPartLength(PartOf(pSecurityDescriptor, Part::Group));
    if (control & SE_SACL_PRESENT) length += AclPartLength(PartOf(pSecurityDescriptor, Part::Sacl));
    if (control & SE_DACL_PRESENT) length += AclPartLength(PartOf(pSecurityDescriptor, Part::Dacl));
    return static_cast<DWORD>(length);
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSECURITY_DESCRIPTOR_CONTROL pControl,
                                  LPDWORD lpdwRevision) {
    if (pSecurityDescriptor == nullptr || pControl == nullptr || lpdwRevision == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpdwRevision = RevisionOf(pSecurityDescriptor);
    if (*lpdwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    *pControl = ControlOf(pSecurityDescriptor);
    return TRUE;
}

BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
                                  SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet) {
    if (!Usable(pSecurityDescriptor, false)) return FALSE;
    if ((ControlBitsOfInterest | ControlBitsToSet) & ~kSettableControlBits) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SECURITY_DESCRIPTOR_CONTROL control = ControlOf(pSecurityDescriptor);
    const auto updated = static_cast<SECURITY_DESCRIPTOR_CONTROL>((control & ~ControlBitsOfInterest) |
                                                                   (ControlBitsToSet & ControlBitsOfInterest));
    winapi::WriteWord(static_cast<BYTE*>(pSecurityDescriptor) + 2, updated);
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted) {
    return SetAcl(pSecurityDescriptor, bDaclPresent, pDacl, bDaclDefaulted, Part::Dacl);
}

BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bSaclPresent, PACL pSacl,
                               BOOL bSaclDefaulted) {
    return SetAcl(pSecurityDescriptor, bSaclPresent, pSacl, bSaclDefaulted, Part::Sacl);
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner, BOOL bOwnerDefaulted) {
    return SetSid(pSecurityDescriptor, pOwner, bOwnerDefaulted, Part::Owner);
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup, BOOL bGroupDefaulted) {
    return SetSid(pSecurityDescriptor, pGroup, bGroupDefaulted, Part::Group);
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                               LPBOOL lpbDaclDefaulted) {
    return GetAcl(pSecurityDescriptor, lpbDaclPresent, pDacl, lpbDaclDefaulted, Part::Dacl);
}

BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbSaclPresent, PACL* pSacl,
                               LPBOOL lpbSaclDefaulted) {
    return GetAcl(pSecurityDescriptor, lpbSaclPresent, pSacl, lpbSaclDefaulted, Part::Sacl);
}

BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner, LPBOOL lpbOwnerDefaulted) {
    return GetSid(pSecurityDescriptor, pOwner, lpbOwnerDefaulted, Part::Owner);
}

BOOL GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup, LPBOOL lpbGroupDefaulted) {
    return GetSid(pSecurityDescriptor, pGroup, lpbGroupDefaulted, Part::Group);
}
