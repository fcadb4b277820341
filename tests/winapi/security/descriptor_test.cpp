// Security descriptors: both forms, the conversions between them with their
// sizing calls, and checked reading of untrusted self-relative bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/security_bytes.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/win32.h"

using namespace tavrik::test;

namespace {

// The self-relative descriptor of MS-DTYP 2.5.1.4, as Windows writes it for
// O:BA G:BA D:P(A;CIOI;GRGX;;;BU)(A;CIOI;GA;;;BA)(A;CIOI;GA;;;SY)
// (A;CIOI;GA;;;CO) S:P(AU;FA;GR;;;WD).
const Bytes kWindowsExample = Hex(
    "01 00 14 b0 90 00 00 00 a0 00 00 00 14 00 00 00"
    "30 00 00 00 02 00 1c 00 01 00 00 00 02 80 14 00"
    "00 00 00 80 01 01 00 00 00 00 00 01 00 00 00 00"
    "02 00 60 00 04 00 00 00 00 03 18 00 00 00 00 a0"
    "01 02 00 00 00 00 00 05 20 00 00 00 21 02 00 00"
    "00 03 18 00 00 00 00 10 01 02 00 00 00 00 00 05"
    "20 00 00 00 20 02 00 00 00 03 14 00 00 00 00 10"
    "01 01 00 00 00 00 00 05 12 00 00 00 00 03 14 00"
    "00 00 00 10 01 01 00 00 00 00 00 03 00 00 00 00"
    "01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00"
    "01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00");

// The parts of that descriptor, built with the ACL calls, kept alive for an
// absolute descriptor that points at them.
struct ExampleParts {
    Bytes owner = Administrators();
    Bytes group = Administrators();
    Bytes users = Users();
    Bytes system = LocalSystem();
    Bytes creator = CreatorOwner();
    Bytes everyone = Everyone();
    Bytes dacl = Bytes(96);
    Bytes sacl = Bytes(28);
    SECURITY_DESCRIPTOR sd{};

    ExampleParts() {
        const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        EXPECT_TRUE(InitializeAcl(Acl(dacl), 96, ACL_REVISION));
        EXPECT_TRUE(AddAccessAllowedAceEx(Acl(dacl), ACL_REVISION, inherit, GENERIC_READ | GENERIC_EXECUTE,
                                          Sid(users)));
        EXPECT_TRUE(AddAccessAllowedAceEx(Acl(dacl), ACL_REVISION, inherit, GENERIC_ALL, Sid(owner)));
        EXPECT_TRUE(AddAccessAllowedAceEx(Acl(dacl), ACL_REVISION, inherit, GENERIC_ALL, Sid(system)));
        EXPECT_TRUE(AddAccessAllowedAceEx(Acl(dacl), ACL_REVISION, inherit, GENERIC_ALL, Sid(creator)));
        EXPECT_TRUE(InitializeAcl(Acl(sacl), 28, ACL_REVISION));
        EXPECT_TRUE(AddAuditAccessAceEx(Acl(sacl), ACL_REVISION, 0, GENERIC_READ, Sid(everyone), FALSE, TRUE));
        EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorOwner(&sd, Sid(owner), FALSE));
        EXPECT_TRUE(SetSecurityDescriptorGroup(&sd, Sid(group), FALSE));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, Acl(dacl), FALSE));
        EXPECT_TRUE(SetSecurityDescriptorSacl(&sd, TRUE, Acl(sacl), FALSE));
        EXPECT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED | SE_SACL_PROTECTED,
                                                 SE_DACL_PROTECTED | SE_SACL_PROTECTED));
    }
};

