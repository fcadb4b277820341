#include "winapi/samba/posix_acl.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>

#include "winapi/files/file_paths.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr const char* kAccessName = "system.posix_acl_access";
constexpr const char* kDefaultName = "system.posix_acl_default";
constexpr uint32_t kAttributeVersion = 2;
constexpr size_t kHeaderSize = 4, kEntrySize = 8;
constexpr unsigned kUndefinedId = 0xFFFFFFFFu;

uint32_t Le32(const BYTE* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool HasId(PosixTag tag) { return tag == PosixTag::User || tag == PosixTag::Group; }

DWORD ReadAttribute(int objectFd, const char* name, PosixAcl* acl, bool* present) {
    acl->clear();
    *present = false;
    Bytes raw(kHeaderSize + 64 * kEntrySize);
    ssize_t got = GetObjectAttribute(objectFd, name, raw.data(), raw.size());
    if (got < 0 && errno == ERANGE) {
        ssize_t needed = GetObjectAttribute(objectFd, name, nullptr, 0);
        if (needed > 0) {
            raw.resize(static_cast<size_t>(needed));
            got = GetObjectAttribute(objectFd, name, raw.data(), raw.size());
        }
    }
    if (got < 0) {
        if (errno == ENODATA || errno == ENOTSUP) return ERROR_SUCCESS;
        return ErrorFromErrno(errno);
    }
    const size_t size = static_cast<size_t>(got);
    if (size < kHeaderSize || (size - kHeaderSize) % kEntrySize != 0 || Le32(raw.data()) != kAttributeVersion) {
        return ERROR_INVALID_ACL;
    }
    for (size_t at = kHeaderSize; at < size; at += kEntrySize) {
        PosixAclEntry entry;
        entry.tag = static_cast<PosixTag>(raw[at] | raw[at + 1] << 8);
        entry.perms = (raw[at + 2] | raw[at + 3] << 8) & 7u;
        entry.id = HasId(entry.tag) ? Le32(raw.data() + at + 4) : 0;
        acl->push_back(entry);
    }
    *present = true;
    return ERROR_SUCCESS;
}

DWORD WriteAttribute(int objectFd, const char* name, PosixAcl acl) {
    acl = InKernelOrder(std::move(acl));
    Bytes raw(kHeaderSize + acl.size() * kEntrySize, 0);
    raw[0] = kAttributeVersion;
    size_t at = kHeaderSize;
    for (const PosixAclEntry& entry : acl) {
        const unsigned tag = static_cast<unsigned>(entry.tag);
        raw[at] = static_cast<BYTE>(tag);
        raw[at + 1] = static_cast<BYTE>(tag >> 8);
        raw[at + 2] = static_cast<BYTE>(entry.perms & 7u);
        const unsigned id = HasId(entry.tag) ? entry.id : kUndefinedId;
        for (int b = 0; b < 4; ++b) raw[at + 4 + b] = static_cast<BYTE>(id >> (8 * b));
        at += kEntrySize;
    }
    if (SetObjectAttribute(objectFd, name, raw.data(), raw.size()) == 0) return ERROR_SUCCESS;
    if (errno == ENOSPC || errno == EDQUOT) return ERROR_DISK_FULL;
    return ErrorFromErrno(errno);
}

// Little-endian NDR as Samba's pidl pushes it: each value at a multiple of
// its own size.
class Ndr {
public:
    Ndr() { out_.reserve(256); }  // a blob of a dozen entries fits
    void Align(size_t n) {
        while (out_.size() % n) out_.push_back(0);
    }
    void U16(unsigned v) {
        Align(2);
        for (int b = 0; b < 2; ++b) out_.push_back(static_cast<BYTE>(v >> (8 * b)));
    }
    void U32(uint32_t v) {
        Align(4);
        for (int b = 0; b < 4; ++b) out_.push_back(static_cast<BYTE>(v >> (8 * b)));
    }
    void U64(uint64_t v) {
        Align(8);
        for (int b = 0; b < 8; ++b) out_.push_back(static_cast<BYTE>(v >> (8 * b)));
    }
    Bytes Take() { return std::move(out_); }

private:
    Bytes out_;
};

// Samba's own tag numbers (smb_acl_tag_t), not the kernel's.
unsigned SambaTag(PosixTag tag) {
    switch (tag) {
        case PosixTag::User: return 1;
        case PosixTag::UserObj: return 2;
        case PosixTag::Group: return 3;
        case PosixTag::GroupObj: return 4;
        case PosixTag::Other: return 5;
        case PosixTag::Mask: return 6;
    }
    return 0;
}

void PushAcl(Ndr& ndr, const PosixAcl& acl) {
    ndr.U32(static_cast<uint32_t>(acl.size()));  // conformance of the entry array
    ndr.Align(8);
    ndr.U32(static_cast<uint32_t>(acl.size()));
    ndr.U32(0);  // "next", always 0
    for (const PosixAclEntry& entry : acl) {
        ndr.Align(8);
        const unsigned tag = SambaTag(entry.tag);
        ndr.U16(tag);
        ndr.U16(tag);  // the union's discriminant
        if (HasId(entry.tag)) ndr.U64(entry.id);
        ndr.U32(entry.perms & 7u);
    }
}

}  // namespace

