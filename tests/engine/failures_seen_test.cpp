// Jobs that pass over or fail on objects say so: the count the host reads,
// the summary, and the messages that name each object.
#include <filesystem>

#include "acl/trustee.h"
#include "network_fixture.h"

namespace tavrik::test {
namespace {

namespace admin = winapi::machine;

class FailuresSeenTest : public NetworkTest {
protected:
    std::wstring Summary() const { return messages.empty() ? std::wstring() : messages.back(); }
};

TEST_F(FailuresSeenTest, PassedOverObjectsAreCountedAndTheSummarySaysHowMany) {
    MakeFile("tree/a.txt");
    MakeFile("tree/b.txt");
    struct Case {
        const char* what;
        std::function<void(CTavrik&)> setUp;
        DWORD expected;
    } cases[] = {
        {"a write that fails under ignore-errors",
         [](CTavrik& job) {
             admin::InjectFault("SetNamedSecurityInfoW", ERROR_WRITE_FAULT, -1, L"\\\\?\\C:\\tree\\a.txt");
             job.SetIgnoreErrors(TRUE);
             job.AddACE(L"BUILTIN\\Users", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
             job.SetAction(ACTION_ADD_ACE);
         },
         1},
        {"a read that is denied",
         [](CTavrik& job) {
             admin::InjectFault("CreateFileW", ERROR_ACCESS_DENIED, -1, L"\\\\?\\C:\\tree\\b.txt");
             admin::InjectFault("GetNamedSecurityInfoW", ERROR_ACCESS_DENIED, -1, L"\\\\?\\C:\\tree\\b.txt");
             job.AddACE(L"BUILTIN\\Users", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
             job.SetAction(ACTION_ADD_ACE);
         },
         1},
        {"an account missing in the new domain",
         [this](CTavrik& job) {
             ASSERT_EQ(SetSddl(L"C:\\tree\\b.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;" + oldOnly + L")"), ERROR_SUCCESS);
             job.AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_REPLACE);
             job.SetDomainDacl(TRUE);
             job.SetAction(ACTION_DOMAIN);
         },
         1},
    };
    for (const Case& c : cases) {
        admin::ClearFaults();
        messages.clear();
        auto job = NewJob();
        job->SetObject(L"C:\\tree", SE_FILE_OBJECT);
        job->SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
        c.setUp(*job);
        EXPECT_EQ(job->Run(), RTN_OK) << c.what;
        const DWORD count = c.expected;
        EXPECT_EQ(job->GetObjectsNotProcessed(), count) << c.what;
        EXPECT_EQ(Summary(), L"\nTavrik completed with errors: " + std::to_wstring(count) +
                                 (count == 1 ? L" object was" : L" objects were") +
                                 L" not processed (see the error messages above).")
            << c.what;
        EXPECT_FALSE(HasMessage(L"\nTavrik finished successfully.")) << c.what;
    }
    // A job that handles everything still ends as before, and a second run
    // starts counting afresh.
    admin::ClearFaults();
    messages.clear();
    auto job = NewJob();
    job->SetObject(L"C:\\tree", SE_FILE_OBJECT);
    job->SetIgnoreErrors(TRUE);
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(job->GetObjectsNotProcessed(), 0u);
    EXPECT_EQ(Summary(), L"\nTavrik finished successfully.");
}

TEST_F(FailuresSeenTest, RegistryFailuresBelowTheStartKeyAreReportedAndEndTheJobLikeFileFailures) {
    for (const wchar_t* key :
         {L"MACHINE\\SOFTWARE\\V2", L"MACHINE\\SOFTWARE\\V2\\App", L"MACHINE\\SOFTWARE\\V2\\App\\Sub"}) {
        admin::AddKey(L"TESTPC", key, L"O:BAG:SYD:(A;CI;KA;;;BA)(A;CI;KR;;;BG)");
    }
    auto removeGuests = [this](BOOL ignoreErrors) {
        messages.clear();
        auto job = NewJob();
        job->SetObject(L"HKLM\\SOFTWARE\\V2", SE_REGISTRY_KEY);
        job->SetRecursion(RECURSE_CONTAINERS);
        job->SetIgnoreErrors(ignoreErrors);
        job->AddTrustee(L"BUILTIN\\Guests", FALSE, L"", FALSE, TRUSTEE_REMOVE);
        job->SetTrusteeDacl(TRUE);
        job->SetAction(ACTION_TRUSTEE);
        const DWORD code = job->Run();
        return std::pair{code, job->GetObjectsNotProcessed()};
    };
    admin::InjectFault("SetNamedSecurityInfoW", ERROR_WRITE_FAULT, -1, L"machine\\SOFTWARE\\V2\\App");
    EXPECT_EQ(removeGuests(FALSE), (std::pair{RTN_ERR_WRITE_SD, DWORD(0)}));
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR processing <machine\\SOFTWARE\\V2\\App>: "));
    EXPECT_NE(DaclSddl(L"MACHINE\\SOFTWARE\\V2\\App\\Sub", SE_REGISTRY_KEY).find(L"(A;CI;KR;;;BG)"), std::wstring::npos)
        << "the walk stopped at App, as a file walk stops";

    EXPECT_EQ(removeGuests(TRUE), (std::pair{RTN_OK, DWORD(1)}));
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR writing SD to <machine\\SOFTWARE\\V2\\App>: "));

    // A key below the start key that cannot be opened is named too; the
    // job goes on only when errors are to be ignored.
    admin::ClearFaults();
    admin::InjectFault("RegOpenKeyExW", ERROR_INVALID_HANDLE, -1, L"SOFTWARE\\V2\\App");
    EXPECT_EQ(removeGuests(FALSE).first, RTN_ERR_REG_OPEN);
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR opening registry key <machine\\SOFTWARE\\V2\\App>: "));
    EXPECT_EQ(removeGuests(TRUE), (std::pair{RTN_OK, DWORD(1)}));
}

TEST_F(FailuresSeenTest, KeysThatDenyReadingAreOpenedWithTheBackupPrivilege) {
    admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\Locked", L"O:SYG:SYD:P(D;CI;KA;;;BA)(A;CI;KA;;;SY)");
    admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\Locked\\Inner");
    admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\Open");
    auto list = [this] {
        messages.clear();
        auto job = NewJob();
        job->SetObject(L"HKLM\\SOFTWARE\\Vendor", SE_REGISTRY_KEY);
        job->SetRecursion(RECURSE_CONTAINERS);
        job->SetAction(ACTION_LIST);
        job->SetListFormat(LIST_SDDL);
        EXPECT_EQ(job->Run(), RTN_OK);
        return job->GetObjectsNotProcessed();
    };
    EXPECT_EQ(list(), 0u);
    EXPECT_TRUE(HasMessageStartingWith(L"\"machine\\SOFTWARE\\Vendor\\Locked\",4,\"D:P"));
    EXPECT_TRUE(HasMessageStartingWith(L"\"machine\\SOFTWARE\\Vendor\\Locked\\Inner\",4,"));

    // Without the privilege the key is reported by name and counted.
    admin::SetToken({L"alice", {L"Administrators"}, {}});
    EXPECT_EQ(list(), 1u);
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR opening registry key <machine\\SOFTWARE\\Vendor\\Locked>: "));
    EXPECT_TRUE(HasMessageStartingWith(L"\"machine\\SOFTWARE\\Vendor\\Open\",4,"));
    admin::ResetToken();
}

TEST_F(FailuresSeenTest, ARecursiveJobOnALinkSaysItWasNotDescendedInto) {
    MakeFile("real/inside.txt");
    std::filesystem::create_directory_symlink(HostPath("real"), HostPath("link"));
    auto job = NewJob();
    job->SetObject(L"C:\\link", SE_FILE_OBJECT);
    job->SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
    job->AddACE(L"BUILTIN\\Users", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    job->SetAction(ACTION_ADD_ACE);
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(job->GetObjectsNotProcessed(), 1u);
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR: <\\\\?\\C:\\link> is a link (reparse point); a recursive job does "
                                       L"not descend into it"));
    EXPECT_FALSE(HasMessageStartingWith(L"Processing ACL of: <"));
}

TEST_F(FailuresSeenTest, ListingSaclsWithoutTheSecurityPrivilegeFailsTheJob) {
    MakeFile("tree/a.txt");
    const std::string backup = machine_.Folder() + "/sacl-backup.txt";
    admin::SetToken({L"alice", {L"Administrators"}, {L"SeBackupPrivilege"}});
    auto job = NewJob();
    job->SetObject(L"C:\\tree", SE_FILE_OBJECT);
    job->SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
    job->SetAction(ACTION_LIST);
    job->SetListFormat(LIST_SDDL);
    job->SetListWhat(LIST_DACL | LIST_SACL);
    job->SetBackupFile(std::wstring(backup.begin(), backup.end()));
    EXPECT_EQ(job->Run(), RTN_ERR_PRIVILEGE);
    admin::ResetToken();
    EXPECT_FALSE(HasMessageStartingWith(L"ERROR reading SD from <"));
    EXPECT_NE(Summary().find(L"Operating system error message: "), std::wstring::npos) << Summary();
    EXPECT_FALSE(std::filesystem::exists(backup)) << "no backup that holds nothing";
}

TEST_F(FailuresSeenTest, EachSummaryShowsOnlyItsOwnError) {
    auto job = NewJob();
    EXPECT_NE(job->SetLogFile(L"/nonexistent-dir/x/log.txt"), RTN_OK);
    job->SetObject(L"C:\\tree", SE_FILE_OBJECT);
    job->AddACE(L"nobody-of-that-name", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    job->SetAction(ACTION_ADD_ACE);
    for (int run = 0; run < 2; ++run) {
        messages.clear();
        EXPECT_EQ(job->Run(), RTN_ERR_RESOLVE_TRUSTEE);
        EXPECT_EQ(Summary().find(L"Operating system error message: "), std::wstring::npos) << run << Summary();
    }
}

TEST_F(FailuresSeenTest, ACallbackThatThrowsEndsTheRunWithTheInternalErrorAndItsSummary) {
    MakeFile("tree/a.txt");
    std::vector<std::wstring> seen;
    CTavrik job([&seen](const std::wstring& line) {
        seen.push_back(line);
        if (line.rfind(L"Processing ACL of: <", 0) == 0) throw std::runtime_error("host failed");
    });
    job.SetObject(L"C:\\tree", SE_FILE_OBJECT);
    job.AddACE(L"BUILTIN\\Users", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    job.SetAction(ACTION_ADD_ACE);
    EXPECT_EQ(job.Run(), RTN_ERR_INTERNAL);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().rfind(L"\nTavrik finished with error(s): ", 0), 0u) << seen.back();
}

TEST_F(FailuresSeenTest, FiltersFoldCaseAsNamesDo) {
    auto job = NewJob();
    job->AddObjectFilter(L"ärger");
    EXPECT_TRUE(job->IsFiltered(L"C:\\Data\\Ärger\\x.txt"));
    EXPECT_TRUE(job->IsFiltered(L"C:\\DATA\\ÄRGER"));
    EXPECT_FALSE(job->IsFiltered(L"C:\\Data\\Aerger"));
}

TEST_F(FailuresSeenTest, AnEmptyPermissionTextIsRefusedUnlessTheEntryRevokes) {
    MakeFile("tree/a.txt");
    const std::wstring before = DaclSddl(L"C:\\tree\\a.txt", SE_FILE_OBJECT);
    for (DWORD mode : {DWORD(GRANT_ACCESS), DWORD(DENY_ACCESS), DWORD(SET_ACCESS)}) {
        auto job = NewJob();
        job->SetObject(L"C:\\tree\\a.txt", SE_FILE_OBJECT);
        job->AddACE(L"BUILTIN\\Users", FALSE, L" ", 0, FALSE, mode, ACL_DACL);
        job->SetAction(ACTION_ADD_ACE);
        EXPECT_EQ(job->Run(), RTN_ERR_KEYWORD_FILE) << mode;
    }
    EXPECT_EQ(DaclSddl(L"C:\\tree\\a.txt", SE_FILE_OBJECT), before);
    auto job = NewJob();
    job->SetObject(L"C:\\tree\\a.txt", SE_FILE_OBJECT);
    job->AddACE(L"BUILTIN\\Users", FALSE, L"", 0, FALSE, REVOKE_ACCESS, ACL_DACL);
    job->SetAction(ACTION_ADD_ACE);
    EXPECT_EQ(job->Run(), RTN_OK);
}

TEST_F(FailuresSeenTest, CopiesOntoTheSameSidEndAtOnce) {
    MakeFile("tree/a.txt");
    ASSERT_EQ(SetSddl(L"C:\\tree\\a.txt", SE_FILE_OBJECT,
                      L"D:P(A;;FA;;;" + oldJdoe + L")(A;;FR;;;" + oldStaff + L")"),
              ERROR_SUCCESS);
    struct Case {
        const char* what;
        std::function<void(CTavrik&)> setUp;
        size_t entries;
    } cases[] = {
        {"a trustee onto itself",
         [](CTavrik& job) {
             job.AddTrustee(L"OLDDOM\\jdoe", FALSE, L"OLDDOM\\jdoe", FALSE, TRUSTEE_COPY);
             job.SetTrusteeDacl(TRUE);
             job.SetAction(ACTION_TRUSTEE);
         },
         2},
        {"A to B with B to A",
         [](CTavrik& job) {
             job.AddTrustee(L"OLDDOM\\jdoe", FALSE, L"OLDDOM\\Staff", FALSE, TRUSTEE_COPY);
             job.AddTrustee(L"OLDDOM\\Staff", FALSE, L"OLDDOM\\jdoe", FALSE, TRUSTEE_COPY);
             job.SetTrusteeDacl(TRUE);
             job.SetAction(ACTION_TRUSTEE);
         },
         4},
        {"a domain onto itself",
         [](CTavrik& job) {
             job.AddDomain(L"OLDDOM", L"OLDDOM", TRUSTEE_COPY);
             job.SetDomainDacl(TRUE);
             job.SetAction(ACTION_DOMAIN);
         },
         2},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SetSddl(L"C:\\tree\\a.txt", SE_FILE_OBJECT,
                          L"D:P(A;;FA;;;" + oldJdoe + L")(A;;FR;;;" + oldStaff + L")"),
                  ERROR_SUCCESS);
        auto job = NewJob();
        job->SetObject(L"C:\\tree\\a.txt", SE_FILE_OBJECT);
        c.setUp(*job);
        EXPECT_EQ(job->Run(), RTN_OK) << c.what;
        const std::wstring dacl = DaclSddl(L"C:\\tree\\a.txt", SE_FILE_OBJECT);
        EXPECT_EQ(static_cast<size_t>(std::count(dacl.begin(), dacl.end(), L'(')), c.entries) << c.what << dacl;
    }
}

}  // namespace
}  // namespace tavrik::test
