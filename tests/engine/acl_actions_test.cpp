// Trustee and domain actions, and deletion by flags, on ACLs held by a CSD.
#include <cstring>

#include "engine/local_memory.h"
#include "network_fixture.h"
#include "objects/csd.h"

namespace tavrik::test {
namespace {

class AclActionsTest : public NetworkTest {
protected:
    // Puts the DACL of `sddl` into `sd` as a block the CSD owns.
    static void LoadDacl(CSD& sd, const std::wstring& sddl) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
            << std::string(sddl.begin(), sddl.end());
        LocalPtr<> descriptor(raw);
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
        ASSERT_NE(dacl, nullptr);
        auto* copy = static_cast<PACL>(LocalAlloc(LMEM_ZEROINIT, dacl->AclSize));
        std::memcpy(copy, dacl, dacl->AclSize);
        sd.m_dacl = copy;
        sd.m_ownsDacl = TRUE;
    }

    static std::wstring DaclText(const CSD& sd) {
        SECURITY_DESCRIPTOR descriptor = {};
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, sd.m_dacl, FALSE);
        LPWSTR text = nullptr;
        if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1,
                                                                  DACL_SECURITY_INFORMATION, &text, nullptr)) {
            return L"<unconvertible>";
        }
        LocalPtr<WCHAR> owned(text);
        return text;
    }

    // Prepares the job's trustees and domains as a run would.
    void Prepare(CTavrik& job) {
        job.SetObject(L"Spooler", SE_SERVICE);
        ASSERT_EQ(job.PrepareRun(), RTN_OK);
    }

    static std::wstring Ace(const std::wstring& type, const std::wstring& flags, const std::wstring& rights,
                            const std::wstring& sid) {
        return L"(" + type + L";" + flags + L";" + rights + L";;;" + sid + L")";
    }
};

TEST_F(AclActionsTest, RemovingDeletesEveryExplicitAceOfTheTrusteeAndSkipsNone) {
    auto job = NewJob();
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"", FALSE, TRUSTEE_REMOVE);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:" + Ace(L"D", L"", L"FA", oldJdoe) + Ace(L"A", L"", L"FR", oldJdoe) +
                     Ace(L"A", L"OICI", L"FA", oldJdoe) + Ace(L"A", L"", L"FR", L"BA") +
                     Ace(L"A", L"ID", L"FA", oldJdoe));
    ASSERT_EQ(sd.ApplyTrusteeActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:(A;;FR;;;BA)" + Ace(L"A", L"ID", L"FA", oldJdoe));
}

TEST_F(AclActionsTest, ReplacingKeepsPositionTypeFlagsAndMask) {
    auto job = NewJob();
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"NEWDOM\\jdoe", FALSE, TRUSTEE_REPLACE);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:" + Ace(L"D", L"OICI", L"FW", oldJdoe) + Ace(L"A", L"", L"FR", L"BA") +
                     Ace(L"A", L"CIIO", L"0x1200a9", oldJdoe) + Ace(L"A", L"ID", L"FA", oldJdoe));
    ASSERT_EQ(sd.ApplyTrusteeActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:" + Ace(L"D", L"OICI", L"FW", newJdoe) + Ace(L"A", L"", L"FR", L"BA") +
                                Ace(L"A", L"CIIO", L"0x1200a9", newJdoe) + Ace(L"A", L"ID", L"FA", oldJdoe));
}

TEST_F(AclActionsTest, CopiesFollowTheirSourceAndAreExaminedInTurn) {
    auto job = NewJob();
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"NEWDOM\\jdoe", FALSE, TRUSTEE_COPY);
    job->AddTrustee(L"NEWDOM\\jdoe", FALSE, L"NEWDOM\\Staff", FALSE, TRUSTEE_COPY);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:" + Ace(L"A", L"OI", L"FR", oldJdoe) + Ace(L"A", L"", L"FA", L"SY"));
    ASSERT_EQ(sd.ApplyTrusteeActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:" + Ace(L"A", L"OI", L"FR", oldJdoe) + Ace(L"A", L"OI", L"FR", newJdoe) +
                                Ace(L"A", L"OI", L"FR", newStaff) + Ace(L"A", L"", L"FA", L"SY"));
}

