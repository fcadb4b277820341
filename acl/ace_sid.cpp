#include "acl/ace_sid.h"

namespace tavrik {

namespace {

bool HasObjectLayout(BYTE aceType) {
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

// The bytes of a SID that starts `available` bytes before the end of its
// ACE, or 0 when no valid SID fits there.
DWORD SidLengthWithin(const BYTE* sid, DWORD available) {
    constexpr DWORD kFixedPart = 8;  // revision, count, 6-byte authority
    if (available < kFixedPart) return 0;
    const DWORD length = kFixedPart + 4u * sid[1];
    if (sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES || length > available) return 0;
    return length;
}

}  // namespace

bool HasBasicLayout(BYTE aceType) {
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

AceSidPlace LocateAceSid(const ACE_HEADER* ace, AceSidReach reach) {
    if (!ace) return {};
    const DWORD size = ace->AceSize;
    const bool everyAce = reach == AceSidReach::EveryAce;
    DWORD offset = 0;
    if (everyAce && ace->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE) {
        offset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + 2 * sizeof(WORD);  // compound type, reserved
    } else if (HasObjectLayout(ace->AceType)) {
        offset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + sizeof(DWORD);
        if (size < offset) return {};
        DWORD objectFlags = 0;
        const BYTE* flagBytes = reinterpret_cast<const BYTE*>(ace) + offset - sizeof(DWORD);
        for (int i = 3; i >= 0; --i) objectFlags = (objectFlags << 8) | flagBytes[i];
        if (objectFlags & ACE_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
        if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
    } else if (everyAce || HasBasicLayout(ace->AceType)) {
        offset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    } else {
        return {};
    }
    if (size < offset) return {};
    return {offset, SidLengthWithin(reinterpret_cast<const BYTE*>(ace) + offset, size - offset)};
}

}  // namespace tavrik
