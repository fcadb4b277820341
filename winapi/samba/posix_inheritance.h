// What "map acl inherit = yes" makes smbd keep beside a file's POSIX ACLs,
// in the user.SAMBA_PAI attribute: the descriptor's control flags and, for
// each entry of the access and default ACL, the flags of the NT ACE it
// came from (inherited, container/object inherit), so that a descriptor
// derived from the ACLs later says which entries were inherited and
// whether the DACL is protected.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "winapi/security/bytes.h"
#include "winapi/types.h"

namespace winapi {

// Whose entry: a uid, a gid, or others (id 0xFFFFFFFF).
enum class PosixOwner : BYTE { Uid = 0, Gid = 1, World = 2 };

struct PosixInheritanceEntry {
    BYTE aceFlags = 0;
    PosixOwner owner = PosixOwner::World;
    uint32_t id = 0xFFFFFFFFu;
};

struct PosixInheritance {
    WORD control = 0;
    std::vector<PosixInheritanceEntry> access, defaults;

    // The flags smbd finds for an entry of that owner and id: those of
    // the last such entry; 0 when none matches.
    BYTE FlagsOf(bool defaultAcl, PosixOwner owner, uint32_t id) const;
};

// Samba's version-2 layout: version, control, the two counts, then six
// bytes an entry (flags, owner, id), access entries first.
Bytes EncodePosixInheritance(const PosixInheritance& inheritance);
std::optional<PosixInheritance> DecodePosixInheritance(const BYTE* data, size_t size);

// Through the object's descriptor; nullopt when the attribute is absent or
// unreadable as version 2 (smbd then takes the DACL as protected).
std::optional<PosixInheritance> ReadPosixInheritance(int objectFd);
DWORD WritePosixInheritance(int objectFd, const PosixInheritance& inheritance);

}  // namespace winapi