Bytes SelfRelative(PSECURITY_DESCRIPTOR absolute) {
    DWORD length = 0;
    EXPECT_FALSE(MakeSelfRelativeSD(absolute, nullptr, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    Bytes out(length);
    EXPECT_TRUE(MakeSelfRelativeSD(absolute, out.data(), &length));
    return out;
}

struct LocalBlock {
    void operator()(void* p) const { LocalFree(p); }
};
using LocalPtr = std::unique_ptr<void, LocalBlock>;

// The engine's way to an absolute descriptor: one sizing call, five
// LocalAlloc blocks at the reported sizes, then the real call.
struct AbsoluteCopy {
    LocalPtr sd, dacl, sacl, owner, group;
    DWORD sdSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;

    explicit AbsoluteCopy(PSECURITY_DESCRIPTOR selfRelative) {
        EXPECT_FALSE(MakeAbsoluteSD(selfRelative, nullptr, &sdSize, nullptr, &daclSize, nullptr, &saclSize, nullptr,
                                    &ownerSize, nullptr, &groupSize));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        sd.reset(LocalAlloc(LMEM_ZEROINIT, sdSize));
        dacl.reset(LocalAlloc(LMEM_ZEROINIT, daclSize));
        sacl.reset(LocalAlloc(LMEM_ZEROINIT, saclSize));
        owner.reset(LocalAlloc(LMEM_ZEROINIT, ownerSize));
        group.reset(LocalAlloc(LMEM_ZEROINIT, groupSize));
        ok = MakeAbsoluteSD(selfRelative, sd.get(), &sdSize, static_cast<PACL>(dacl.get()), &daclSize,
                            static_cast<PACL>(sacl.get()), &saclSize, owner.get(), &ownerSize, group.get(),
                            &groupSize);
    }
    BOOL ok = FALSE;
};

}  // namespace

TEST(Descriptor, SelfRelativeFormMatchesWindowsByteForByte) {
    ExampleParts parts;
    EXPECT_TRUE(IsValidSecurityDescriptor(&parts.sd));
    EXPECT_EQ(GetSecurityDescriptorLength(&parts.sd), sizeof(SECURITY_DESCRIPTOR) + 176 - 20);
    Bytes bytes = SelfRelative(&parts.sd);
    EXPECT_EQ(bytes, kWindowsExample);
    EXPECT_EQ(GetSecurityDescriptorLength(bytes.data()), 176u);
    EXPECT_TRUE(IsValidSecurityDescriptor(bytes.data()));
}

TEST(Descriptor, SizingCallReportsEverySizeAndRoundTrips) {
    Bytes original = kWindowsExample;
    AbsoluteCopy copy(original.data());
    EXPECT_EQ(copy.sdSize, sizeof(SECURITY_DESCRIPTOR));
    EXPECT_EQ(copy.daclSize, 96u);
    EXPECT_EQ(copy.saclSize, 28u);
    EXPECT_EQ(copy.ownerSize, 16u);
    EXPECT_EQ(copy.groupSize, 16u);
    ASSERT_TRUE(copy.ok);

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(copy.sd.get(), &control, &revision));
    EXPECT_EQ(control, 0x3014);
    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(copy.sd.get(), &owner, &defaulted));
    EXPECT_EQ(owner, copy.owner.get()) << "the absolute form points into the caller's blocks";
    EXPECT_EQ(SelfRelative(copy.sd.get()), original);
}

