// The descriptor of a file or directory that has no NTACL attribute.
#include <gtest/gtest.h>

#include "support/semantics_support.h"
#include "winapi/security/access_check.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/security/inheritance.h"
#include "winapi/files/ntacl.h"

namespace {

using tavrik::test::SddlOf;
using tavrik::test::SidFromText;
using winapi::Bytes;

std::wstring Derived(mode_t mode, bool isDirectory, uid_t uid = 1000, gid_t gid = 100) {
    return SddlOf(winapi::ModeDerivedDescriptor(mode, uid, gid, isDirectory));
}

const std::wstring kIds = L"O:S-1-22-1-1000G:S-1-22-2-100";
const std::wstring kOwner = L"S-1-22-1-1000";
const std::wstring kGroup = L"S-1-22-2-100";

TEST(ModeDerivedDescriptor, FileTripletsBecomeOwnerGroupAndEveryoneAces) {
    // rw- r-- ---: write brings WRITE_DAC, WRITE_OWNER and DELETE along.
    EXPECT_EQ(Derived(0640, false),
              kIds + L"D:(A;;0x1f019f;;;" + kOwner + L")(A;;FR;;;" + kGroup + L")(A;;;;;WD)");
    EXPECT_EQ(Derived(0777, false), kIds + L"D:(A;;FA;;;" + kOwner + L")(A;;FA;;;" + kGroup + L")(A;;FA;;;WD)");
    EXPECT_EQ(Derived(0421, false),
              kIds + L"D:(A;;FR;;;" + kOwner + L")(A;;0x1f0116;;;" + kGroup + L")(A;;FX;;;WD)");
    EXPECT_EQ(Derived(0, false), kIds + L"D:(A;;;;;" + kOwner + L")(A;;;;;" + kGroup + L")(A;;;;;WD)");
}

TEST(ModeDerivedDescriptor, DirectoriesAddDeleteChildAndCreatorAces) {
    EXPECT_EQ(Derived(0750, true), kIds + L"D:(A;;FA;;;" + kOwner + L")(A;;0x1200a9;;;" + kGroup +
                                       L")(A;;;;;WD)(A;OICIIO;FA;;;CO)(A;OICIIO;0x1200a9;;;CG)(A;OICIIO;;;;WD)");
    // Write alone on a directory: FILE_GENERIC_WRITE, DELETE_CHILD, WRITE_DAC, WRITE_OWNER, DELETE.
    EXPECT_EQ(Derived(0200, true), kIds + L"D:(A;;0x1f0156;;;" + kOwner + L")(A;;;;;" + kGroup +
                                       L")(A;;;;;WD)(A;OICIIO;0x1f0156;;;CO)(A;OICIIO;;;;CG)(A;OICIIO;;;;WD)");
}

TEST(ModeDerivedDescriptor, OnlyPermissionBitsCount) {
    EXPECT_EQ(Derived(S_IFREG | S_ISUID | S_ISVTX | 0640, false), Derived(0640, false));
    EXPECT_EQ(Derived(S_IFDIR | S_ISGID | 0750, true), Derived(0750, true));
}

TEST(ModeDerivedDescriptor, LargeIdsKeepTheirFullValue) {
    EXPECT_EQ(Derived(0600, false, 4294967294u, 65534).substr(0, 40), L"O:S-1-22-1-4294967294G:S-1-22-2-65534D:(");
}

TEST(ModeDerivedDescriptor, ControlIsDaclPresentOnly) {
    const Bytes sd = winapi::ModeDerivedDescriptor(0755, 0, 0, true);
    winapi::DescriptorParts parts;
    ASSERT_EQ(winapi::ParseSelfRelative(sd.data(), sd.size(), &parts), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(parts.control, SE_DACL_PRESENT | SE_SELF_RELATIVE);
    EXPECT_EQ(parts.sacl, nullptr);
}

TEST(ModeDerivedDescriptor, GrantsWhatTheModeAllowsThroughTheAccessCheck) {
    const Bytes sd = winapi::ModeDerivedDescriptor(0640, 1000, 100, false);
    winapi::AccessToken owner, member, other;
    owner.user = SidFromText(kOwner);
    member.user = SidFromText(L"S-1-22-1-1001");
    member.groups = {SidFromText(kGroup)};
    other.user = SidFromText(L"S-1-22-1-1002");
    ACCESS_MASK granted = 0;
    auto check = [&](const winapi::AccessToken& token, ACCESS_MASK desired) {
        return winapi::CheckAccess(sd.data(), sd.size(), token, desired, winapi::FileGenericMapping(), false,
                                   &granted);
    };
    EXPECT_EQ(check(owner, FILE_WRITE_DATA | WRITE_DAC), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(check(member, FILE_READ_DATA), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(check(member, FILE_WRITE_DATA), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(check(other, FILE_READ_DATA), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(ModeDerivedDescriptor, NewFilesInADerivedDirectoryTakeTheCreatorAces) {
    const Bytes child = winapi::CreateInheritedDescriptor(winapi::ModeDerivedDescriptor(0750, 1000, 100, true), false,
                                                          SidFromText(L"S-1-22-1-1001"),
                                                          SidFromText(L"S-1-22-2-101"),
                                                          winapi::FileGenericMapping());
    EXPECT_EQ(SddlOf(child),
              L"O:S-1-22-1-1001G:S-1-22-2-101D:(A;ID;FA;;;S-1-22-1-1001)(A;ID;0x1200a9;;;S-1-22-2-101)(A;ID;;;;WD)");
}

TEST(ModeDerivedDescriptor, SurvivesTheAttributeRoundTrip) {
    const Bytes sd = winapi::ModeDerivedDescriptor(0751, 1000, 100, true);
    Bytes decoded;
    const Bytes blob = winapi::EncodeNtAcl(sd);
    ASSERT_EQ(winapi::DecodeNtAcl(blob.data(), blob.size(), &decoded), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(decoded, sd);
}

}  // namespace
