#include "winapi/ace_list.h"

#include <cstring>

#include "winapi/security_layout.h"

namespace winapi {
namespace {

constexpr size_t kAclHeader = 8;
constexpr size_t kAceHeader = 4;
constexpr size_t kMaskEnd = 8;         // header + mask
constexpr size_t kObjectFlagsEnd = 12;  // header + mask + object flags
constexpr size_t kGuidSize = 16;
constexpr size_t kMaxAclSize = 0xFFFC;  // AclSize is a WORD, kept DWORD-aligned

DWORD LoadDword(const BYTE* p) {
    DWORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
WORD LoadWord(const BYTE* p) {
    WORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void StoreDword(BYTE* p, DWORD v) { std::memcpy(p, &v, sizeof v); }
void StoreWord(BYTE* p, WORD v) { std::memcpy(p, &v, sizeof v); }

bool IsObjectType(BYTE type) {
    switch (type) {
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

bool IsBasicLayout(BYTE type) {
    switch (type) {
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

// Offset of the SID in an ACE of `size` bytes, or 0 when the type has none
// or the ACE is too short to hold the fields before it.
size_t SidOffsetIn(const BYTE* ace, size_t size) {
    if (size < kAceHeader) return 0;
    const BYTE type = ace[0];
    if (IsBasicLayout(type)) return size >= kMaskEnd ? kMaskEnd : 0;
    if (!IsObjectType(type) || size < kObjectFlagsEnd) return 0;
    const DWORD flags = LoadDword(ace + kMaskEnd);
    size_t offset = kObjectFlagsEnd;
    if (flags & ACE_OBJECT_TYPE_PRESENT) offset += kGuidSize;
    if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) offset += kGuidSize;
    return offset <= size ? offset : 0;
}

Bytes MakeWellKnown(BYTE authority, DWORD rid) {
    Bytes sid(12, 0);
    sid[0] = SID_REVISION;
    sid[1] = 1;
    sid[7] = authority;
    StoreDword(sid.data() + 8, rid);
    return sid;
}

}  // namespace

ACCESS_MASK AceView::Mask() const { return size_ >= kMaskEnd ? LoadDword(ace_ + 4) : 0; }

size_t AceView::SidOffset() const { return SidOffsetIn(ace_, size_); }

const BYTE* AceView::Sid() const {
    const size_t offset = SidOffset();
    return offset ? ace_ + offset : nullptr;
}

bool AceView::IsObjectAce() const { return IsObjectType(Type()); }

bool AceView::NamesObjectType() const {
    return IsObjectAce() && size_ >= kObjectFlagsEnd && (LoadDword(ace_ + kMaskEnd) & ACE_OBJECT_TYPE_PRESENT);
}

bool AceView::IsCallbackAce() const {
    const BYTE t = Type();
    return t >= ACCESS_ALLOWED_CALLBACK_ACE_TYPE && t <= SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE;
}

bool AceView::IsAllow() const {
    const BYTE t = Type();
    return t == ACCESS_ALLOWED_ACE_TYPE || t == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
           t == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || t == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

bool AceView::IsDeny() const {
    const BYTE t = Type();
    return t == ACCESS_DENIED_ACE_TYPE || t == ACCESS_DENIED_OBJECT_ACE_TYPE ||
           t == ACCESS_DENIED_CALLBACK_ACE_TYPE || t == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

void AceEntry::SetMask(ACCESS_MASK mask) {
    if (bytes_.size() >= kMaskEnd) StoreDword(bytes_.data() + 4, mask);
}

void AceEntry::ReplaceSid(const BYTE* sid) {
    const size_t offset = View().SidOffset();
    if (!offset) return;
    const size_t oldSize = KnownSidSize(bytes_.data() + offset);
    const size_t newSize = KnownSidSize(sid);
    Bytes rebuilt(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    rebuilt.insert(rebuilt.end(), sid, sid + newSize);
    rebuilt.insert(rebuilt.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset + oldSize), bytes_.end());
    StoreWord(rebuilt.data() + 2, static_cast<WORD>(rebuilt.size()));
    bytes_ = std::move(rebuilt);
}

// The layer's own validator first, so that whatever is read here can be
// written back into a descriptor that every other reader accepts.
bool CheckedAceListValid(const BYTE* acl, size_t available) {
    if (acl == nullptr || !CheckedAclValid(acl, available)) return false;
    const size_t aclSize = LoadWord(acl + 2);
    const size_t count = LoadWord(acl + 4);
    size_t offset = kAclHeader;
    for (size_t i = 0; i < count; ++i) {
        const BYTE* ace = acl + offset;
        const size_t aceSize = LoadWord(ace + 2);
        if (aceSize < kAceHeader || aceSize > aclSize - offset) return false;
        const size_t sidOffset = SidOffsetIn(ace, aceSize);
        if ((IsBasicLayout(ace[0]) || IsObjectType(ace[0])) &&
            (!sidOffset || !WellFormedSidSize(ace + sidOffset, aceSize - sidOffset))) {
            return false;
        }
        offset += aceSize;
    }
    return true;
}

bool ReadAceList(const BYTE* acl, size_t available, AceList* aces) {
    aces->clear();
    if (!CheckedAceListValid(acl, available)) return false;
    VisitValidatedAces(acl, [aces](const AceView& ace) { aces->emplace_back(Bytes(ace.data(), ace.data() + ace.size())); });
    return true;
}

Bytes BuildAclBytes(const AceList& aces) {
    size_t size = kAclHeader;
    BYTE revision = ACL_REVISION;
    for (const AceEntry& ace : aces) {
        size += ace.bytes().size();
        if (ace.IsObjectAce()) {
            revision = ACL_REVISION_DS;
        } else if (ace.Type() == ACCESS_ALLOWED_COMPOUND_ACE_TYPE && revision < ACL_REVISION3) {
            revision = ACL_REVISION3;
        }
    }
    // Descriptors keep their parts DWORD-aligned; ACEs of odd sizes (callback
    // data) leave free space at the end rather than misalign what follows.
    size = (size + 3) & ~size_t{3};
    if (size > kMaxAclSize) return {};
    Bytes acl(kAclHeader, 0);
    acl.reserve(size);
    acl[0] = revision;
    StoreWord(acl.data() + 2, static_cast<WORD>(size));
    StoreWord(acl.data() + 4, static_cast<WORD>(aces.size()));
    for (const AceEntry& ace : aces) acl.insert(acl.end(), ace.bytes().begin(), ace.bytes().end());
    acl.resize(size, 0);
    return acl;
}

size_t WellFormedSidSize(const BYTE* sid, size_t available) {
    if (sid == nullptr || available < 8) return 0;
    if (sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    const size_t size = 8 + 4 * static_cast<size_t>(sid[1]);
    return size <= available ? size : 0;
}

size_t KnownSidSize(const BYTE* sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

bool SameSid(const BYTE* a, const BYTE* b) {
    if (a == nullptr || b == nullptr) return false;
    const size_t size = KnownSidSize(a);
    return size == KnownSidSize(b) && std::memcmp(a, b, size) == 0;
}

ACCESS_MASK MapGenericRights(ACCESS_MASK mask, const GENERIC_MAPPING& mapping) {
    if (mask & GENERIC_READ) mask |= mapping.GenericRead;
    if (mask & GENERIC_WRITE) mask |= mapping.GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= mapping.GenericExecute;
    if (mask & GENERIC_ALL) mask |= mapping.GenericAll;
    return mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

const Bytes& EveryoneSid() {
    static const Bytes sid = MakeWellKnown(1, 0);
    return sid;
}
const Bytes& CreatorOwnerSid() {
    static const Bytes sid = MakeWellKnown(3, 0);
    return sid;
}
const Bytes& CreatorGroupSid() {
    static const Bytes sid = MakeWellKnown(3, 1);
    return sid;
}
const Bytes& OwnerRightsSid() {
    static const Bytes sid = MakeWellKnown(3, 4);
    return sid;
}

}  // namespace winapi
