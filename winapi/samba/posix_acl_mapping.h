// The NT DACL of a file and its POSIX ACLs, mapped both ways by the rules
// smbd applies (source3/smbd/posix_acls.c): what an SMB security change
// writes into the access and default ACL, and the descriptor smbd derives
// from them when no current NTACL attribute says otherwise.
#pragma once

#include <sys/stat.h>

#include <optional>

#include "winapi/samba/posix_acl.h"
#include "winapi/samba/posix_inheritance.h"
#include "winapi/samba/samba_config.h"
#include "winapi/security/bytes.h"
#include "winapi/types.h"

namespace winapi {

// What a DACL asks of the POSIX layer. When smbd would leave the POSIX ACLs
// alone (no DACL, a DACL of inherit-only ACEs on a directory, a DACL it
// cannot map: an ACE type other than allow or deny, a deny after an allow,
// a SID without a Unix id) `change` is false.
struct PosixAclChange {
    bool change = false;
    PosixAcl access;
    bool directory = false;
    PosixAcl defaultAcl;  // for a directory; empty: remove its default ACL
    PosixInheritance inheritance;  // what "map acl inherit" keeps of the DACL
};

// `status` is the object after any change of owner or group.
PosixAclChange MapDaclToPosix(const Bytes& selfRelativeSd, const struct stat& status);

// The descriptor smbd's POSIX layer reports for the object (owner, group and
// a protected DACL derived from the ACLs); `defaultAcl` null for files.
// With `inheritance` ("map acl inherit" and a user.SAMBA_PAI attribute) the
// entries take back their inheritance flags and the DACL its control
// flags; without, the DACL is protected.
Bytes DescriptorFromPosix(const PosixAcl& access, const PosixAcl* defaultAcl, const struct stat& status,
                          const PosixInheritance* inheritance = nullptr);

// What smbd's acl_xattr module serves when it falls back to the POSIX
// layer: the same descriptor, unprotected, and for a directory without
// inheritable ACEs the CREATOR OWNER / CREATOR GROUP / Everyone ones it adds.
Bytes ServedFromPosix(const PosixAcl& access, const PosixAcl* defaultAcl, const struct stat& status,
                      const PosixInheritance* inheritance = nullptr);

// What smbd's acl_xattr module makes up for an object without an attribute
// when it ignores the POSIX ACLs ("acl_xattr:default acl style"): posix,
// the owner, owning group and others by the mode plus SYSTEM; windows, the
// owner and SYSTEM with full control; everyone, Everyone with full control.
Bytes DefaultStyleDescriptor(machine::DefaultAclStyle style, const struct stat& status);

}  // namespace winapi
