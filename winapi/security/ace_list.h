// An ACL held as an ordered list of owned ACEs, for the code that rewrites
// ACLs entry by entry (inheritance, descriptor writes) and the access check
// that walks them. Reading validates every size against the bytes that are
// really there; all multi-byte fields are read and written through memcpy,
// so neither hostile sizes nor unaligned buffers lead outside the data.
#pragma once

#include <cstring>
#include <vector>

#include "winapi/security/bytes.h"
#include "winapi/security.h"

namespace winapi {

// Read access to one ACE of at least a header's size, in place.
class AceView {
public:
    AceView(const BYTE* ace, size_t size) : ace_(ace), size_(size) {}

    BYTE Type() const { return ace_[0]; }
    BYTE Flags() const { return ace_[1]; }
    ACCESS_MASK Mask() const;
    // The SID the ACE is about, or null for a type without one.
    const BYTE* Sid() const;
    size_t SidOffset() const;

    bool IsObjectAce() const;
    // An object ACE that names an object type applies only to that type.
    bool NamesObjectType() const;
    bool IsCallbackAce() const;
    bool IsAllow() const;
    bool IsDeny() const;

    const BYTE* data() const { return ace_; }
    size_t size() const { return size_; }

private:
    const BYTE* ace_;
    size_t size_;
};

// One ACE, owned, for building new ACLs. An ACE of the common sizes (a
// header, a mask and a SID of up to ten sub-authorities) is kept inline:
// inheritance copies every ACE of a directory for each of its children, and
// an allocation per ACE was most of that work.
class AceEntry {
public:
    AceEntry(const BYTE* ace, size_t size) { Assign(ace, size); }
    explicit AceEntry(const Bytes& bytes) : AceEntry(bytes.data(), bytes.size()) {}

    AceView View() const { return AceView(data(), size_); }
    BYTE Type() const { return data()[0]; }
    BYTE Flags() const { return data()[1]; }
    void SetFlags(BYTE flags) { data()[1] = flags; }
    ACCESS_MASK Mask() const { return View().Mask(); }
    void SetMask(ACCESS_MASK mask);
    const BYTE* Sid() const { return View().Sid(); }
    // Swaps the ACE's SID for another, keeping what follows it (callback data).
    void ReplaceSid(const BYTE* sid);
    bool IsObjectAce() const { return View().IsObjectAce(); }

    const BYTE* data() const { return size_ <= kInline ? inline_ : heap_.data(); }
    size_t size() const { return size_; }
    bool operator==(const AceEntry& other) const {
        return size_ == other.size_ && std::memcmp(data(), other.data(), size_) == 0;
    }

private:
    static constexpr size_t kInline = 56;

    BYTE* data() { return size_ <= kInline ? inline_ : heap_.data(); }
    void Assign(const BYTE* ace, size_t size);

    size_t size_ = 0;
    BYTE inline_[kInline] = {};
    Bytes heap_;  // used only past kInline bytes
};

using AceList = std::vector<AceEntry>;

// Whether the ACL at `acl`, which may use at most `available` bytes, is
// sound: the layer's ACL validator accepts it and every ACE of a type that
// must carry a SID does.
bool CheckedAceListValid(const BYTE* acl, size_t available);

// Calls `visit` with each ACE, in place and in order, of an ACL that
// CheckedAceListValid accepted.
template <typename Visit>
void VisitValidatedAces(const BYTE* acl, Visit&& visit) {
    WORD count, size;
    std::memcpy(&count, acl + 4, sizeof count);
    const BYTE* ace = acl + sizeof(ACL);
    for (WORD i = 0; i < count; ++i) {
        std::memcpy(&size, ace + 2, sizeof size);
        visit(AceView(ace, size));
        ace += size;
    }
}

// Reads the ACEs of the ACL starting at `acl`, which may use at most
// `available` bytes. False when any header, size or SID is malformed.
bool ReadAceList(const BYTE* acl, size_t available, AceList* aces);

// Bytes of an ACL holding `aces` in order: revision 4 when any of them has
// the object layout, 3 with a compound ACE, else 2. Empty when they exceed the 64 KiB an
// ACL can hold.
Bytes BuildAclBytes(const AceList& aces);

// Length of a SID already known to be well formed.
size_t KnownSidSize(const BYTE* sid);
bool SameSid(const BYTE* a, const BYTE* b);

// An access-allowed ACE of the basic layout for `sid`.
AceEntry AllowAce(const Bytes& sid, ACCESS_MASK mask, BYTE flags = 0);

// Replaces the generic bits of `mask` by the specific rights they stand for.
ACCESS_MASK MapGenericRights(ACCESS_MASK mask, const GENERIC_MAPPING& mapping);

// Well-known SIDs the security semantics treat specially.
const Bytes& EveryoneSid();      // S-1-1-0
const Bytes& CreatorOwnerSid();  // S-1-3-0
const Bytes& CreatorGroupSid();  // S-1-3-1
const Bytes& OwnerRightsSid();   // S-1-3-4
const Bytes& LocalSystemSid();   // S-1-5-18

}  // namespace winapi