TEST_F(AclActionsTest, TheFirstMatchingEntryDecidesEvenWithoutAnAction) {
    auto job = NewJob();
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"", FALSE, 0);
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"", FALSE, TRUSTEE_REMOVE);
    Prepare(*job);
    CSD sd(job.get());
    const std::wstring dacl = L"D:" + Ace(L"A", L"", L"FR", oldJdoe);
    LoadDacl(sd, dacl);
    ASSERT_EQ(sd.ApplyTrusteeActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), dacl);
}

TEST_F(AclActionsTest, AReplacementWithoutSidLeavesTheAceAlone) {
    auto job = NewJob();
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"", FALSE, TRUSTEE_REPLACE);
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"", FALSE, TRUSTEE_REMOVE);
    Prepare(*job);
    CSD sd(job.get());
    const std::wstring dacl = L"D:" + Ace(L"A", L"", L"FR", oldJdoe);
    LoadDacl(sd, dacl);
    ASSERT_EQ(sd.ApplyTrusteeActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), dacl);
}

TEST_F(AclActionsTest, ObjectAcesAreMatchedAndRewrittenAtTheirRealSid) {
    auto job = NewJob();
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"NEWDOM\\jdoe", FALSE, TRUSTEE_REPLACE);
    Prepare(*job);
    CSD sd(job.get());
    const std::wstring guid = L"bf967aba-0de6-11d0-a285-00aa003049e2";
    LoadDacl(sd, L"D:(OA;CI;CR;" + guid + L";;" + oldJdoe + L")(OA;;RP;;" + guid + L";" + oldJdoe + L")");
    ASSERT_EQ(sd.ApplyTrusteeActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd),
              L"D:(OA;CI;CR;" + guid + L";;" + newJdoe + L")(OA;;RP;;" + guid + L";" + newJdoe + L")");
}

TEST_F(AclActionsTest, ActionsOnlyAcceptTheTwoListTypes) {
    auto job = NewJob();
    CSD sd(job.get());
    EXPECT_EQ(sd.ApplyTrusteeActions(3), RTN_ERR_PARAMETER);
    EXPECT_EQ(sd.ApplyDomainActions(0), RTN_ERR_PARAMETER);
    EXPECT_EQ(sd.DeleteAcesByFlags(3, INHERITED_ACE, TRUE), RTN_ERR_PARAMETER);
    EXPECT_EQ(sd.ApplyTrusteeActions(ACL_SACL), RTN_OK);  // no list: nothing to do
    EXPECT_EQ(sd.ReplaceAceSid(nullptr, 0, nullptr), nullptr);
}

TEST_F(AclActionsTest, DeletionByFlagsKeepsOneSideAndSkipsNothing) {
    auto job = NewJob();
    CSD sd(job.get());
    LoadDacl(sd, L"D:(A;;FA;;;SY)(A;ID;FR;;;BA)(A;ID;FR;;;BU)(A;;FR;;;WD)(A;OICIID;FA;;;SY)");
    ASSERT_EQ(sd.DeleteAcesByFlags(ACL_DACL, INHERITED_ACE, FALSE), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:(A;ID;FR;;;BA)(A;ID;FR;;;BU)(A;OICIID;FA;;;SY)");
    ASSERT_EQ(sd.DeleteAcesByFlags(ACL_DACL, INHERITED_ACE, TRUE), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:");
}

TEST_F(AclActionsTest, DomainMigrationMovesEveryExplicitAccountAce) {
    auto job = NewJob();
    job->AddDomain(L"olddom", L"NEWDOM", TRUSTEE_REPLACE);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:" + Ace(L"A", L"", L"FA", oldJdoe) + Ace(L"D", L"CI", L"FW", oldStaff) +
                     Ace(L"A", L"", L"FR", L"BA") + Ace(L"A", L"ID", L"FR", oldStaff));
    ASSERT_EQ(sd.ApplyDomainActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:" + Ace(L"A", L"", L"FA", newJdoe) + Ace(L"D", L"CI", L"FW", newStaff) +
                                Ace(L"A", L"", L"FR", L"BA") + Ace(L"A", L"ID", L"FR", oldStaff));
}

TEST_F(AclActionsTest, DomainMigrationFindsTheTargetDomainsBuiltInAccounts) {
    const std::wstring oldAdmin = SidOf(L"", L"OLDDOM\\Administrator");
    const std::wstring newAdmin = SidOf(L"", L"NEWDOM\\Administrator");
    const std::wstring newGuest = SidOf(L"", L"NEWDOM\\Guest");
    ASSERT_EQ(newAdmin.substr(newAdmin.size() - 4), L"-500");
    auto job = NewJob();
    job->AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_REPLACE);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:" + Ace(L"A", L"", L"FA", oldAdmin) + Ace(L"A", L"", L"FR", SidOf(L"", L"OLDDOM\\Guest")));
    ASSERT_EQ(sd.ApplyDomainActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:" + Ace(L"A", L"", L"FA", newAdmin) + Ace(L"A", L"", L"FR", newGuest));
    EXPECT_TRUE(MessagesStartingWith(L"   Account <Administrator> was not found").empty());
}

TEST_F(AclActionsTest, DomainCopiesAndRemovals) {
    auto job = NewJob();
    job->AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_COPY);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:" + Ace(L"A", L"", L"FR", oldStaff) + Ace(L"A", L"", L"FR", L"BA"));
    ASSERT_EQ(sd.ApplyDomainActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), L"D:" + Ace(L"A", L"", L"FR", oldStaff) + Ace(L"A", L"", L"FR", newStaff) +
                                Ace(L"A", L"", L"FR", L"BA"));

    auto remover = NewJob();
    remover->AddDomain(L"OLDDOM", L"", TRUSTEE_REMOVE);
    Prepare(*remover);
    CSD removed(remover.get());
    LoadDacl(removed, L"D:" + Ace(L"A", L"", L"FR", oldStaff) + Ace(L"A", L"", L"FR", oldJdoe) +
                          Ace(L"A", L"", L"FR", newJdoe));
    ASSERT_EQ(removed.ApplyDomainActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(removed), L"D:" + Ace(L"A", L"", L"FR", newJdoe));
}

