// Reading self-relative descriptors without trusting their offsets, and
// building them from parts.
#include "winapi/security/descriptor_parts.h"

#include <algorithm>
#include <cstring>

#include "winapi/base.h"
#include "winapi/errors.h"
#include "winapi/security/recent_valid_acls.h"
#include "winapi/security/security_layout.h"

namespace winapi {

namespace {

// An offset is usable when it points past the header, is DWORD-aligned (so
// the structures behind it can be read through typed pointers) and leaves
// at least `minimum` bytes.
bool UsableOffset(DWORD offset, size_t size, size_t minimum) {
    return offset >= kRelativeHeaderSize && offset % sizeof(DWORD) == 0 && offset <= size &&
           size - offset >= minimum;
}

bool ParseSid(const BYTE* data, size_t size, DWORD offset, const SID** sid) {
    *sid = nullptr;
    if (offset == 0) return true;
    if (!UsableOffset(offset, size, kSidHeaderSize) || CheckedSidLength(data + offset, size - offset) == 0)
        return false;
    *sid = reinterpret_cast<const SID*>(data + offset);
    return true;
}

bool ParseAcl(const BYTE* data, size_t size, bool present, DWORD offset, const ACL** acl) {
    *acl = nullptr;
    if (!present || offset == 0) return true;
    if (!UsableOffset(offset, size, kAclHeaderSize) || !AclValidAsRecently(data + offset, size - offset)) return false;
    *acl = reinterpret_cast<const ACL*>(data + offset);
    return true;
}

}  // namespace

DWORD ParseSelfRelative(const BYTE* data, size_t size, DescriptorParts* parts) {
    if (data == nullptr || parts == nullptr || size < kRelativeHeaderSize) return ERROR_INVALID_SECURITY_DESCR;
    if (data[0] != SECURITY_DESCRIPTOR_REVISION) return ERROR_INVALID_SECURITY_DESCR;
    DescriptorParts result;
    result.control = ReadWord(data + 2);
    const DWORD ownerOffset = ReadDword(data + 4);
    const DWORD groupOffset = ReadDword(data + 8);
    const DWORD saclOffset = ReadDword(data + 12);
    const DWORD daclOffset = ReadDword(data + 16);
    if (!ParseSid(data, size, ownerOffset, &result.owner) || !ParseSid(data, size, groupOffset, &result.group) ||
        !ParseAcl(data, size, result.control & SE_SACL_PRESENT, saclOffset, &result.sacl) ||
        !ParseAcl(data, size, result.control & SE_DACL_PRESENT, daclOffset, &result.dacl))
        return ERROR_INVALID_SECURITY_DESCR;
    *parts = result;
    return ERROR_SUCCESS;
}

Bytes SidBytes(const SID* sid) {
    if (sid == nullptr) return {};
    const auto* p = reinterpret_cast<const BYTE*>(sid);
    const size_t count = std::min<size_t>(p[1], SID_MAX_SUB_AUTHORITIES);
    return Bytes(p, p + kSidHeaderSize + count * sizeof(DWORD));
}

Bytes AclBytes(const ACL* acl) {
    if (acl == nullptr) return {};
    const auto* p = reinterpret_cast<const BYTE*>(acl);
    const size_t size = std::max<size_t>(ReadWord(p + 2), kAclHeaderSize);
    return Bytes(p, p + size);
}

// Windows writes the parts of a self-relative descriptor as SACL, DACL,
// owner, group after the header: see the example descriptor in MS-DTYP
// 2.5.1.4, whose SACL sits at 0x14, DACL at 0x30, owner at 0x90 and group at
// 0xa0. Matching it keeps our bytes identical to a Windows server's.
Bytes BuildSelfRelative(SECURITY_DESCRIPTOR_CONTROL control, const SID* owner, const SID* group, const ACL* sacl,
                        const ACL* dacl) {
    Bytes out;
    BuildSelfRelative(control, owner, group, sacl, dacl, &out);
    return out;
}

void BuildSelfRelative(SECURITY_DESCRIPTOR_CONTROL control, const SID* owner, const SID* group, const ACL* sacl,
                       const ACL* dacl, Bytes* built) {
    control |= SE_SELF_RELATIVE;
    if (sacl != nullptr) control |= SE_SACL_PRESENT;
    if (dacl != nullptr) control |= SE_DACL_PRESENT;

    // The same lengths AclBytes and SidBytes give, so that the whole
    // descriptor is laid out in one allocation.
    auto aclLength = [](const ACL* acl) -> size_t {
        return acl ? std::max<size_t>(ReadWord(reinterpret_cast<const BYTE*>(acl) + 2), kAclHeaderSize) : 0;
    };
    auto sidLength = [](const SID* sid) -> size_t {
        if (sid == nullptr) return 0;
        const size_t count = std::min<size_t>(reinterpret_cast<const BYTE*>(sid)[1], SID_MAX_SUB_AUTHORITIES);
        return kSidHeaderSize + count * sizeof(DWORD);
    };
    const size_t saclSize = aclLength(sacl), daclSize = aclLength(dacl);
    const size_t ownerSize = sidLength(owner), groupSize = sidLength(group);
    Bytes& out = *built;
    out.assign(kRelativeHeaderSize + AlignToDword(saclSize) + AlignToDword(daclSize) + AlignToDword(ownerSize) +
                   AlignToDword(groupSize),
               0);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    WriteWord(out.data() + 2, control);
    size_t at = kRelativeHeaderSize;
    auto append = [&out, &at](const void* part, size_t size, size_t fieldOffset) {
        if (size == 0) return;
        std::memcpy(out.data() + at, part, size);
        WriteDword(out.data() + fieldOffset, static_cast<DWORD>(at));
        at += AlignToDword(size);
    };
    append(sacl, saclSize, 12);
    append(dacl, daclSize, 16);
    append(owner, ownerSize, 4);
    append(group, groupSize, 8);
}

void ForEachAce(const ACL* acl, const std::function<bool(const ACE_HEADER* ace, WORD index)>& visit) {
    if (acl == nullptr) return;
    const auto* p = reinterpret_cast<const BYTE*>(acl);
    const size_t aclSize = ReadWord(p + 2);
    const WORD count = ReadWord(p + 4);
    size_t offset = kAclHeaderSize;
    for (WORD i = 0; i < count; ++i) {
        if (aclSize < offset || aclSize - offset < kAceHeaderSize) return;
        const size_t aceSize = ReadWord(p + offset + 2);
        if (aceSize < kAceHeaderSize || aceSize > aclSize - offset) return;
        if (!visit(reinterpret_cast<const ACE_HEADER*>(p + offset), i)) return;
        offset += aceSize;
    }
}

const SID* AceSid(const ACE_HEADER* ace) {
    if (ace == nullptr) return nullptr;
    const auto* p = reinterpret_cast<const BYTE*>(ace);
    const size_t aceSize = ReadWord(p + 2);
    const size_t offset = AceSidOffset(p, aceSize);
    if (offset == 0 || CheckedSidLength(p + offset, aceSize - offset) == 0) return nullptr;
    return reinterpret_cast<const SID*>(p + offset);
}

DWORD SelfRelativeCopy(PSECURITY_DESCRIPTOR sd, Bytes* out) {
    if (!IsValidSecurityDescriptor(sd)) return ERROR_INVALID_SECURITY_DESCR;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    if (control & SE_SELF_RELATIVE) {
        const auto* bytes = static_cast<const BYTE*>(sd);
        out->assign(bytes, bytes + GetSecurityDescriptorLength(sd));
        return ERROR_SUCCESS;
    }
    DWORD length = 0;
    MakeSelfRelativeSD(sd, nullptr, &length);
    out->resize(length);
    if (length == 0 || !MakeSelfRelativeSD(sd, out->data(), &length)) return GetLastError();
    return ERROR_SUCCESS;
}

DWORD ReplaceParts(const Bytes& current, const Bytes& given, SECURITY_INFORMATION info, Bytes* result) {
    DescriptorParts now, asked;
    if (ParseSelfRelative(current.data(), current.size(), &now) != ERROR_SUCCESS ||
        ParseSelfRelative(given.data(), given.size(), &asked) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    constexpr SECURITY_DESCRIPTOR_CONTROL kDaclBits = SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    constexpr SECURITY_DESCRIPTOR_CONTROL kSaclBits = SE_SACL_PRESENT | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
    const SID* owner = now.owner;
    const SID* group = now.group;
    const ACL* dacl = now.dacl;
    const ACL* sacl = now.sacl;
    SECURITY_DESCRIPTOR_CONTROL control = now.control & (kDaclBits | kSaclBits);
    if (info & OWNER_SECURITY_INFORMATION) {
        if (!asked.owner) return ERROR_INVALID_OWNER;
        owner = asked.owner;
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        if (!asked.group) return ERROR_INVALID_PRIMARY_GROUP;
        group = asked.group;
    }
    if (info & DACL_SECURITY_INFORMATION) {
        control = (control & ~kDaclBits) | (asked.control & kDaclBits);
        dacl = asked.dacl;
    }
    if (info & SACL_SECURITY_INFORMATION) {
        control &= ~kSaclBits;
        sacl = nullptr;
        if ((asked.control & SE_SACL_PRESENT) && asked.sacl) {
            control |= asked.control & kSaclBits;
            sacl = asked.sacl;
        }
    }
    if (!(control & SE_DACL_PRESENT)) dacl = nullptr;
    *result = BuildSelfRelative(control, owner, group, sacl, dacl);
    return ERROR_SUCCESS;
}

}  // namespace winapi
