// Arbitrary bytes as a self-relative descriptor. The checked parser must
// refuse or accept them without reading outside the input; whatever it
// accepts must then pass the Win32 readers (which take no length and so may
// only see bytes the parser vouched for), convert to the absolute form and
// back, and come out identical to a fresh build from the same parts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "winapi/security/descriptor_parts.h"
#include "winapi/win32.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

struct LocalBlock {
    explicit LocalBlock(DWORD size) : p(LocalAlloc(LMEM_ZEROINIT, size)) {}
    ~LocalBlock() { LocalFree(p); }
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    void* p;
};

// Reads and edits a copy of an ACL the parser accepted.
void ExerciseAcl(const ACL* acl) {
    if (acl == nullptr) return;
    winapi::Bytes copy = winapi::AclBytes(acl);
    auto* list = reinterpret_cast<PACL>(copy.data());
    Require(IsValidAcl(list));
    ACL_SIZE_INFORMATION info{};
    Require(GetAclInformation(list, &info, sizeof info, AclSizeInformation));
    Require(info.AceCount == list->AceCount);
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* ace = nullptr;
        Require(GetAce(list, i, &ace));
        winapi::AceSid(static_cast<const ACE_HEADER*>(ace));
    }
    void* past = nullptr;
    Require(!GetAce(list, info.AceCount, &past));
    while (list->AceCount > 0) Require(DeleteAce(list, 0));
    Require(IsValidAcl(list));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact, aligned copy: the parser hands out typed pointers into it.
    winapi::Bytes bytes(data, data + size);
    winapi::DescriptorParts parts;
    if (winapi::ParseSelfRelative(bytes.data(), bytes.size(), &parts) != ERROR_SUCCESS) return 0;
    ExerciseAcl(parts.dacl);
    ExerciseAcl(parts.sacl);

    DWORD sizes[5] = {};
    const BOOL sized = MakeAbsoluteSD(bytes.data(), nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2],
                                      nullptr, &sizes[3], nullptr, &sizes[4]);
    Require(!sized);
    if (!(parts.control & SE_SELF_RELATIVE)) {
        // The header claims the absolute form, whose fields are pointers.
        Require(GetLastError() == ERROR_BAD_DESCRIPTOR_FORMAT);
        return 0;
    }
    Require(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    Require(IsValidSecurityDescriptor(bytes.data()));
    GetSecurityDescriptorLength(bytes.data());

    LocalBlock absolute(sizes[0]), dacl(sizes[1]), sacl(sizes[2]), owner(sizes[3]), group(sizes[4]);
    Require(MakeAbsoluteSD(bytes.data(), absolute.p, &sizes[0], static_cast<PACL>(dacl.p), &sizes[1],
                           static_cast<PACL>(sacl.p), &sizes[2], owner.p, &sizes[3], group.p, &sizes[4]));
    Require(IsValidSecurityDescriptor(absolute.p));

    DWORD length = 0;
    Require(!MakeSelfRelativeSD(absolute.p, nullptr, &length));
    Require(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    winapi::Bytes again(length);
    Require(MakeSelfRelativeSD(absolute.p, again.data(), &length));
    Require(GetSecurityDescriptorLength(again.data()) == again.size());

    winapi::DescriptorParts reparsed;
    Require(winapi::ParseSelfRelative(again.data(), again.size(), &reparsed) == ERROR_SUCCESS);
    Require(reparsed.control == parts.control);
    Require(winapi::SidBytes(reparsed.owner) == winapi::SidBytes(parts.owner));
    Require(winapi::SidBytes(reparsed.group) == winapi::SidBytes(parts.group));
    Require(winapi::AclBytes(reparsed.dacl) == winapi::AclBytes(parts.dacl));
    Require(winapi::AclBytes(reparsed.sacl) == winapi::AclBytes(parts.sacl));

    winapi::Bytes built = winapi::BuildSelfRelative(parts.control, parts.owner, parts.group, parts.sacl, parts.dacl);
    again[1] = 0;  // Sbz1 travels with MakeSelfRelativeSD, not with the parts
    Require(built == again);
    return 0;
}
