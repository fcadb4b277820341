#include "winapi/samba/samba_ntacl.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "winapi/files/file_paths.h"
#include "winapi/files/file_xattr.h"
#include "winapi/files/ntacl.h"
#include "winapi/samba/posix_acl.h"
#include "winapi/samba/posix_acl_mapping.h"
#include "winapi/samba/posix_inheritance.h"
#include "winapi/samba/samba_ids.h"
#include "winapi/machine/machine.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr WORD kSha256 = 1;
constexpr size_t kHashField = 64;  // hashes sit in 64-byte fields, SHA-256 filling half
constexpr const char* kPosixDescription = "posix_acl";
constexpr DWORD kBodyReferent = 0x00020000, kDescriptorReferent = 0x00020004;

void PutWord(Bytes& out, WORD v) {
    out.push_back(static_cast<BYTE>(v));
    out.push_back(static_cast<BYTE>(v >> 8));
}
void PutDword(Bytes& out, DWORD v) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<BYTE>(v >> (8 * b)));
}
void PutHash(Bytes& out, const Sha256& hash) {
    out.insert(out.end(), hash.begin(), hash.end());
    out.insert(out.end(), kHashField - hash.size(), 0);
}
void Align4(Bytes& out) {
    while (out.size() % 4) out.push_back(0);
}

// The descriptor as Samba's NDR writes it at offset out.size(): header,
// then owner, group, SACL and DACL, offsets from the start of `out`.
void PutDescriptor(Bytes& out, const Bytes& sd) {
    DescriptorParts parts;
    if (ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) return;
    const size_t base = out.size();
    out.resize(base + kRelativeHeaderSize, 0);
    out[base] = SECURITY_DESCRIPTOR_REVISION;
    WriteWord(out.data() + base + 2, static_cast<WORD>(parts.control | SE_SELF_RELATIVE));
    auto put = [&](const Bytes& part, size_t field) {
        if (part.empty()) return;
        WriteDword(out.data() + base + field, static_cast<DWORD>(out.size()));
        out.insert(out.end(), part.begin(), part.end());
        Align4(out);
    };
    put(parts.owner ? SidBytes(parts.owner) : Bytes{}, 4);
    put(parts.group ? SidBytes(parts.group) : Bytes{}, 8);
    put(parts.sacl ? AclBytes(parts.sacl) : Bytes{}, 12);
    put(parts.dacl ? AclBytes(parts.dacl) : Bytes{}, 16);
}

Sha256 Hash(const Bytes& data) {
    Sha256 hash{};
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, data.size(), data.data());
    sha256_digest(&context, hash.size(), hash.data());
    return hash;
}

uint64_t NtTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    constexpr uint64_t kEpochDifference = 11644473600ULL;  // 1601 to 1970, in seconds
    return (static_cast<uint64_t>(now.tv_sec) + kEpochDifference) * 10000000ULL +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

DWORD ReadPosixState(int objectFd, struct stat* status, PosixAcl* access, PosixAcl* defaultAcl) {
    if (::fstat(objectFd, status) != 0) return ErrorFromErrno(errno);
    DWORD error = ReadAccessAcl(objectFd, status->st_mode, access);
    if (error == ERROR_SUCCESS && S_ISDIR(status->st_mode)) error = ReadDefaultAcl(objectFd, defaultAcl);
    return error;
}

DWORD SetAttribute(int objectFd, const std::string& attribute, const Bytes& blob) {
    if (machine::DiskFullInjected()) return ERROR_DISK_FULL;
    if (SetObjectAttribute(objectFd, attribute.c_str(), blob.data(), blob.size()) == 0) return ERROR_SUCCESS;
    switch (int error = errno) {
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case E2BIG:
        case ERANGE: return ERROR_ALLOTTED_SPACE_EXCEEDED;
        default: return ErrorFromErrno(error);
    }
}