ssize_t GetObjectAttribute(int objectFd, const char* name, void* value, size_t size) {
    const ssize_t got = ::fgetxattr(objectFd, name, value, size);
    if (got >= 0 || errno != EBADF) return got;
    return ::getxattr(DescriptorPath(objectFd).c_str(), name, value, size);
}

int SetObjectAttribute(int objectFd, const char* name, const void* value, size_t size) {
    if (::fsetxattr(objectFd, name, value, size, 0) == 0) return 0;
    if (errno != EBADF) return -1;
    return ::setxattr(DescriptorPath(objectFd).c_str(), name, value, size, 0);
}

int RemoveObjectAttribute(int objectFd, const char* name) {
    if (::fremovexattr(objectFd, name) == 0) return 0;
    if (errno != EBADF) return -1;
    return ::removexattr(DescriptorPath(objectFd).c_str(), name);
}

PosixAcl InKernelOrder(PosixAcl acl) {
    std::stable_sort(acl.begin(), acl.end(), [](const PosixAclEntry& a, const PosixAclEntry& b) {
        if (a.tag != b.tag) return static_cast<unsigned>(a.tag) < static_cast<unsigned>(b.tag);
        return a.id < b.id;
    });
    return acl;
}

DWORD ReadAccessAcl(int objectFd, mode_t mode, PosixAcl* acl) {
    bool present = false;
    DWORD error = ReadAttribute(objectFd, kAccessName, acl, &present);
    if (error != ERROR_SUCCESS || present) return error;
    *acl = {{PosixTag::UserObj, (mode >> 6) & 7u, 0}, {PosixTag::GroupObj, (mode >> 3) & 7u, 0},
            {PosixTag::Other, mode & 7u, 0}};
    return ERROR_SUCCESS;
}

DWORD ReadDefaultAcl(int objectFd, PosixAcl* acl) {
    bool present = false;
    return ReadAttribute(objectFd, kDefaultName, acl, &present);
}

DWORD WriteAccessAcl(int objectFd, const PosixAcl& acl) { return WriteAttribute(objectFd, kAccessName, acl); }

DWORD WriteDefaultAcl(int objectFd, const PosixAcl& acl) {
    if (!acl.empty()) return WriteAttribute(objectFd, kDefaultName, acl);
    if (RemoveObjectAttribute(objectFd, kDefaultName) == 0 || errno == ENODATA) return ERROR_SUCCESS;
    return ErrorFromErrno(errno);
}

mode_t ModeAfterAccessAcl(mode_t mode, const PosixAcl& acl) {
    unsigned owner = 0, group = 0, mask = 0, other = 0;
    bool hasMask = false;
    for (const PosixAclEntry& entry : acl) {
        switch (entry.tag) {
            case PosixTag::UserObj: owner = entry.perms & 7u; break;
            case PosixTag::GroupObj: group = entry.perms & 7u; break;
            case PosixTag::Mask:
                mask = entry.perms & 7u;
                hasMask = true;
                break;
            case PosixTag::Other: other = entry.perms & 7u; break;
            default: break;
        }
    }
    return static_cast<mode_t>((mode & ~static_cast<mode_t>(0777)) | owner << 6 | (hasMask ? mask : group) << 3 |
                               other);
}

Bytes SysAclBlob(const PosixAcl& access, const PosixAcl* defaultAcl, const struct stat& status) {
    Ndr ndr;
    ndr.U32(0x00020000);                             // referent of the access ACL
    ndr.U32(defaultAcl ? 0x00020004 : 0);            // referent of the default ACL
    ndr.U64(status.st_uid);
    ndr.U64(status.st_gid);
    ndr.U32(status.st_mode);
    PushAcl(ndr, access);
    if (defaultAcl) PushAcl(ndr, *defaultAcl);
    return ndr.Take();
}

}  // namespace winapi
