// Bounds-checked readers for SIDs, ACLs and ACEs in untrusted bytes.
#include "winapi/security/security_layout.h"

namespace winapi {

namespace {

// ACE types laid out as header, mask, SID (and, for callback and resource
// types, application data after the SID).
bool IsBasicSidAceType(BYTE aceType) {
    switch (aceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_DENIED_ACE_TYPE:
        case SYSTEM_AUDIT_ACE_TYPE:
        case SYSTEM_ALARM_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
        case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
        case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
        case SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE:
        case SYSTEM_SCOPED_POLICY_ID_ACE_TYPE:
            return true;
        default:
            return false;
    }
}

constexpr size_t kBasicSidOffset = kAceHeaderSize + sizeof(ACCESS_MASK);
constexpr size_t kObjectFlagsOffset = kAceHeaderSize + sizeof(ACCESS_MASK);
constexpr size_t kObjectFixedSize = kObjectFlagsOffset + sizeof(DWORD);

}  // namespace

size_t CheckedSidLength(const BYTE* p, size_t available) {
    if (p == nullptr || available < kSidHeaderSize) return 0;
    if (p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    const size_t length = kSidHeaderSize + size_t{p[1]} * sizeof(DWORD);
    return length <= available ? length : 0;
}

bool HasObjectAceLayout(BYTE aceType) {
    switch (aceType) {
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
        case SYSTEM_ALARM_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
        case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE:
            return true;
        default:
            return false;
    }
}

size_t AceSidOffset(const BYTE* ace, size_t aceSize) {
    if (ace == nullptr || aceSize < kAceHeaderSize) return 0;
    if (IsBasicSidAceType(ace[0])) return aceSize >= kBasicSidOffset ? kBasicSidOffset : 0;
    if (!HasObjectAceLayout(ace[0]) || aceSize < kObjectFixedSize) return 0;
    const DWORD flags = ReadDword(ace + kObjectFlagsOffset);
    size_t offset = kObjectFixedSize;
    if (flags & ACE_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
    if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
    return offset <= aceSize ? offset : 0;
}

size_t CheckedAceOffset(const BYTE* acl, size_t aclSize, size_t index) {
    size_t offset = kAclHeaderSize;
    if (acl == nullptr || aclSize < kAclHeaderSize) return 0;
    for (size_t i = 0; i < index; ++i) {
        if (aclSize - offset < kAceHeaderSize) return 0;
        const size_t aceSize = ReadWord(acl + offset + 2);
        if (aceSize < kAceHeaderSize || aceSize > aclSize - offset) return 0;
        offset += aceSize;
    }
    return offset;
}

bool CheckedAclValid(const BYTE* p, size_t available, size_t* used) {
    if (p == nullptr || available < kAclHeaderSize) return false;
    const BYTE revision = p[0];
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION) return false;
    const size_t aclSize = ReadWord(p + 2);
    if (aclSize < kAclHeaderSize || aclSize % sizeof(DWORD) != 0 || aclSize > available) return false;
    const size_t count = ReadWord(p + 4);

    size_t offset = kAclHeaderSize;
    for (size_t i = 0; i < count; ++i) {
        if (aclSize - offset < kAceHeaderSize) return false;
        const BYTE* ace = p + offset;
        const size_t aceSize = ReadWord(ace + 2);
        if (aceSize < kAceHeaderSize || aceSize % sizeof(DWORD) != 0 || aceSize > aclSize - offset) return false;
        const BYTE type = ace[0];
        if (type <= SYSTEM_ALARM_ACE_TYPE) {
            // The four basic types, nearly every ACE there is: the SID
            // follows the mask.
            if (aceSize < kBasicSidOffset + kSidHeaderSize) return false;
            const BYTE* sid = ace + kBasicSidOffset;
            if (sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES ||
                kSidHeaderSize + size_t{sid[1]} * sizeof(DWORD) > aceSize - kBasicSidOffset)
                return false;
            offset += aceSize;
            continue;
        }
        if (HasObjectAceLayout(type) && revision < ACL_REVISION_DS) return false;
        if (type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE && revision < ACL_REVISION3) return false;
        if (IsBasicSidAceType(type) || HasObjectAceLayout(type)) {
            const size_t sidOffset = AceSidOffset(ace, aceSize);
            if (sidOffset == 0 || CheckedSidLength(ace + sidOffset, aceSize - sidOffset) == 0) return false;
        }
        offset += aceSize;
    }
    if (used != nullptr) *used = offset - kAclHeaderSize;
    return true;
}

}  // namespace winapi
