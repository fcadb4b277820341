// Bounds-checked reading of the binary security structures (SIDs, ACLs,
// ACEs) as they sit in untrusted bytes. Every reader takes the number of
// bytes it may touch and reads through memcpy, so neither hostile sizes nor
// unaligned buffers can make it read outside them.
#pragma once

#include <cstddef>
#include <cstring>

#include "winapi/security.h"

namespace winapi {

inline constexpr size_t kSidHeaderSize = 8;  // revision, count, authority
inline constexpr size_t kAclHeaderSize = sizeof(ACL);
inline constexpr size_t kAceHeaderSize = sizeof(ACE_HEADER);
inline constexpr size_t kRelativeHeaderSize = sizeof(SECURITY_DESCRIPTOR_RELATIVE);

inline WORD ReadWord(const BYTE* p) {
    WORD value;
    std::memcpy(&value, p, sizeof value);
    return value;
}
inline DWORD ReadDword(const BYTE* p) {
    DWORD value;
    std::memcpy(&value, p, sizeof value);
    return value;
}
inline void WriteWord(BYTE* p, WORD value) { std::memcpy(p, &value, sizeof value); }
inline void WriteDword(BYTE* p, DWORD value) { std::memcpy(p, &value, sizeof value); }

inline constexpr size_t AlignToDword(size_t n) { return (n + 3) & ~size_t{3}; }

// Length of the SID at `p` when it is structurally valid (revision 1, at
// most 15 sub-authorities) and lies within `available` bytes; 0 otherwise.
size_t CheckedSidLength(const BYTE* p, size_t available);

// Whether the ACE type carries the object layout (flags and two optional
// GUIDs before the SID), which only revision-4 ACLs may hold.
bool HasObjectAceLayout(BYTE aceType);

// Offset of the SID within an ACE of a known SID-bearing type, given the
// ACE's bytes; 0 when the type has no SID at a known place or the ACE is too
// short to say.
size_t AceSidOffset(const BYTE* ace, size_t aceSize);

// Validates an ACL whose first byte is at `p` and which may use `available`
// bytes: revision 2 to 4, a DWORD-multiple AclSize within `available`, each
// ACE's header and body inside AclSize, and every SID an ACE carries valid
// and inside its ACE. On success stores the bytes the ACEs occupy after the
// header (if `used` is non-null).
bool CheckedAclValid(const BYTE* p, size_t available, size_t* used = nullptr);

// Walks the first `count` ACEs of an ACL of `aclSize` bytes without trusting
// their sizes. Returns the offset of ACE `index` (index <= AceCount; index
// == AceCount gives the first free byte), or 0 when an ACE before it leaves
// the ACL.
size_t CheckedAceOffset(const BYTE* acl, size_t aclSize, size_t index);

}  // namespace winapi
