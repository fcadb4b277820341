// An ACL held as an ordered list of owned ACEs, for the code that rewrites
// ACLs entry by entry (inheritance, descriptor writes) and the access check
// that walks them. Reading validates every size against the bytes that are
// really there; all multi-byte fields are read and written through memcpy,
// so neither hostile sizes nor unaligned buffers lead outside the data.
#pragma once

#include <vector>

#include "winapi/bytes.h"
#include "winapi/security.h"

namespace winapi {

class AceEntry {
public:
    explicit AceEntry(Bytes bytes) : bytes_(std::move(bytes)) {}

    BYTE Type() const { return bytes_[0]; }
    BYTE Flags() const { return bytes_[1]; }
    void SetFlags(BYTE flags) { bytes_[1] = flags; }
    ACCESS_MASK Mask() const;
    void SetMask(ACCESS_MASK mask);

    // The SID the ACE is about, or null for a type without one.
    const BYTE* Sid() const;
    // Swaps the ACE's SID for another, keeping what follows it (callback data).
    void ReplaceSid(const BYTE* sid);

    bool IsObjectAce() const;
    // An object ACE that names an object type applies only to that type.
    bool NamesObjectType() const;
    bool IsCallbackAce() const;
    bool IsAllow() const;
    bool IsDeny() const;

    const Bytes& bytes() const { return bytes_; }
    bool operator==(const AceEntry& other) const = default;

private:
    size_t SidOffset() const;
    Bytes bytes_;
};

using AceList = std::vector<AceEntry>;

// Reads the ACEs of the ACL starting at `acl`, which may use at most
// `available` bytes. False when any header, size or SID is malformed.
bool ReadAceList(const BYTE* acl, size_t available, AceList* aces);

// Bytes of an ACL holding `aces` in order: revision 4 when any of them has
// the object layout, 3 with a compound ACE, else 2. Empty when they exceed the 64 KiB an
// ACL can hold.
Bytes BuildAclBytes(const AceList& aces);

// Length of the well-formed SID at `sid` (revision 1, at most 15
// sub-authorities) within `available` bytes; 0 when it is not.
size_t WellFormedSidSize(const BYTE* sid, size_t available);
// Length of a SID already known to be well formed.
size_t KnownSidSize(const BYTE* sid);
bool SameSid(const BYTE* a, const BYTE* b);

// Replaces the generic bits of `mask` by the specific rights they stand for.
ACCESS_MASK MapGenericRights(ACCESS_MASK mask, const GENERIC_MAPPING& mapping);

// Well-known SIDs the security semantics treat specially.
const Bytes& EveryoneSid();      // S-1-1-0
const Bytes& CreatorOwnerSid();  // S-1-3-0
const Bytes& CreatorGroupSid();  // S-1-3-1
const Bytes& OwnerRightsSid();   // S-1-3-4

}  // namespace winapi
