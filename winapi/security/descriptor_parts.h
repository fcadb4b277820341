// Checked access to binary security data for the rest of the layer:
// reading a self-relative descriptor without trusting its offsets, building
// one from parts, and walking the ACEs of an ACL.
#pragma once

#include <functional>

#include "winapi/security/bytes.h"
#include "winapi/security.h"

namespace winapi {

// Views into a self-relative descriptor; pointers point into its buffer and
// are null for absent parts.
struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const SID* owner = nullptr;
    const SID* group = nullptr;
    const ACL* sacl = nullptr;  // null also when SE_SACL_PRESENT is set with a NULL SACL
    const ACL* dacl = nullptr;  // null also when SE_DACL_PRESENT is set with a NULL DACL
};

// Validates every size, count and offset. ERROR_SUCCESS, or
// ERROR_INVALID_SECURITY_DESCR for anything malformed.
DWORD ParseSelfRelative(const BYTE* data, size_t size, DescriptorParts* parts);

// A self-relative descriptor (revision 1, SE_SELF_RELATIVE set) holding
// copies of the given parts, laid out as Windows lays them out: owner,
// group, SACL, DACL... in the order MakeSelfRelativeSD uses.
Bytes BuildSelfRelative(SECURITY_DESCRIPTOR_CONTROL control, const SID* owner, const SID* group, const ACL* sacl,
                        const ACL* dacl);
// The same into `out`, whose memory is used again.
void BuildSelfRelative(SECURITY_DESCRIPTOR_CONTROL control, const SID* owner, const SID* group, const ACL* sacl,
                       const ACL* dacl, Bytes* out);

// The bytes of a descriptor given in either form (a caller's argument),
// in self-relative form. ERROR_INVALID_SECURITY_DESCR for an invalid one.
DWORD SelfRelativeCopy(PSECURITY_DESCRIPTOR sd, Bytes* out);

// `current` with the parts of `info` replaced by those of `given`, each
// list with its own present, protected and auto-inherited flags and
// nothing taken from a parent: what the calls that store a descriptor as
// given (SetFileSecurityW, RegSetKeySecurity) make of it. A SACL `given`
// lacks, or holds as NULL, is removed: a NULL SACL audits nothing, as no
// SACL does. ERROR_INVALID_OWNER or ERROR_INVALID_PRIMARY_GROUP when the
// part is asked for and `given` has none; ERROR_INVALID_SECURITY_DESCR for
// a malformed descriptor.
DWORD ReplaceParts(const Bytes& current, const Bytes& given, SECURITY_INFORMATION info, Bytes* result);

// Bytes of one SID / ACL (by their own length fields, which must be valid).
Bytes SidBytes(const SID* sid);
Bytes AclBytes(const ACL* acl);

// Calls `visit` for each ACE of a valid ACL in order; stops when it returns false.
void ForEachAce(const ACL* acl, const std::function<bool(const ACE_HEADER* ace, WORD index)>& visit);

// The SID of an ACE of any of the basic or object layouts, or null when the
// ACE's type has no SID at a known place or the ACE is too short for it.
const SID* AceSid(const ACE_HEADER* ace);

}  // namespace winapi
