// Descriptors on a directory shared by smbd with acl_xattr, kept exactly as
// smbd keeps them on an SMB security change: owner and group by chown, the
// DACL mapped onto the POSIX access and default ACLs, and the NTACL
// attribute in version 4 with the hash of the descriptor smbd derives from
// the POSIX ACLs and the hash of the POSIX ACLs themselves, so that smbd
// takes the attribute as current. With "acl_xattr:ignore system acls" only
// ownership and a version-3 attribute are written, as smbd does.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>

#include "winapi/samba/samba_config.h"
#include "winapi/security/bytes.h"
#include "winapi/types.h"

namespace winapi {

using Sha256 = std::array<BYTE, 32>;

// The hashes an attribute of version 3 or 4 carries.
struct NtAclHashes {
    WORD version = 0;
    WORD hashType = 0;       // 1: SHA-256
    Sha256 descriptorHash{};  // of the descriptor derived from the POSIX ACLs
    Sha256 posixHash{};       // of the POSIX ACLs (version 4)
};
bool ReadNtAclHashes(const BYTE* data, size_t size, NtAclHashes* hashes);

// Samba's attribute layouts: the descriptor NDR-encoded (owner, group,
// SACL, DACL) after the header, its offsets counting from the start.
Bytes EncodeNtAclV3(const Bytes& selfRelativeSd, const Sha256& descriptorHash);
Bytes EncodeNtAclV4(const Bytes& selfRelativeSd, const Sha256& descriptorHash, const Sha256& posixHash,
                    uint64_t ntTime);

// A descriptor as Samba's NDR marshals it on its own (share_info.tdb).
Bytes NdrDescriptor(const Bytes& selfRelativeSd);

// The two hashes smbd would store for the object as it is now.
DWORD CurrentSambaHashes(int objectFd, Sha256* descriptorHash, Sha256* posixHash);

// An SMB security change as smbd makes it; the attribute write is last.
// `status`, when the caller has it, is the object as it is now (else it is
// read).
DWORD WriteDescriptorAsSmbd(int objectFd, const std::string& attribute, const machine::SambaShare& share,
                            const Bytes& sd, const struct stat* status = nullptr);

// What smbd serves for the object: the attribute while its hashes say it
// is current, else the descriptor derived from the POSIX ACLs.
DWORD ReadDescriptorAsSmbd(int objectFd, const struct stat& status, const std::string& attribute,
                           const machine::SambaShare& share, Bytes* sd);

}  // namespace winapi
