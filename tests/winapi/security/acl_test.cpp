// ACLs through the Win32 calls: Windows' byte layout, revision rules, space
// accounting and refusal of damaged lists.
#include <gtest/gtest.h>

#include <cstring>

#include "support/security_bytes.h"
#include "winapi/win32.h"

using namespace tavrik::test;

namespace {

Bytes NewAcl(DWORD size, DWORD revision = ACL_REVISION) {
    Bytes acl(size, 0xee);
    EXPECT_TRUE(InitializeAcl(Acl(acl), size, revision));
    return acl;
}

DWORD AceCount(Bytes& acl) {
    ACL_SIZE_INFORMATION info{};
    EXPECT_TRUE(GetAclInformation(Acl(acl), &info, sizeof info, AclSizeInformation));
    return info.AceCount;
}

DWORD MaskAt(Bytes& acl, DWORD index) {
    void* ace = nullptr;
    EXPECT_TRUE(GetAce(Acl(acl), index, &ace));
    return ace ? static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask : 0;
}

// An allowed-object ACE for Everyone with one object-type GUID.
Bytes ObjectAce() {
    Bytes everyone = Everyone();
    Bytes ace(4 + 4 + 4 + 16 + everyone.size(), 0);
    ace[0] = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
    ace[2] = static_cast<BYTE>(ace.size());
    ace[4] = 0x10;  // mask
    ace[8] = ACE_OBJECT_TYPE_PRESENT;
    for (int i = 0; i < 16; ++i) ace[12 + i] = static_cast<BYTE>(i + 1);
    std::memcpy(ace.data() + 28, everyone.data(), everyone.size());
    return ace;
}

}  // namespace

TEST(Acl, InitializeChecksSizeAndRevision) {
    Bytes acl(16);
    EXPECT_FALSE(InitializeAcl(Acl(acl), 7, ACL_REVISION));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(InitializeAcl(Acl(acl), 16, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REVISION_MISMATCH));
    EXPECT_FALSE(InitializeAcl(Acl(acl), 16, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REVISION_MISMATCH));
    EXPECT_FALSE(InitializeAcl(Acl(acl), 0x10000, ACL_REVISION));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(InitializeAcl(Acl(acl), 15, ACL_REVISION_DS));
    EXPECT_EQ(Acl(acl)->AclSize, 12) << "an unaligned size is rounded down, never up";
    EXPECT_EQ(Acl(acl)->AclRevision, ACL_REVISION_DS);
    EXPECT_TRUE(IsValidAcl(Acl(acl)));
}

TEST(Acl, AllowedAceHasWindowsLayout) {
    Bytes acl = NewAcl(28);
    Bytes everyone = Everyone();
    ASSERT_TRUE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, 0x1F01FF, Sid(everyone)));
    EXPECT_EQ(acl, Hex("02 00 1c 00 01 00 00 00 00 00 14 00 ff 01 1f 00 01 01 00 00 00 00 00 01 00 00 00 00"));
}

