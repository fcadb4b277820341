// The descriptor of a file or directory as its NTACL extended attribute
// holds it (Samba's acl_xattr layout), read and written through a
// descriptor of the object itself so that no name is looked up again and
// no symbolic link is followed.
#pragma once

#include <sys/stat.h>

#include <string>

#include "winapi/security/bytes.h"
#include "winapi/types.h"

namespace winapi {
namespace machine {
struct Drive;
}

// The raw attribute value. ERROR_SUCCESS with `*present` false when the
// object has none (or its file system keeps no attributes). One read.
DWORD ReadNtAclAttribute(int objectFd, const std::string& attribute, Bytes* blob, bool* present);

// The object's self-relative descriptor: the decoded attribute, or the one
// derived from `status` (mode, owner, group) when there is none. A damaged
// attribute is ERROR_INVALID_SECURITY_DESCR. `stored`, when given, receives
// the attribute's raw value (empty when there is none).
DWORD ReadFileDescriptor(int objectFd, const struct stat& status, const std::string& attribute, Bytes* sd,
                         Bytes* stored = nullptr);

// Replaces the attribute with the version-1 encoding of `sd`: one write,
// none when `stored` (the raw value read before) holds those very bytes.
// ERROR_DISK_FULL when the disk is full (or a full disk is injected),
// ERROR_ACCESS_DENIED when the host refuses.
DWORD WriteFileDescriptor(int objectFd, const std::string& attribute, const Bytes& sd,
                          const Bytes* stored = nullptr);

// The same on a drive (below) for an object whose status the caller has
// not at hand: it is asked only where the descriptor derives from it (no
// attribute, or a Samba share), so that reading a stored descriptor is one
// call.
DWORD ReadFileDescriptorAskingStatus(int objectFd, const machine::Drive& drive, Bytes* sd);

// Removes the attribute, so that the object reads as the descriptor its
// mode gives (mode_derived_state.h says when). One call; an attribute that
// is gone already is no error. Not for Samba shares, where smbd's way of
// writing applies.
DWORD RemoveFileDescriptor(int objectFd, const std::string& attribute);

// The same on a drive: where it lies in a Samba share with acl_xattr, read
// and written as smbd does (samba_ntacl.h), elsewhere as above under the
// drive's attribute name. `stored` as above; on a Samba share it stays
// empty, so each write goes through smbd's way of writing. `status`, when
// the caller has it, is the object as it is now and spares smbd's way of
// writing a read of it.
DWORD ReadFileDescriptor(int objectFd, const struct stat& status, const machine::Drive& drive, Bytes* sd,
                         Bytes* stored = nullptr);
DWORD WriteFileDescriptor(int objectFd, const machine::Drive& drive, const Bytes& sd, const Bytes* stored = nullptr,
                          const struct stat* status = nullptr);

}  // namespace winapi
