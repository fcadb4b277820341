// POSIX access and default ACLs of a file, read and written as the
// kernel's system.posix_acl_* attributes through the object's descriptor
// (an O_PATH descriptor reaches them through /proc/self/fd, and no link is
// followed), and the blob Samba hashes to notice changes made from Unix.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <vector>

#include "winapi/security/bytes.h"
#include "winapi/types.h"

namespace winapi {

enum class PosixTag : unsigned { UserObj = 0x01, User = 0x02, GroupObj = 0x04, Group = 0x08, Mask = 0x10, Other = 0x20 };

constexpr unsigned kPosixRead = 4, kPosixWrite = 2, kPosixExecute = 1;

struct PosixAclEntry {
    PosixTag tag = PosixTag::Other;
    unsigned perms = 0;  // kPosixRead | kPosixWrite | kPosixExecute
    unsigned id = 0;     // uid or gid of User and Group entries
    bool operator==(const PosixAclEntry&) const = default;
};
using PosixAcl = std::vector<PosixAclEntry>;

// Attribute calls on an object's descriptor: on the descriptor itself when
// it was opened for reading (OpenReadableEntry, file_paths.h), else through
// /proc/self/fd/N, as for an O_PATH one, which the kernel refuses with
// EBADF. They return and set errno as getxattr, setxattr and removexattr.
ssize_t GetObjectAttribute(int objectFd, const char* name, void* value, size_t size);
int SetObjectAttribute(int objectFd, const char* name, const void* value, size_t size);
int RemoveObjectAttribute(int objectFd, const char* name);

// The access ACL: the attribute's, else the three entries of the mode.
DWORD ReadAccessAcl(int objectFd, mode_t mode, PosixAcl* acl);
// The default ACL of a directory; empty when it has none.
DWORD ReadDefaultAcl(int objectFd, PosixAcl* acl);
// Replaces the ACL (entries are put in the kernel's order). An empty
// default ACL removes the directory's default ACL.
DWORD WriteAccessAcl(int objectFd, const PosixAcl& acl);
// The entries in the order the kernel keeps them, which is how they read
// back after a write.
PosixAcl InKernelOrder(PosixAcl acl);
DWORD WriteDefaultAcl(int objectFd, const PosixAcl& acl);
// The mode the kernel gives a file whose access ACL was just replaced by
// `acl`: the owner's and others' bits from their entries, the group bits
// from the mask (from the owning group's entry when there is no mask).
// The set-group-id bit is kept: only a writer outside the owning group
// without CAP_FSETID loses it, and such a writer reads the mode back.
mode_t ModeAfterAccessAcl(mode_t mode, const PosixAcl& acl);

// What Samba hashes as the "POSIX ACL" of a file: its access ACL, for a
// directory also its default ACL, and its owner, group and mode, in the
// NDR layout of Samba's smb_acl_wrapper.
Bytes SysAclBlob(const PosixAcl& access, const PosixAcl* defaultAcl, const struct stat& status);

}  // namespace winapi