TEST_F(AclActionsTest, AccountsWithoutCounterpartAreReportedAndKept) {
    auto job = NewJob();
    job->AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_REPLACE);
    job->AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_COPY);
    Prepare(*job);
    CSD sd(job.get());
    const std::wstring dacl = L"D:" + Ace(L"A", L"", L"FR", oldOnly);
    LoadDacl(sd, dacl);
    ASSERT_EQ(sd.ApplyDomainActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), dacl);
    EXPECT_EQ(MessagesStartingWith(L"   Account <retired> was not found in domain <NEWDOM>.").size(), 2u);
}

TEST_F(AclActionsTest, UnknownAndDeletedAccountsAreLeftAlone) {
    winapi::machine::RemoveAccount(L"OLDDOM", L"jdoe");
    auto job = NewJob();
    job->AddDomain(L"OLDDOM", L"", TRUSTEE_REMOVE);
    Prepare(*job);
    CSD sd(job.get());
    const std::wstring dacl =
        L"D:" + Ace(L"A", L"", L"FR", oldJdoe) + Ace(L"A", L"", L"FR", L"S-1-5-21-99-98-97-1234");
    LoadDacl(sd, dacl);
    ASSERT_EQ(sd.ApplyDomainActions(ACL_DACL), RTN_OK);
    EXPECT_EQ(DaclText(sd), dacl);
}

TEST_F(AclActionsTest, ADomainEntryWithoutTargetIsAConfigurationError) {
    auto job = NewJob();
    job->AddDomain(L"OLDDOM", L"", TRUSTEE_REPLACE);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:(A;;FR;;;BA)" + Ace(L"A", L"", L"FR", oldJdoe));
    EXPECT_EQ(sd.ApplyDomainActions(ACL_DACL), RTN_ERR_PARAMETER);
}

TEST_F(AclActionsTest, AnAceWithADamagedSidEndsTheDomainAction) {
    auto job = NewJob();
    job->AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_REPLACE);
    Prepare(*job);
    CSD sd(job.get());
    LoadDacl(sd, L"D:(A;ID;FR;;;BA)");
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(sd.m_dacl, 0, &ace));
    static_cast<BYTE*>(ace)[8] = 7;  // SID revision
    EXPECT_EQ(sd.ApplyDomainActions(ACL_DACL), RTN_ERR_READ_ACL);
    // Trustee actions only compare SIDs: a damaged one matches no trustee.
    EXPECT_EQ(sd.ApplyTrusteeActions(ACL_DACL), RTN_OK);
}

}  // namespace
}  // namespace tavrik::test
