// The security.NTACL extended attribute as Samba's acl_xattr module stores
// it, and the descriptor Samba derives from a file's mode when the
// attribute is absent.
#pragma once

#include <sys/types.h>

#include "winapi/security/bytes.h"

namespace winapi {

// Version-1 blob: 01 00 01 00 00 00 02 00, then the self-relative
// descriptor whose offsets count from the start of the blob.
Bytes EncodeNtAcl(const Bytes& selfRelativeSd);
// The same into `encoded`, whose memory is used again.
void EncodeNtAcl(const Bytes& selfRelativeSd, Bytes* encoded);
// Whether `blob` is EncodeNtAcl(selfRelativeSd), byte for byte, found
// without encoding it.
bool IsEncodedNtAcl(const Bytes& blob, const Bytes& selfRelativeSd);

// Reads versions 1 to 4 into a plain self-relative descriptor. Damaged
// input gives ERROR_INVALID_SECURITY_DESCR; nothing is read out of bounds.
DWORD DecodeNtAcl(const BYTE* data, size_t size, Bytes* selfRelativeSd);

// The descriptor of a file or directory without the attribute.
Bytes ModeDerivedDescriptor(mode_t mode, uid_t uid, gid_t gid, bool isDirectory);

}  // namespace winapi
