// The job's configuration checks and the run sequence, seen from a host.
#include "acl/ace.h"
#include "acl/domain.h"
#include "acl/trustee.h"
#include "engine_fixture.h"

namespace tavrik::test {
namespace {

using JobTest = EngineTest;

TEST_F(JobTest, SetActionAcceptsExactlyTheDocumentedBits) {
    auto job = NewJob();
    for (DWORD bad : {0x0u, 0x3u, 0x100u, 0x200u, 0x400u, 0x4000u, 0x80000000u}) {
        EXPECT_EQ(job->SetAction(bad), RTN_ERR_PARAMETER) << bad;
        EXPECT_EQ(job->m_actions, 0u) << bad;
    }
    DWORD expected = 0;
    for (DWORD good : {0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x20u, 0x40u, 0x80u, 0x800u, 0x1000u, 0x2000u}) {
        EXPECT_EQ(job->SetAction(good), RTN_OK) << good;
        expected |= good;
        EXPECT_EQ(job->m_actions, expected);
    }
}

TEST_F(JobTest, AddACEReportsOnlyTheFirstFailingCheck) {
    auto job = NewJob();
    EXPECT_EQ(job->AddACE(L"", FALSE, L"read", 99, TRUE, 9, 7), RTN_ERR_PARAMETER);
    EXPECT_EQ(messages, std::vector<std::wstring>{L"ERROR: AddACE: No trustee specified."});

    messages.clear();
    EXPECT_EQ(job->AddACE(L"alice", FALSE, L"read", 16, TRUE, 9, 7), RTN_ERR_PARAMETER);
    EXPECT_EQ(messages, std::vector<std::wstring>{L"ERROR: AddACE: Invalid inheritance specified."});

    messages.clear();
    EXPECT_EQ(job->AddACE(L"alice", FALSE, L"read", 16, FALSE, SET_AUDIT_SUCCESS, ACL_DACL), RTN_ERR_PARAMETER);
    EXPECT_EQ(messages, std::vector<std::wstring>{L"ERROR: AddACE: Invalid access mode for this ACL type specified."});
    EXPECT_TRUE(job->m_aces.empty());
    EXPECT_EQ(job->m_daclAceCount, 0u);
}

TEST_F(JobTest, AddACEAcceptsEachModeOnlyForItsList) {
    auto job = NewJob();
    for (DWORD mode = 0; mode <= 12; ++mode) {
        const bool daclOk = mode >= 1 && mode <= 4;
        const bool saclOk = mode == 4 || mode == 5 || mode == 6 || mode == 11;
        EXPECT_EQ(job->AddACE(L"alice", FALSE, L"read", 0, FALSE, mode, ACL_DACL), daclOk ? RTN_OK : RTN_ERR_PARAMETER)
            << mode;
        EXPECT_EQ(job->AddACE(L"alice", FALSE, L"read", 0, FALSE, mode, ACL_SACL), saclOk ? RTN_OK : RTN_ERR_PARAMETER)
            << mode;
        EXPECT_EQ(job->AddACE(L"alice", FALSE, L"read", 0, FALSE, mode, 3), RTN_ERR_PARAMETER) << mode;
    }
    EXPECT_EQ(job->m_daclAceCount, 4u);
    EXPECT_EQ(job->m_saclAceCount, 4u);
    EXPECT_EQ(job->m_aces.size(), 8u);
}

TEST_F(JobTest, AddACEStoresTheEntryUnresolved) {
    auto job = NewJob();
    ASSERT_EQ(job->AddACE(L"S-1-5-32-545", TRUE, L"read,write", 16, FALSE, AUDIT_SUCCESS_AND_FAILURE, ACL_SACL),
              RTN_OK);
    ASSERT_EQ(job->m_aces.size(), 1u);
    const CACE& entry = *job->m_aces.front();
    EXPECT_EQ(entry.m_trustee->m_name, L"S-1-5-32-545");
    EXPECT_TRUE(entry.m_trustee->m_isSid);
    EXPECT_EQ(entry.m_trustee->m_sid, nullptr);
    EXPECT_EQ(entry.m_trustee->m_flags, 1u);
    EXPECT_EQ(entry.m_permissions, L"read,write");
    EXPECT_EQ(entry.m_accessMode, AUDIT_SUCCESS_AND_FAILURE);
    EXPECT_EQ(entry.m_accessMask, 0u);
    EXPECT_EQ(job->m_saclAceCount, 1u);
}

TEST_F(JobTest, TrusteeAndDomainEntriesAlwaysCarryTheirPartners) {
    auto job = NewJob();
    EXPECT_EQ(job->AddTrustee(L"", FALSE, L"bob", FALSE, TRUSTEE_REPLACE), RTN_ERR_PARAMETER);
    EXPECT_EQ(job->AddTrustee(L"alice", FALSE, L"bob", FALSE, 0x800), RTN_ERR_PARAMETER);
    EXPECT_EQ(job->AddTrustee(L"alice", FALSE, L"", FALSE, TRUSTEE_REMOVE), RTN_OK);
    ASSERT_EQ(job->m_trustees.size(), 1u);
    ASSERT_NE(job->m_trustees.front()->m_newTrustee, nullptr);
    EXPECT_TRUE(job->m_trustees.front()->m_active);

    EXPECT_EQ(job->AddDomain(L"", L"NEWDOM", TRUSTEE_REPLACE), RTN_ERR_PARAMETER);
    EXPECT_EQ(job->AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_COPY), RTN_OK);
    ASSERT_EQ(job->m_domains.size(), 1u);
    ASSERT_NE(job->m_domains.front()->m_newDomain, nullptr);
    EXPECT_EQ(job->m_domains.front()->m_newDomain->m_name, L"NEWDOM");
}

TEST_F(JobTest, SetObjectRefusesEmptyNamesAndUnknownTypesAndClearsTheObject) {
    auto job = NewJob();
    ASSERT_EQ(job->SetObject(L"C:\\data", SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(job->SetObject(L"C:\\data", 6), RTN_ERR_PARAMETER);
    EXPECT_EQ(job->m_objectName, L"");
    EXPECT_EQ(job->m_objectType, 0u);
    ASSERT_EQ(job->SetObject(L"Spooler", SE_SERVICE), RTN_OK);
    EXPECT_EQ(job->SetObject(L"", SE_SERVICE), RTN_ERR_PARAMETER);
    EXPECT_EQ(job->m_objectType, 0u);
    EXPECT_EQ(job->SetObject(L"x", 0), RTN_ERR_PARAMETER);
}

TEST_F(JobTest, NamesWithAnEmbeddedNulNeverReachAnotherObject) {
    MakeFile("data/a.txt");
    const std::wstring hidden(L"C:\\data\0\\a.txt", 14);
    auto job = NewJob();
    EXPECT_EQ(job->SetObject(hidden, SE_FILE_OBJECT), RTN_ERR_PARAMETER);

    std::wstring key(L"hklm\\software\0x", 15);
    HKEY opened = nullptr;
    EXPECT_EQ(job->OpenRegistryPath(key, opened), RTN_ERR_REG_PATH);
    EXPECT_EQ(opened, nullptr);

    CTrustee trustee(std::wstring(L"alice\0x", 7), FALSE, 0, 0, 0);
    EXPECT_EQ(trustee.Resolve(), RTN_ERR_RESOLVE_TRUSTEE);
    EXPECT_EQ(job->SetLogFile(std::wstring(L"log\0x", 5)), RTN_ERR_WRITE_OUTPUT);
}

TEST_F(JobTest, RunWithoutObjectFailsBeforeAnyCheckAndSummarises) {
    auto job = NewJob();
    EXPECT_EQ(job->Run(), RTN_ERR_NO_OBJECT);
    ASSERT_EQ(messages.size(), 1u);
    const std::wstring expected =
        L"\nTavrik finished with error(s): \nTavrik error message: " + CTavrik::GetReturnCodeText(RTN_ERR_NO_OBJECT);
    EXPECT_EQ(messages[0], expected);
}

TEST_F(JobTest, EveryProducedReturnCodeHasAnExplainingText) {
    for (DWORD code : {2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 16u, 17u, 18u, 19u, 20u, 21u, 22u, 23u, 25u,
                       26u, 27u, 28u, 29u, 30u, 31u, 33u, 34u, 35u, 36u, 37u, 38u, 39u, 40u, 41u, 42u, 45u, 46u}) {
        EXPECT_GT(CTavrik::GetReturnCodeText(code).size(), 20u) << code;
    }
    for (DWORD unused : {0u, 1u, 13u, 24u, 32u, 43u, 44u, 47u}) {
        EXPECT_EQ(CTavrik::GetReturnCodeText(unused), L"") << unused;
    }
}

TEST_F(JobTest, AFailureWithAnOsErrorAddsTheSystemText) {
    auto job = NewJob();
    job->SetObject(L"C:\\missing-directory", SE_FILE_OBJECT);
    job->SetAction(ACTION_ADD_ACE);
    job->SetRecursion(RECURSE_CONTAINERS);
    EXPECT_EQ(job->Run(), RTN_ERR_FIND_FILE);
    ASSERT_FALSE(messages.empty());
    const std::wstring& summary = messages.back();
    EXPECT_EQ(summary.rfind(L"\nTavrik finished with error(s): \nTavrik error message: " +
                                CTavrik::GetReturnCodeText(RTN_ERR_FIND_FILE) + L"\nOperating system error message: ",
                            0),
              0u)
        << std::string(summary.begin(), summary.end());
}

TEST_F(JobTest, NoActionMeansPreparationAndSuccess) {
    const std::wstring dir = MakeDirectory("data");
    auto job = NewJob();
    job->SetObject(dir, SE_FILE_OBJECT);
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(messages.back(), L"\nTavrik finished successfully.");
    EXPECT_EQ(job->m_objectName, L"\\\\?\\C:\\data");
    EXPECT_FALSE(HasMessageStartingWith(L"Processing ACL of"));
}

TEST_F(JobTest, ResetChildrenWithoutAListWarnsAndChangesNothing) {
    const std::wstring dir = MakeDirectory("data");
    MakeFile("data/a.txt");
    const std::wstring before = DaclSddl(dir + L"\\a.txt", SE_FILE_OBJECT);
    auto job = NewJob();
    job->SetObject(dir, SE_FILE_OBJECT);
    job->SetAction(ACTION_RESET_CHILDREN);
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"Warning: action reset children was used without specifying whether to reset the DACL, "
                           L"SACL, or both. Nothing was reset."));
    EXPECT_FALSE(HasMessageStartingWith(L"Processing ACL of"));
    EXPECT_EQ(DaclSddl(dir + L"\\a.txt", SE_FILE_OBJECT), before);
}

TEST_F(JobTest, FieldsBorrowedByTheResetPassComeBackEvenWhenItFails) {
    auto job = NewJob();
    job->SetObject(L"C:\\does-not-exist", SE_FILE_OBJECT);
    job->SetAction(ACTION_RESET_CHILDREN);
    job->SetAction(ACTION_LIST);
    job->SetResetDacl(TRUE);
    job->SetDaclProtection(PROT_PROTECT_KEEP);
    job->SetSaclProtection(7);
    ASSERT_EQ(job->AddACE(L"alice", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL), RTN_OK);
    EXPECT_EQ(job->Run(), RTN_ERR_FIND_FILE);
    EXPECT_EQ(job->m_actions, ACTION_RESET_CHILDREN | ACTION_LIST);
    EXPECT_EQ(job->m_recursion, RECURSE_NONE);
    EXPECT_EQ(job->m_daclProtection, PROT_PROTECT_KEEP);
    EXPECT_EQ(job->m_saclProtection, 7u);
    EXPECT_EQ(job->m_daclAceCount, 1u);
    EXPECT_EQ(job->m_saclAceCount, 0u);
    EXPECT_FALSE(job->m_resettingChildren);
}

TEST_F(JobTest, FiltersMatchAnywhereWithoutRegardToCase) {
    auto job = NewJob();
    EXPECT_FALSE(job->IsFiltered(L"\\\\?\\C:\\Data\\Temp\\x"));
    job->AddObjectFilter(L"nothing");
    job->AddObjectFilter(L"TEMP");
    EXPECT_TRUE(job->IsFiltered(L"\\\\?\\C:\\Data\\temp\\x"));
    EXPECT_FALSE(job->IsFiltered(L"\\\\?\\C:\\Data\\tmp\\x"));
    job->AddObjectFilter(L"");
    EXPECT_TRUE(job->IsFiltered(L"anything"));
}

TEST_F(JobTest, AnEmptyFilterOmitsEveryObjectOfAWalk) {
    const std::wstring dir = MakeDirectory("data");
    MakeFile("data/a.txt");
    const std::wstring before = DaclSddl(dir + L"\\a.txt", SE_FILE_OBJECT);
    auto job = NewJob();
    job->SetObject(dir, SE_FILE_OBJECT);
    job->SetAction(ACTION_ADD_ACE);
    job->SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
    job->AddACE(L"alice", FALSE, L"full", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    job->AddObjectFilter(L"");
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"Omitting ACL of: <").size(), 2u);
    EXPECT_TRUE(HasMessage(L"Omitting ACL of: <\\\\?\\C:\\data\\a.txt> because a filter keyword matched."));
    EXPECT_EQ(DaclSddl(dir + L"\\a.txt", SE_FILE_OBJECT), before);
}

}  // namespace
}  // namespace tavrik::test