TEST(Acl, KnownAcesCarryTheirFlags) {
    Bytes acl = NewAcl(200);
    Bytes users = Users();
    ASSERT_TRUE(AddAccessDeniedAceEx(Acl(acl), ACL_REVISION, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, 1, Sid(users)));
    ASSERT_TRUE(AddAuditAccessAceEx(Acl(acl), ACL_REVISION, OBJECT_INHERIT_ACE, 2, Sid(users), TRUE, TRUE));
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(Acl(acl), 0, &ace));
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceFlags, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE);
    ASSERT_TRUE(GetAce(Acl(acl), 1, &ace));
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, SYSTEM_AUDIT_ACE_TYPE);
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceFlags,
              OBJECT_INHERIT_ACE | SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG);

    EXPECT_FALSE(AddAccessAllowedAceEx(Acl(acl), ACL_REVISION, 0x20, 1, Sid(users)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_FALSE(AddAuditAccessAceEx(Acl(acl), ACL_REVISION, SUCCESSFUL_ACCESS_ACE_FLAG, 1, Sid(users), 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(AceCount(acl), 2u);
}

TEST(Acl, KnownAceRefusals) {
    Bytes acl = NewAcl(28);
    Bytes everyone = Everyone();
    Bytes admins = Administrators();
    ASSERT_TRUE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, 1, Sid(everyone)));
    const Bytes full = acl;
    EXPECT_FALSE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, 1, Sid(admins)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));
    EXPECT_EQ(acl, full);

    Bytes roomy = NewAcl(64);
    Bytes badSid = admins;
    badSid[0] = 0;
    EXPECT_FALSE(AddAccessDeniedAce(Acl(roomy), ACL_REVISION, 1, Sid(badSid)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_FALSE(AddAccessDeniedAce(Acl(roomy), 7, 1, Sid(admins)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REVISION_MISMATCH));
    Bytes damaged = roomy;
    damaged[0] = 9;
    EXPECT_FALSE(AddAccessAllowedAce(Acl(damaged), ACL_REVISION, 1, Sid(admins)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));

    // A DS revision raises the list; a lower one never lowers it.
    ASSERT_TRUE(AddAccessAllowedAce(Acl(roomy), ACL_REVISION_DS, 1, Sid(admins)));
    EXPECT_EQ(Acl(roomy)->AclRevision, ACL_REVISION_DS);
    ASSERT_TRUE(AddAccessAllowedAce(Acl(roomy), ACL_REVISION, 1, Sid(everyone)));
    EXPECT_EQ(Acl(roomy)->AclRevision, ACL_REVISION_DS);
}

TEST(Acl, AddAceInsertsAtTheRequestedPlace) {
    Bytes acl = NewAcl(256);
    Bytes everyone = Everyone();
    for (DWORD mask : {1u, 2u, 3u}) ASSERT_TRUE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, mask, Sid(everyone)));

    void* third = nullptr;
    ASSERT_TRUE(GetAce(Acl(acl), 2, &third));
    Bytes copy(static_cast<BYTE*>(third), static_cast<BYTE*>(third) + 20);
    reinterpret_cast<ACCESS_ALLOWED_ACE*>(copy.data())->Mask = 9;
    ASSERT_TRUE(AddAce(Acl(acl), ACL_REVISION, 1, copy.data(), 20));
    ASSERT_TRUE(AddAce(Acl(acl), ACL_REVISION, 0, copy.data(), 20));
    ASSERT_TRUE(AddAce(Acl(acl), ACL_REVISION, MAXDWORD, copy.data(), 20));
    ASSERT_TRUE(AddAce(Acl(acl), ACL_REVISION, 1000, copy.data(), 20)) << "an index past the end appends";
    std::vector<DWORD> masks;
    for (DWORD i = 0; i < AceCount(acl); ++i) masks.push_back(MaskAt(acl, i));
    EXPECT_EQ(masks, (std::vector<DWORD>{9, 1, 9, 2, 3, 9, 9}));
    EXPECT_TRUE(IsValidAcl(Acl(acl)));
}

TEST(Acl, AddAceRevisionRulesForObjectAces) {
    Bytes object = ObjectAce();
    Bytes acl = NewAcl(128);
    EXPECT_FALSE(AddAce(Acl(acl), ACL_REVISION, MAXDWORD, object.data(), static_cast<DWORD>(object.size())));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(AddAce(Acl(acl), ACL_REVISION_DS, MAXDWORD, object.data(), static_cast<DWORD>(object.size())));
    EXPECT_EQ(Acl(acl)->AclRevision, ACL_REVISION_DS);
    EXPECT_TRUE(IsValidAcl(Acl(acl)));

    // The same bytes in a revision-2 list are not a valid ACL.
    Bytes downgraded = acl;
    downgraded[0] = ACL_REVISION;
    EXPECT_FALSE(IsValidAcl(Acl(downgraded)));
}

