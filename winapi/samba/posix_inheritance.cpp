#include "winapi/samba/posix_inheritance.h"

#include <cerrno>

#include "winapi/files/file_paths.h"
#include "winapi/samba/posix_acl.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr const char* kAttributeName = "user.SAMBA_PAI";
constexpr BYTE kVersion = 2;
constexpr size_t kHeaderSize = 7, kEntrySize = 6;

void PutWord(Bytes& out, size_t at, WORD v) {
    out[at] = static_cast<BYTE>(v);
    out[at + 1] = static_cast<BYTE>(v >> 8);
}

WORD GetWord(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }

}  // namespace

BYTE PosixInheritance::FlagsOf(bool defaultAcl, PosixOwner owner, uint32_t id) const {
    // smbd loads the entries by prepending each to a list, so its first
    // match is the last one in the attribute.
    const auto& list = defaultAcl ? defaults : access;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->owner == owner && it->id == id) return it->aceFlags;
    }
    return 0;
}

Bytes EncodePosixInheritance(const PosixInheritance& inheritance) {
    Bytes out(kHeaderSize + (inheritance.access.size() + inheritance.defaults.size()) * kEntrySize, 0);
    out[0] = kVersion;
    PutWord(out, 1, inheritance.control);
    PutWord(out, 3, static_cast<WORD>(inheritance.access.size()));
    PutWord(out, 5, static_cast<WORD>(inheritance.defaults.size()));
    size_t at = kHeaderSize;
    for (const auto* list : {&inheritance.access, &inheritance.defaults}) {
        for (const PosixInheritanceEntry& entry : *list) {
            out[at] = entry.aceFlags;
            out[at + 1] = static_cast<BYTE>(entry.owner);
            for (int b = 0; b < 4; ++b) out[at + 2 + b] = static_cast<BYTE>(entry.id >> (8 * b));
            at += kEntrySize;
        }
    }
    return out;
}

std::optional<PosixInheritance> DecodePosixInheritance(const BYTE* data, size_t size) {
    if (data == nullptr || size < kHeaderSize || data[0] != kVersion) return std::nullopt;
    PosixInheritance inheritance;
    inheritance.control = GetWord(data + 1);
    const size_t accessCount = GetWord(data + 3), defaultCount = GetWord(data + 5);
    if (size != kHeaderSize + (accessCount + defaultCount) * kEntrySize) return std::nullopt;
    const BYTE* p = data + kHeaderSize;
    for (size_t i = 0; i < accessCount + defaultCount; ++i, p += kEntrySize) {
        if (p[1] > static_cast<BYTE>(PosixOwner::World)) return std::nullopt;
        PosixInheritanceEntry entry;
        entry.aceFlags = p[0];
        entry.owner = static_cast<PosixOwner>(p[1]);
        entry.id = static_cast<uint32_t>(p[2]) | static_cast<uint32_t>(p[3]) << 8 | static_cast<uint32_t>(p[4]) << 16 |
                   static_cast<uint32_t>(p[5]) << 24;
        (i < accessCount ? inheritance.access : inheritance.defaults).push_back(entry);
    }
    return inheritance;
}

std::optional<PosixInheritance> ReadPosixInheritance(int objectFd) {
    Bytes raw(kHeaderSize + 64 * kEntrySize);
    ssize_t got = GetObjectAttribute(objectFd, kAttributeName, raw.data(), raw.size());
    if (got < 0 && errno == ERANGE) {
        const ssize_t needed = GetObjectAttribute(objectFd, kAttributeName, nullptr, 0);
        if (needed <= 0) return std::nullopt;
        raw.resize(static_cast<size_t>(needed));
        got = GetObjectAttribute(objectFd, kAttributeName, raw.data(), raw.size());
    }
    if (got < 0) return std::nullopt;
    return DecodePosixInheritance(raw.data(), static_cast<size_t>(got));
}

DWORD WritePosixInheritance(int objectFd, const PosixInheritance& inheritance) {
    const Bytes blob = EncodePosixInheritance(inheritance);
    if (SetObjectAttribute(objectFd, kAttributeName, blob.data(), blob.size()) == 0) return ERROR_SUCCESS;
    if (errno == ENOSPC || errno == EDQUOT) return ERROR_DISK_FULL;
    return ErrorFromErrno(errno);
}

}  // namespace winapi
