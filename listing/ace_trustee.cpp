#include "listing/ace_trustee.h"

#include <cstring>

namespace tavrik {

namespace {

constexpr DWORD kHeaderAndMask = 8;  // ACE_HEADER + ACCESS_MASK
constexpr DWORD kGuidSize = 16;
constexpr DWORD kSidFixedPart = 8;   // revision, count, 6-byte authority
constexpr BYTE kMaxSubAuthorities = 15;

bool HasObjectLayout(BYTE aceType) {
    switch (aceType) {
        case 5:   // ACCESS_ALLOWED_OBJECT_ACE_TYPE
        case 6:   // ACCESS_DENIED_OBJECT_ACE_TYPE
        case 7:   // SYSTEM_AUDIT_OBJECT_ACE_TYPE
        case 8:   // SYSTEM_ALARM_OBJECT_ACE_TYPE
        case 11:  // ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE
        case 12:  // ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE
        case 15:  // SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE
        case 16:  // SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE
            return true;
        default:
            return false;
    }
}

constexpr BYTE kCompoundAceType = 4;

}  // namespace

DWORD AceTrusteeOffset(BYTE aceType, DWORD objectFlags) {
    if (aceType == kCompoundAceType) return kHeaderAndMask + 4;  // compound type word + reserved
    if (!HasObjectLayout(aceType)) return kHeaderAndMask;
    DWORD offset = kHeaderAndMask + 4;  // object flags word
    if (objectFlags & ACE_OBJECT_TYPE_PRESENT) offset += kGuidSize;
    if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) offset += kGuidSize;
    return offset;
}

PSID AceTrustee(const ACE_HEADER* ace) {
    if (!ace) return nullptr;
    const auto* bytes = reinterpret_cast<const BYTE*>(ace);
    const DWORD size = ace->AceSize;

    DWORD objectFlags = 0;
    if (HasObjectLayout(ace->AceType)) {
        if (size < kHeaderAndMask + 4) return nullptr;
        std::memcpy(&objectFlags, bytes + kHeaderAndMask, sizeof objectFlags);
    }
    const DWORD offset = AceTrusteeOffset(ace->AceType, objectFlags);
    if (size < offset || size - offset < kSidFixedPart) return nullptr;

    const BYTE* sid = bytes + offset;
    const BYTE revision = sid[0];
    const BYTE count = sid[1];
    if (revision != SID_REVISION || count > kMaxSubAuthorities) return nullptr;
    if (size - offset < kSidFixedPart + 4u * count) return nullptr;
    return reinterpret_cast<PSID>(const_cast<BYTE*>(sid));
}

}  // namespace tavrik