TEST(Acl, AddAceRefusesListsThatDoNotFitOrTile) {
    Bytes acl = NewAcl(28);
    Bytes everyone = Everyone();
    ASSERT_TRUE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, 1, Sid(everyone)));
    Bytes ace(acl.begin() + 8, acl.end());
    EXPECT_FALSE(AddAce(Acl(acl), ACL_REVISION, MAXDWORD, ace.data(), 20));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    Bytes roomy = NewAcl(128);
    EXPECT_FALSE(AddAce(Acl(roomy), ACL_REVISION, MAXDWORD, ace.data(), 19)) << "list shorter than its ACE";
    Bytes padded = ace;
    padded.resize(24, 0);
    EXPECT_FALSE(AddAce(Acl(roomy), ACL_REVISION, MAXDWORD, padded.data(), 24)) << "trailing bytes";
    Bytes badSid = ace;
    badSid[8] = 7;
    EXPECT_FALSE(AddAce(Acl(roomy), ACL_REVISION, MAXDWORD, badSid.data(), 20));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AceCount(roomy), 0u);
}

TEST(Acl, DeleteAndGetByIndex) {
    Bytes acl = NewAcl(128);
    Bytes everyone = Everyone();
    Bytes admins = Administrators();
    ASSERT_TRUE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, 1, Sid(everyone)));
    ASSERT_TRUE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, 2, Sid(admins)));
    ASSERT_TRUE(AddAccessAllowedAce(Acl(acl), ACL_REVISION, 3, Sid(everyone)));

    void* ace = nullptr;
    EXPECT_FALSE(GetAce(Acl(acl), 3, &ace));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DeleteAce(Acl(acl), 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(DeleteAce(Acl(acl), 1));
    ASSERT_EQ(AceCount(acl), 2u);
    EXPECT_EQ(MaskAt(acl, 0), 1u);
    EXPECT_EQ(MaskAt(acl, 1), 3u);
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(Acl(acl), &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AclBytesInUse, 8u + 20u + 20u);
    EXPECT_EQ(info.AclBytesFree, 128u - 48u);
    EXPECT_TRUE(IsValidAcl(Acl(acl)));
}

TEST(Acl, InformationClassesAndBufferSizes) {
    Bytes acl = NewAcl(64, ACL_REVISION_DS);
    ACL_REVISION_INFORMATION revision{};
    ASSERT_TRUE(GetAclInformation(Acl(acl), &revision, sizeof revision, AclRevisionInformation));
    EXPECT_EQ(revision.AclRevision, 4u);
    ACL_SIZE_INFORMATION size{};
    EXPECT_FALSE(GetAclInformation(Acl(acl), &size, sizeof size - 1, AclSizeInformation));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(GetAclInformation(Acl(acl), &size, sizeof size, static_cast<ACL_INFORMATION_CLASS>(3)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Each damaged list must be refused by IsValidAcl and never read past its
// own bytes by any reader (AddressSanitizer watches the exact-size copies).
TEST(Acl, DamagedListsAreRefusedWithoutOverreads) {
    Bytes base = NewAcl(56);
    Bytes admins = Administrators();
    ASSERT_TRUE(AddAccessAllowedAce(Acl(base), ACL_REVISION, 1, Sid(admins)));
    ASSERT_TRUE(AddAccessAllowedAce(Acl(base), ACL_REVISION, 2, Sid(admins)));
    ASSERT_TRUE(IsValidAcl(Acl(base)));
    struct Damage {
        const char* what;
        size_t at;
        BYTE value;
    };
    const Damage damages[] = {
        {"ACE count beyond the ACEs", 4, 5},
        {"ACE size zero", 10, 0},
        {"ACE size past the ACL", 10, 200},
        {"ACE size not a DWORD multiple", 10, 22},
        {"SID count past the ACE", 17, 9},
        {"SID revision", 16, 2},
        {"ACL size not a DWORD multiple", 2, 46},
        {"ACL revision", 0, 1},
    };
    for (const Damage& damage : damages) {
        Bytes bytes = base;
        bytes[damage.at] = damage.value;
        ExactCopy copy(bytes);
        auto* acl = reinterpret_cast<PACL>(copy.data.get());
        EXPECT_FALSE(IsValidAcl(acl)) << damage.what;
        ACL_SIZE_INFORMATION info{};
        GetAclInformation(acl, &info, sizeof info, AclSizeInformation);
        void* ace = nullptr;
        for (DWORD i = 0; i < 6; ++i) GetAce(acl, i, &ace);
    }
}