// Owner and group follow the descriptor where their SIDs have Unix ids;
// a SID without one leaves the file's owner or group as it is. `status`
// is the object before and, when ownership changed, after.
DWORD ChownAsDescriptor(int objectFd, const Bytes& sd, struct stat* status) {
    DescriptorParts parts;
    if (ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    if (parts.owner) {
        auto id = UnixIdOfSid(SidBytes(parts.owner));
        if (id && id->kind != UnixIdKind::Group && id->id != status->st_uid) uid = id->id;
    }
    if (parts.group) {
        auto id = UnixIdOfSid(SidBytes(parts.group));
        if (id && id->kind != UnixIdKind::User && id->id != status->st_gid) gid = id->id;
    }
    if (uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1)) return ERROR_SUCCESS;
    if (::fchownat(objectFd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return ErrorFromErrno(errno);
    // chown may clear the set-id bits: the mode is read again.
    if (::fstat(objectFd, status) != 0) return ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

// A bulk job writes one descriptor onto many objects of the same owners
// and mode, and they end up with the same POSIX ACLs: the mapping and the
// hashes of the last ones are kept. They depend on nothing else but the
// Unix id mappings, so they are kept a second at most and not past a
// change of those.
constexpr auto kMappingLifetime = std::chrono::seconds(1);

bool StillMapped(uint64_t mappings, std::chrono::steady_clock::time_point at) {
    return mappings == UnixIdMappingGeneration() && std::chrono::steady_clock::now() - at <= kMappingLifetime;
}

struct LastMapping {
    bool valid = false;
    Bytes sd;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    PosixAclChange change;
    uint64_t mappings = 0;
    std::chrono::steady_clock::time_point at;
};

const PosixAclChange& MappedDacl(const Bytes& sd, const struct stat& status) {
    thread_local LastMapping last;
    if (last.valid && last.mode == status.st_mode && last.uid == status.st_uid && last.gid == status.st_gid &&
        last.sd == sd && StillMapped(last.mappings, last.at)) {
        return last.change;
    }
    last.valid = false;
    last.mappings = UnixIdMappingGeneration();
    last.at = std::chrono::steady_clock::now();
    last.change = MapDaclToPosix(sd, status);
    last.sd = sd;
    last.mode = status.st_mode;
    last.uid = status.st_uid;
    last.gid = status.st_gid;
    last.valid = true;
    return last.change;
}

// The POSIX hash covers the ACLs, owners and mode (the blob); the
// descriptor hash is of the descriptor derived from the same, plus what
// "map acl inherit" kept. Two are kept: a job reads each object in the
// state the one before was in and writes it in the state the one before
// was written in.
struct KnownHashes {
    Bytes posixBlob;
    Sha256 posixHash{};
    bool derived = false;
    bool withInheritance = false;
    Bytes inheritance;
    Sha256 descriptorHash{};
    uint64_t mappings = 0;
    std::chrono::steady_clock::time_point at;
};

KnownHashes& HashesFor(Bytes posixBlob) {
    thread_local std::array<KnownHashes, 2> known;
    thread_local size_t next = 0;
    for (KnownHashes& entry : known) {
        if (!entry.posixBlob.empty() && entry.posixBlob == posixBlob) return entry;
    }
    KnownHashes& entry = known[next];
    next = (next + 1) % known.size();
    entry.posixHash = Hash(posixBlob);
    entry.posixBlob = std::move(posixBlob);
    entry.derived = false;
    return entry;
}

Sha256 DescriptorHashOf(KnownHashes& entry, const PosixAcl& access, const PosixAcl* defaults,
                        const struct stat& status, const PosixInheritance* inheritance) {
    Bytes kept = inheritance ? EncodePosixInheritance(*inheritance) : Bytes{};
    if (entry.derived && entry.withInheritance == (inheritance != nullptr) && entry.inheritance == kept &&
        StillMapped(entry.mappings, entry.at)) {
        return entry.descriptorHash;
    }
    entry.mappings = UnixIdMappingGeneration();
    entry.at = std::chrono::steady_clock::now();
    // smbd hashes the derived descriptor as a version-3 attribute with a
    // zero hash.
    entry.descriptorHash = Hash(EncodeNtAclV3(DescriptorFromPosix(access, defaults, status, inheritance), Sha256{}));
    entry.withInheritance = inheritance != nullptr;
    entry.inheritance = std::move(kept);
    entry.derived = true;
    return entry.descriptorHash;
}

void HashesOf(const struct stat& status, const PosixAcl& access, const PosixAcl& defaultAcl,
              const PosixInheritance* inheritance, Sha256* descriptorHash, Sha256* posixHash) {
    const PosixAcl* defaults = S_ISDIR(status.st_mode) ? &defaultAcl : nullptr;
    KnownHashes& known = HashesFor(SysAclBlob(access, defaults, status));
    *posixHash = known.posixHash;
    *descriptorHash = DescriptorHashOf(known, access, defaults, status, inheritance);
}

// What "map acl inherit" keeps beside the object's ACLs, when the share
// says to keep it.
std::optional<PosixInheritance> InheritanceOf(int objectFd, const machine::SambaShare& share) {
    if (!share.mapAclInherit) return std::nullopt;
    return ReadPosixInheritance(objectFd);
}

// What smbd serves for an object whose attribute (if `present`) is
// `blob`: the attribute's descriptor while its hashes match the POSIX ACLs,
// else the descriptor derived from them.
DWORD ServedAsSmbd(int objectFd, const struct stat& now, const machine::SambaShare& share, bool present,
                   const Bytes& blob, Bytes* sd) {
    // The caller's status is fresh: only the ACLs are read.
    PosixAcl access, defaultAcl;
    DWORD error = ReadAccessAcl(objectFd, now.st_mode, &access);
    if (error == ERROR_SUCCESS && S_ISDIR(now.st_mode)) error = ReadDefaultAcl(objectFd, &defaultAcl);
    if (error != ERROR_SUCCESS) return error;
    const PosixAcl* defaults = S_ISDIR(now.st_mode) ? &defaultAcl : nullptr;
    // Read only when a descriptor is to be derived from the ACLs.
    std::optional<std::optional<PosixInheritance>> inheritance;
    auto kept = [&]() -> const PosixInheritance* {
        if (!inheritance) inheritance = InheritanceOf(objectFd, share);
        return *inheritance ? &**inheritance : nullptr;
    };
    if (present) {
        Bytes stored;
        error = DecodeNtAcl(blob.data(), blob.size(), &stored);
        if (error != ERROR_SUCCESS) return error;
        NtAclHashes hashes;
        if (!ReadNtAclHashes(blob.data(), blob.size(), &hashes)) {
            *sd = std::move(stored);  // versions 1 and 2 carry no hash: always current
            return ERROR_SUCCESS;
        }
        if (hashes.hashType == kSha256) {
            // As smbd: the POSIX hash first, the dearer descriptor hash only
            // when that one differs.
            KnownHashes& known = HashesFor(SysAclBlob(access, defaults, now));
            bool current = hashes.version == 4 && known.posixHash == hashes.posixHash;
            if (!current) current = DescriptorHashOf(known, access, defaults, now, kept()) == hashes.descriptorHash;
            if (current) {
                *sd = std::move(stored);
                return ERROR_SUCCESS;
            }
        }
    }
    // Changed from the Unix side since (or never set over SMB): what the
    // POSIX ACLs say.
    *sd = ServedFromPosix(access, defaults, now, kept());
    return ERROR_SUCCESS;
}

// A job reads one object several times in a row (the walk's read, the
// before-image of the undo journal, the write's own read under its lock),
// and each read would fetch the POSIX ACLs again and hash them. What the
// last few objects served is kept, keyed by what any change from the Unix
// side alters besides the attribute's bytes: the change time, mode and
// owners. A change time is only trusted once it lies well behind the clock:
// a change within the same clock tick could leave it as it was, later ones
// cannot. Answers are kept a second at most, and not past a change of the
// Unix id mappings the derived descriptors depend on.
struct Served {
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec changed {};
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool mapAclInherit = false;
    std::string attribute;
    bool present = false;
    Bytes blob;
    Bytes sd;
    std::chrono::steady_clock::time_point at;
    uint64_t mappings = 0;
};

constexpr size_t kServedKept = 4;
constexpr auto kServedLifetime = std::chrono::seconds(1);
constexpr long kSettledChangeNanoseconds = 50'000'000;  // many clock ticks

std::array<Served, kServedKept>& ServedMemory() {
    thread_local std::array<Served, kServedKept> memory;
    return memory;
}
thread_local size_t servedNext = 0;

bool SameObjectState(const Served& served, const struct stat& status, const std::string& attribute,
                     const machine::SambaShare& share) {
    return served.inode == status.st_ino && served.device == status.st_dev &&
           served.changed.tv_sec == status.st_ctim.tv_sec && served.changed.tv_nsec == status.st_ctim.tv_nsec &&
           served.mode == status.st_mode && served.uid == status.st_uid && served.gid == status.st_gid &&
           served.mapAclInherit == share.mapAclInherit && served.attribute == attribute;
}

bool RecentlyServed(const struct stat& status, const std::string& attribute, const machine::SambaShare& share,
                    bool present, const Bytes& blob, Bytes* sd) {
    const auto now = std::chrono::steady_clock::now();
    for (const Served& served : ServedMemory()) {
        if (served.attribute.empty() || now - served.at > kServedLifetime) continue;
        if (served.mappings != UnixIdMappingGeneration()) continue;
        if (!SameObjectState(served, status, attribute, share)) continue;
        if (served.present != present || served.blob != blob) continue;
        *sd = served.sd;
        return true;
    }
    return false;
}

void RememberServed(const struct stat& status, const std::string& attribute, const machine::SambaShare& share,
                    bool present, Bytes blob, const Bytes& sd) {
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const long long age = (static_cast<long long>(clock.tv_sec) - status.st_ctim.tv_sec) * 1'000'000'000LL +
                          (clock.tv_nsec - status.st_ctim.tv_nsec);
    if (age < kSettledChangeNanoseconds) return;
    Served& served = ServedMemory()[servedNext];
    servedNext = (servedNext + 1) % kServedKept;
    served.device = status.st_dev;
    served.inode = status.st_ino;
    served.changed = status.st_ctim;
    served.mode = status.st_mode;
    served.uid = status.st_uid;
    served.gid = status.st_gid;
    served.mapAclInherit = share.mapAclInherit;
    served.attribute = attribute;
    served.present = present;
    served.blob = std::move(blob);
    served.sd = sd;
    served.at = std::chrono::steady_clock::now();
    served.mappings = UnixIdMappingGeneration();
}

}  // namespace

Bytes NdrDescriptor(const Bytes& sd) {
    Bytes out;
    PutDescriptor(out, sd);
    return out;
}

bool ReadNtAclHashes(const BYTE* data, size_t size, NtAclHashes* hashes) {
    constexpr size_t kHashStart = 8 + 4 + 2;
    if (data == nullptr || size < kHashStart + kHashField) return false;
    hashes->version = ReadWord(data);
    if (hashes->version != 3 && hashes->version != 4) return false;
    hashes->hashType = ReadWord(data + 12);
    std::memcpy(hashes->descriptorHash.data(), data + kHashStart, hashes->descriptorHash.size());
    if (hashes->version == 4) {
        const size_t nameStart = kHashStart + kHashField;
        const void* nul = std::memchr(data + nameStart, 0, size - nameStart);
        if (!nul) return false;
        size_t at = static_cast<size_t>(static_cast<const BYTE*>(nul) - data) + 1;
        at = AlignToDword(at) + 8;  // the time stamp
        if (at + kHashField > size) return false;
        std::memcpy(hashes->posixHash.data(), data + at, hashes->posixHash.size());
    }
    return true;
}

Bytes EncodeNtAclV3(const Bytes& sd, const Sha256& descriptorHash) {
    Bytes out;
    PutWord(out, 3);
    PutWord(out, 3);
    PutDword(out, kBodyReferent);
    PutDword(out, kDescriptorReferent);
    PutWord(out, kSha256);
    PutHash(out, descriptorHash);
    Align4(out);
    PutDescriptor(out, sd);
    return out;
}

Bytes EncodeNtAclV4(const Bytes& sd, const Sha256& descriptorHash, const Sha256& posixHash, uint64_t ntTime) {
    Bytes out;
    PutWord(out, 4);
    PutWord(out, 4);
    PutDword(out, kBodyReferent);
    PutDword(out, kDescriptorReferent);
    PutWord(out, kSha256);
    PutHash(out, descriptorHash);
    out.insert(out.end(), kPosixDescription, kPosixDescription + std::strlen(kPosixDescription) + 1);
    Align4(out);
    PutDword(out, static_cast<DWORD>(ntTime));
    PutDword(out, static_cast<DWORD>(ntTime >> 32));
    PutHash(out, posixHash);
    Align4(out);
    PutDescriptor(out, sd);
    return out;
}

DWORD CurrentSambaHashes(int objectFd, Sha256* descriptorHash, Sha256* posixHash) {
    struct stat status;
    PosixAcl access, defaultAcl;
    DWORD error = ReadPosixState(objectFd, &status, &access, &defaultAcl);
    if (error != ERROR_SUCCESS) return error;
    HashesOf(status, access, defaultAcl, nullptr, descriptorHash, posixHash);
    return ERROR_SUCCESS;
}

DWORD WriteDescriptorAsSmbd(int objectFd, const std::string& attribute, const machine::SambaShare& share,
                            const Bytes& sd, const struct stat* known) {
    if (machine::DiskFullInjected()) return ERROR_DISK_FULL;
    struct stat status;
    if (known) {
        status = *known;
    } else if (::fstat(objectFd, &status) != 0) {
        return ErrorFromErrno(errno);
    }
    DWORD error = ChownAsDescriptor(objectFd, sd, &status);
    if (error != ERROR_SUCCESS) return error;
    if (share.ignoreSystemAcls) return SetAttribute(objectFd, attribute, EncodeNtAclV3(sd, Sha256{}));

    const PosixAclChange& change = MappedDacl(sd, status);
    PosixAcl access, defaultAcl;
    std::optional<PosixInheritance> inheritance;
    if (change.change) {
        error = WriteAccessAcl(objectFd, change.access);
        if (error == ERROR_SUCCESS && change.directory) error = WriteDefaultAcl(objectFd, change.defaultAcl);
        if (error == ERROR_SUCCESS && share.mapAclInherit) {
            error = WritePosixInheritance(objectFd, change.inheritance);
            inheritance = change.inheritance;
        }
        if (error != ERROR_SUCCESS) return error;
        // The ACLs read back as written, in the kernel's order, and the
        // kernel derived the mode from the access ACL as ModeAfterAccessAcl
        // does. Only a writer that may have lost the set-group-id bit on the
        // way reads the mode back.
        if ((status.st_mode & S_ISGID) && ::geteuid() != 0) {
            if (::fstat(objectFd, &status) != 0) return ErrorFromErrno(errno);
        } else {
            status.st_mode = ModeAfterAccessAcl(status.st_mode, change.access);
        }
        access = InKernelOrder(change.access);
        if (change.directory) defaultAcl = InKernelOrder(change.defaultAcl);
    } else {
        error = ReadPosixState(objectFd, &status, &access, &defaultAcl);
        if (error != ERROR_SUCCESS) return error;
        inheritance = InheritanceOf(objectFd, share);
    }
    Sha256 descriptorHash, posixHash;
    HashesOf(status, access, defaultAcl, inheritance ? &*inheritance : nullptr, &descriptorHash, &posixHash);
    return SetAttribute(objectFd, attribute, EncodeNtAclV4(sd, descriptorHash, posixHash, NtTimeNow()));
}

DWORD ReadDescriptorAsSmbd(int objectFd, const struct stat& status, const std::string& attribute,
                           const machine::SambaShare& share, Bytes* sd) {
    Bytes blob;
    bool present = false;
    DWORD error = ReadNtAclAttribute(objectFd, attribute, &blob, &present);
    if (error != ERROR_SUCCESS) return error;
    if (share.ignoreSystemAcls) {
        // Any attribute stands as it is; without one smbd makes a
        // descriptor up in the share's default style.
        if (present) return DecodeNtAcl(blob.data(), blob.size(), sd);
        *sd = DefaultStyleDescriptor(share.defaultAclStyle, status);
        return ERROR_SUCCESS;
    }
    if (RecentlyServed(status, attribute, share, present, blob, sd)) return ERROR_SUCCESS;
    error = ServedAsSmbd(objectFd, status, share, present, blob, sd);
    if (error == ERROR_SUCCESS) RememberServed(status, attribute, share, present, std::move(blob), *sd);
    return error;
}

}  // namespace winapi