TEST(Descriptor, AbsentPartsReportZeroAndStayAbsent) {
    Bytes owner = LocalSystem();
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, Sid(owner), TRUE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));  // NULL DACL: everyone has access
    Bytes relative = SelfRelative(&sd);
    ASSERT_EQ(relative.size(), 20u + 12u);
    EXPECT_EQ(relative[4], 20) << "owner right after the header";
    EXPECT_EQ(relative[16], 0) << "a NULL DACL has no offset";

    AbsoluteCopy copy(relative.data());
    EXPECT_EQ(copy.daclSize, 0u);
    EXPECT_EQ(copy.saclSize, 0u);
    EXPECT_EQ(copy.groupSize, 0u);
    ASSERT_TRUE(copy.ok);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = Acl(owner);
    ASSERT_TRUE(GetSecurityDescriptorDacl(copy.sd.get(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    PSID sid = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(copy.sd.get(), &sid, &defaulted));
    EXPECT_TRUE(defaulted);
    EXPECT_TRUE(EqualSid(sid, Sid(owner)));

    // An absent SACL leaves the caller's outputs untouched.
    PACL sacl = Acl(owner);
    present = TRUE;
    ASSERT_TRUE(GetSecurityDescriptorSacl(relative.data(), &present, &sacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ(sacl, Acl(owner));
}

TEST(Descriptor, ConversionsRefuseTheWrongForm) {
    ExampleParts parts;
    DWORD sizes[5] = {};
    EXPECT_FALSE(MakeAbsoluteSD(&parts.sd, nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2], nullptr,
                                &sizes[3], nullptr, &sizes[4]));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_DESCRIPTOR_FORMAT));
    Bytes relative = kWindowsExample;
    DWORD length = 1000;
    Bytes out(length);
    EXPECT_FALSE(MakeSelfRelativeSD(relative.data(), out.data(), &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_DESCRIPTOR_FORMAT));
}

