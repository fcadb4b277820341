#include "winapi/files/ntacl.h"

#include <cstring>

#include "winapi/security/descriptor_parts.h"
#include "winapi/errors.h"
#include "winapi/security/security_layout.h"

// The attribute is an NDR (little-endian) structure: a version word, the
// union level repeating it, and a pointer to the version's body. Version 1's
// body is the descriptor itself; versions 2 to 4 put a pointer to the
// descriptor and hashes first (4 also the name of the hashing scheme, a
// time stamp and a hash of the POSIX ACL), the descriptor coming last. The
// descriptor's offsets count from the start of the attribute, not of the
// descriptor.

namespace winapi {
namespace {

constexpr size_t kHeaderSize = 8;              // version, level, body pointer
constexpr size_t kOffsetFields[] = {4, 8, 12, 16};  // owner, group, SACL, DACL
constexpr size_t kHashV2Size = 16;
constexpr size_t kHashV3Size = 64;
constexpr size_t kTimeSize = 8;
// Version 1, level 1, body referent id 0x00020000.
constexpr BYTE kVersion1Header[kHeaderSize] = {0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00};

// Where the descriptor starts in a blob of the given version, or 0 when the
// blob ends before it.
size_t DescriptorStart(const BYTE* data, size_t size, WORD version) {
    if (version == 1) return kHeaderSize;
    // Versions 2-4: a pointer to the descriptor opens the body.
    if (size < kHeaderSize + 4 || ReadDword(data + kHeaderSize) == 0) return 0;
    size_t pos = kHeaderSize + 4;
    if (version == 2) {
        pos += kHashV2Size;
    } else {
        pos += 2 + kHashV3Size;  // hash type, hash
        if (version == 4) {
            // NUL-terminated name of the hashing scheme, unaligned.
            if (pos >= size) return 0;
            const void* nul = std::memchr(data + pos, 0, size - pos);
            if (nul == nullptr) return 0;
            pos = static_cast<size_t>(static_cast<const BYTE*>(nul) - data) + 1;
            pos = AlignToDword(pos) + kTimeSize + kHashV3Size;
        }
    }
    pos = AlignToDword(pos);
    return pos <= size ? pos : 0;
}

}  // namespace

Bytes EncodeNtAcl(const Bytes& selfRelativeSd) {
    Bytes blob;
    EncodeNtAcl(selfRelativeSd, &blob);
    return blob;
}

void EncodeNtAcl(const Bytes& selfRelativeSd, Bytes* encoded) {
    // Sized once and filled with memcpy: growing a vector from the header's
    // initializer list trips a false array-bounds warning in GCC 12 at -O2.
    Bytes& blob = *encoded;
    blob.resize(kHeaderSize + selfRelativeSd.size());
    std::memcpy(blob.data(), kVersion1Header, kHeaderSize);
    if (!selfRelativeSd.empty()) std::memcpy(blob.data() + kHeaderSize, selfRelativeSd.data(), selfRelativeSd.size());
    if (selfRelativeSd.size() >= kRelativeHeaderSize) {
        for (size_t field : kOffsetFields) {
            BYTE* p = blob.data() + kHeaderSize + field;
            const DWORD offset = ReadDword(p);
            if (offset != 0) WriteDword(p, offset + static_cast<DWORD>(kHeaderSize));
        }
    }
}

bool IsEncodedNtAcl(const Bytes& blob, const Bytes& selfRelativeSd) {
    const size_t size = selfRelativeSd.size();
    if (blob.size() != kHeaderSize + size || std::memcmp(blob.data(), kVersion1Header, kHeaderSize) != 0) return false;
    const BYTE* body = blob.data() + kHeaderSize;
    const BYTE* sd = selfRelativeSd.data();
    if (size < kRelativeHeaderSize) return size == 0 || std::memcmp(body, sd, size) == 0;
    // The revision and control, the offsets as EncodeNtAcl shifts them, and
    // the parts as they are.
    if (std::memcmp(body, sd, kOffsetFields[0]) != 0) return false;
    for (size_t field : kOffsetFields) {
        const DWORD offset = ReadDword(sd + field);
        if (ReadDword(body + field) != (offset != 0 ? offset + static_cast<DWORD>(kHeaderSize) : 0)) return false;
    }
    return std::memcmp(body + kRelativeHeaderSize, sd + kRelativeHeaderSize, size - kRelativeHeaderSize) == 0;
}

DWORD DecodeNtAcl(const BYTE* data, size_t size, Bytes* selfRelativeSd) {
    if (data == nullptr || size < kHeaderSize) return ERROR_INVALID_SECURITY_DESCR;
    const WORD version = ReadWord(data);
    if (version < 1 || version > 4 || ReadWord(data + 2) != version) return ERROR_INVALID_SECURITY_DESCR;
    if (ReadDword(data + 4) == 0) return ERROR_INVALID_SECURITY_DESCR;  // no body
    // Any non-null referent id will do when reading; Samba writes 0x00020000.

    const size_t start = DescriptorStart(data, size, version);
    if (start == 0 || size - start < kRelativeHeaderSize) return ERROR_INVALID_SECURITY_DESCR;

    // Re-base the offsets onto the descriptor itself; one pointing before
    // it (into the header or the hashes) is damage.
    Bytes bare(data + start, data + size);
    for (size_t field : kOffsetFields) {
        const DWORD offset = ReadDword(bare.data() + field);
        if (offset == 0) continue;
        if (offset < start) return ERROR_INVALID_SECURITY_DESCR;
        WriteDword(bare.data() + field, offset - static_cast<DWORD>(start));
    }
    DescriptorParts parts;
    if (ParseSelfRelative(bare.data(), bare.size(), &parts) != ERROR_SUCCESS) return ERROR_INVALID_SECURITY_DESCR;
    // Rebuilt from its parts, the descriptor sheds whatever padding or
    // trailing bytes the attribute carried.
    *selfRelativeSd = BuildSelfRelative(parts.control, parts.owner, parts.group, parts.sacl, parts.dacl);
    return ERROR_SUCCESS;
}

}  // namespace winapi
