#include "winapi/security/ace_list.h"

#include <cstring>

#include "winapi/security/security_layout.h"
#include "winapi/security/string_sid.h"

namespace winapi {
namespace {

constexpr size_t kMaskEnd = kAceHeaderSize + sizeof(ACCESS_MASK);
constexpr size_t kMaxAclSize = 0xFFFC;  // AclSize is a WORD, kept DWORD-aligned

Bytes MakeWellKnown(BYTE authority, DWORD rid) { return MakeSid(authority, &rid, 1); }

}  // namespace

ACCESS_MASK AceView::Mask() const { return size_ >= kMaskEnd ? ReadDword(ace_ + 4) : 0; }

size_t AceView::SidOffset() const { return AceSidOffset(ace_, size_); }

const BYTE* AceView::Sid() const {
    const size_t offset = SidOffset();
    return offset ? ace_ + offset : nullptr;
}

bool AceView::IsObjectAce() const { return HasObjectAceLayout(Type()); }

bool AceView::NamesObjectType() const {
    return IsObjectAce() && size_ >= kMaskEnd + sizeof(DWORD) && (ReadDword(ace_ + kMaskEnd) & ACE_OBJECT_TYPE_PRESENT);
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

void AceEntry::Assign(const BYTE* ace, size_t size) {
    size_ = size;
    if (size <= kInline) {
        heap_.clear();
        std::memcpy(inline_, ace, size);
    } else {
        heap_.assign(ace, ace + size);
    }
}

void AceEntry::SetMask(ACCESS_MASK mask) {
    if (size_ >= kMaskEnd) WriteDword(data() + 4, mask);
}

void AceEntry::ReplaceSid(const BYTE* sid) {
    const size_t offset = View().SidOffset();
    if (!offset) return;
    const BYTE* bytes = data();
    const size_t oldSize = KnownSidSize(bytes + offset);
    const size_t newSize = KnownSidSize(sid);
    const size_t rebuiltSize = size_ - oldSize + newSize;
    // Built aside, since the old bytes are read while the new ones are written.
    BYTE small[2 * kInline];
    Bytes large;
    BYTE* rebuilt = small;
    if (rebuiltSize > sizeof small) {
        large.resize(rebuiltSize);
        rebuilt = large.data();
    }
    std::memcpy(rebuilt, bytes, offset);
    std::memcpy(rebuilt + offset, sid, newSize);
    std::memcpy(rebuilt + offset + newSize, bytes + offset + oldSize, size_ - offset - oldSize);
    WriteWord(rebuilt + 2, static_cast<WORD>(rebuiltSize));
    Assign(rebuilt, rebuiltSize);
}

// Every ACE the layer's validator accepts carries the SID its type calls
// for, so whatever is read here can be written back into a descriptor that
// every other reader accepts.
bool CheckedAceListValid(const BYTE* acl, size_t available) { return CheckedAclValid(acl, available); }

bool ReadAceList(const BYTE* acl, size_t available, AceList* aces) {
    aces->clear();
    if (!CheckedAceListValid(acl, available)) return false;
    aces->reserve(ReadWord(acl + 4));
    VisitValidatedAces(acl, [aces](const AceView& ace) { aces->emplace_back(ace.data(), ace.size()); });
    return true;
}

Bytes BuildAclBytes(const AceList& aces) {
    size_t size = kAclHeaderSize;
    BYTE revision = ACL_REVISION;
    for (const AceEntry& ace : aces) {
        size += ace.size();
        if (ace.IsObjectAce()) {
            revision = ACL_REVISION_DS;
        } else if (ace.Type() == ACCESS_ALLOWED_COMPOUND_ACE_TYPE && revision < ACL_REVISION3) {
            revision = ACL_REVISION3;
        }
    }
    // Descriptors keep their parts DWORD-aligned; ACEs of odd sizes (callback
    // data) leave free space at the end rather than misalign what follows.
    size = AlignToDword(size);
    if (size > kMaxAclSize) return {};
    Bytes acl(size, 0);
    acl[0] = revision;
    WriteWord(acl.data() + 2, static_cast<WORD>(size));
    WriteWord(acl.data() + 4, static_cast<WORD>(aces.size()));
    BYTE* at = acl.data() + kAclHeaderSize;
    for (const AceEntry& ace : aces) {
        std::memcpy(at, ace.data(), ace.size());
        at += ace.size();
    }
    return acl;
}

size_t KnownSidSize(const BYTE* sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

bool SameSid(const BYTE* a, const BYTE* b) {
    if (a == nullptr || b == nullptr) return false;
    const size_t size = KnownSidSize(a);
    return size == KnownSidSize(b) && std::memcmp(a, b, size) == 0;
}

AceEntry AllowAce(const Bytes& sid, ACCESS_MASK mask, BYTE flags) {
    Bytes ace(kMaskEnd, 0);
    ace[0] = ACCESS_ALLOWED_ACE_TYPE;
    ace[1] = flags;
    WriteWord(ace.data() + 2, static_cast<WORD>(kMaskEnd + sid.size()));
    WriteDword(ace.data() + 4, mask);
    ace.insert(ace.end(), sid.begin(), sid.end());
    return AceEntry(ace);
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
const Bytes& LocalSystemSid() {
    static const Bytes sid = MakeWellKnown(5, 18);
    return sid;
}

}  // namespace winapi
