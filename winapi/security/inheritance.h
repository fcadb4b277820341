// Inheritance of ACEs from a parent to its children (MS-DTYP 2.5.3.4) and
// the rules by which a descriptor write merges into an object's descriptor,
// as SetNamedSecurityInfoW applies them to files and registry keys.
// Pure functions over self-relative descriptors; the callers walk the trees.
#pragma once

#include "winapi/security/bytes.h"
#include "winapi/security.h"

namespace winapi {

// Generic mappings of the object kinds the simulated computer holds.
const GENERIC_MAPPING& FileGenericMapping();
const GENERIC_MAPPING& RegistryGenericMapping();
const GENERIC_MAPPING& ServiceGenericMapping();
const GENERIC_MAPPING& PrinterGenericMapping();
const GENERIC_MAPPING& ShareGenericMapping();

// Descriptor of a new file, directory or key created below `parentSd`,
// owned by `owner` with primary group `group` (SID bytes). Empty when the
// inherited ACEs would not fit in one ACL (a creation error for the caller).
Bytes CreateInheritedDescriptor(const Bytes& parentSd, bool isContainer, const Bytes& owner, const Bytes& group,
                                const GENERIC_MAPPING& mapping);

// The descriptor an object gets when SetNamedSecurityInfoW writes the parts
// of `info` into `currentSd`. `parentSd` is null for an object without a
// parent (a drive root, a registry root) or one whose parent is not
// inheritable. Returns ERROR_SUCCESS and `*result`, or an error code
// (ERROR_INVALID_ACL, ERROR_INVALID_SID, ERROR_INVALID_PARAMETER).
DWORD ApplySecurityInformation(const Bytes& currentSd, const Bytes* parentSd, bool isContainer,
                               SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl, PACL sacl,
                               const GENERIC_MAPPING& mapping, Bytes* result);

// Recomputes the inherited part of a descendant after its parent changed.
// `*changed` is false, and `*result` untouched, when the descendant is
// protected or its inherited part comes out unchanged: then it is not
// rewritten and its own subtree need not be visited. Fails with
// ERROR_INVALID_SECURITY_DESCR when a descriptor cannot be read and
// ERROR_ALLOTTED_SPACE_EXCEEDED when the recomputed descriptor would not
// fit its 64 KiB lists.
DWORD Reinherit(const Bytes& childSd, const Bytes& parentSd, bool isContainer, const GENERIC_MAPPING& mapping,
                Bytes* result, bool* changed);

}  // namespace winapi