TEST(Descriptor, WritersRefuseSelfRelativeAndUnknownRevisions) {
    Bytes relative = kWindowsExample;
    Bytes sid = Everyone();
    EXPECT_FALSE(SetSecurityDescriptorOwner(relative.data(), Sid(sid), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_FALSE(SetSecurityDescriptorDacl(relative.data(), TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    SECURITY_DESCRIPTOR sd;
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    sd.Revision = 2;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    EXPECT_FALSE(GetSecurityDescriptorOwner(&sd, &owner, &defaulted));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

TEST(Descriptor, ControlBits) {
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_FALSE(SetSecurityDescriptorControl(&sd, SE_DACL_PRESENT, SE_DACL_PRESENT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                             SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED));
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, 0));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
    EXPECT_EQ(control, SE_DACL_AUTO_INHERITED) << "only the bits of interest change";
    EXPECT_EQ(revision, 1u);
}

TEST(Descriptor, DamagedSelfRelativeDescriptorsAreInvalid) {
    struct Damage {
        const char* what;
        size_t at;
        BYTE value;
    };
    const Damage damages[] = {
        {"owner offset inside the header", 4, 0x08},
        {"owner offset unaligned", 4, 0x91},
        {"group SID revision", 0xa0, 0x05},
        {"DACL ACE size past the ACL", 0x3a, 0x80},
        {"SACL revision", 0x14, 0x07},
        {"descriptor revision", 0, 0x02},
    };
    for (const Damage& damage : damages) {
        // Each right after the intact descriptor passed: a list one byte
        // off one found valid a moment ago is refused all the same.
        Bytes intact = kWindowsExample;
        ASSERT_TRUE(IsValidSecurityDescriptor(intact.data()));
        Bytes bytes = kWindowsExample;
        bytes[damage.at] = damage.value;
        EXPECT_FALSE(IsValidSecurityDescriptor(bytes.data())) << damage.what;
        winapi::DescriptorParts parts;
        EXPECT_EQ(winapi::ParseSelfRelative(bytes.data(), bytes.size(), &parts),
                  static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR))
            << damage.what;
        DWORD sizes[5] = {1000, 1000, 1000, 1000, 1000};
        Bytes sd(1000), dacl(1000), sacl(1000), owner(1000), group(1000);
        EXPECT_FALSE(MakeAbsoluteSD(bytes.data(), sd.data(), &sizes[0], Acl(dacl), &sizes[1], Acl(sacl), &sizes[2],
                                    owner.data(), &sizes[3], group.data(), &sizes[4]))
            << damage.what;
    }
}

TEST(DescriptorParts, ParsesWindowsBytesIntoViews) {
    winapi::DescriptorParts parts;
    ASSERT_EQ(winapi::ParseSelfRelative(kWindowsExample.data(), kWindowsExample.size(), &parts),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(parts.control, 0xb014);
    Bytes admins = Administrators();
    EXPECT_TRUE(EqualSid(const_cast<SID*>(parts.owner), Sid(admins)));
    ASSERT_NE(parts.dacl, nullptr);
    EXPECT_EQ(parts.dacl->AceCount, 4);
    EXPECT_EQ(parts.sacl->AclSize, 28);

    std::vector<Bytes> sids;
    winapi::ForEachAce(parts.dacl, [&](const ACE_HEADER* ace, WORD) {
        const SID* sid = winapi::AceSid(ace);
        sids.push_back(winapi::SidBytes(sid));
        return sids.size() < 3;
    });
    EXPECT_EQ(sids, (std::vector<Bytes>{Users(), Administrators(), LocalSystem()})) << "the walk stops on request";

    Bytes rebuilt = winapi::BuildSelfRelative(parts.control, parts.owner, parts.group, parts.sacl, parts.dacl);
    EXPECT_EQ(rebuilt, kWindowsExample);
}

// Every truncation of a valid descriptor is refused, and no reader touches
// a byte past the end (the copies are sized exactly for AddressSanitizer).
TEST(DescriptorParts, EveryTruncationFailsWithoutOverreading) {
    for (size_t size = 0; size < kWindowsExample.size(); ++size) {
        ExactCopy copy(Bytes(kWindowsExample.begin(), kWindowsExample.begin() + static_cast<long>(size)));
        winapi::DescriptorParts parts;
        EXPECT_EQ(winapi::ParseSelfRelative(copy.data.get(), size, &parts),
                  static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR))
            << "size " << size;
    }
}

TEST(DescriptorParts, OffsetsOutsideTheBufferAndNullDacl) {
    Bytes bytes = kWindowsExample;
    bytes[5] = 0x10;  // owner offset 0x1090
    winapi::DescriptorParts parts;
    EXPECT_EQ(winapi::ParseSelfRelative(bytes.data(), bytes.size(), &parts),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    Bytes nullDacl = winapi::BuildSelfRelative(SE_DACL_PRESENT, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(nullDacl.size(), 20u);
    ASSERT_EQ(winapi::ParseSelfRelative(nullDacl.data(), nullDacl.size(), &parts), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(parts.control, SE_DACL_PRESENT | SE_SELF_RELATIVE);
    EXPECT_EQ(parts.dacl, nullptr);
    EXPECT_EQ(parts.owner, nullptr);
}

TEST(DescriptorParts, AceSidFindsTheSidOfEveryLayout) {
    Bytes everyone = Everyone();
    Bytes object(4 + 4 + 4 + 32 + everyone.size(), 0);
    object[0] = ACCESS_DENIED_OBJECT_ACE_TYPE;
    object[2] = static_cast<BYTE>(object.size());
    object[8] = ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT;
    std::memcpy(object.data() + 44, everyone.data(), everyone.size());
    const auto* header = reinterpret_cast<const ACE_HEADER*>(object.data());
    ASSERT_NE(winapi::AceSid(header), nullptr);
    EXPECT_EQ(winapi::SidBytes(winapi::AceSid(header)), everyone);

    object[8] = 0;  // without GUIDs the SID would start at 12, where zeros are no SID
    EXPECT_EQ(winapi::AceSid(header), nullptr);
    object[8] = ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT;
    object[2] = 44;  // too short for the SID
    EXPECT_EQ(winapi::AceSid(header), nullptr);
    object[0] = ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
    EXPECT_EQ(winapi::AceSid(header), nullptr);
}

TEST(GenericMask, MapsAndClearsGenericBits) {
    GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    DWORD mask = GENERIC_READ | GENERIC_EXECUTE | DELETE;
    MapGenericMask(&mask, &files);
    EXPECT_EQ(mask, 0x1200A9u | DELETE);
    mask = GENERIC_ALL;
    MapGenericMask(&mask, &files);
    EXPECT_EQ(mask, 0x1F01FFu);
    GENERIC_MAPPING careless = {GENERIC_WRITE, 0, 0, 0};
    mask = GENERIC_READ;
    MapGenericMask(&mask, &careless);
    EXPECT_EQ(mask, 0u);
}
