// The work on one object: which parts are read and written, the protection
// modes, and the pass-over rules for errors.
#include "network_fixture.h"

namespace tavrik::test {
namespace {

namespace admin = winapi::machine;

class ProcessObjectTest : public NetworkTest {
protected:
    ProcessObjectTest() {
        dir = MakeDirectory("data");
        file = MakeFile("data/file.txt");
        EXPECT_EQ(SetSddl(dir, SE_FILE_OBJECT, L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        EXPECT_EQ(SetSddl(file, SE_FILE_OBJECT, L"O:BAG:SYD:(A;;FR;;;BU)",
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        admin::AddService(L"TESTPC", L"Tavrik", L"O:SYG:SYD:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCLCRPRC;;;IU)");
    }

    DWORD RunOn(CTavrik& job, const std::wstring& name, DWORD type) {
        job.SetObject(name, type);
        return job.Run();
    }

    std::wstring dir, file;
};

TEST_F(ProcessObjectTest, AGrantMergesIntoTheExplicitPartOfTheDacl) {
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:AI(A;;FR;;;BU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"TESTPC\\alice", FALSE, L"change", 0, TRUE, GRANT_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT),
              L"D:AI(A;;0x1301bf;;;" + alice + L")(A;;FR;;;BU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
    EXPECT_EQ(messages.front(), L"Processing ACL of: <\\\\?\\" + file + L">");
    EXPECT_EQ(messages.back(), L"\nTavrik finished successfully.");
}

TEST_F(ProcessObjectTest, ADenyGoesFirstAndARevokeOfAnAbsentTrusteeStillWrites) {
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"BUILTIN\\Users", FALSE, L"write", 0, TRUE, DENY_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:AI(D;;DCLCRPCR;;;BU)(A;;FR;;;BU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");

    admin::InjectFault("SetNamedSecurityInfoW", ERROR_ACCESS_DENIED);
    auto revoke = NewJob();
    revoke->SetAction(ACTION_ADD_ACE);
    revoke->AddACE(L"OLDDOM\\jdoe", FALSE, L"read", 0, FALSE, REVOKE_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*revoke, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR writing SD to <\\\\?\\" + file + L">: "));
    EXPECT_EQ(revoke->m_lastOsError, 0u);
}

// Hosts keep Windows' rule unless they ask for the guard.
TEST_F(ProcessObjectTest, AChangeLeavingNobodyInChargeIsMadeUnlessTheHostAsksForTheGuard) {
    ASSERT_EQ(SetSddl(file, SE_FILE_OBJECT, L"D:P(A;;FA;;;BA)(A;;RC;;;OW)", DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    for (BOOL guarded : {TRUE, FALSE}) {
        auto job = NewJob();
        if (guarded) job->SetRefuseLockout(TRUE);
        job->SetAction(ACTION_ADD_ACE);
        job->AddACE(L"Everyone", FALSE, L"full", 0, TRUE, DENY_ACCESS, ACL_DACL);
        EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_OK);
        EXPECT_EQ(job->GetObjectsNotProcessed(), guarded ? 1u : 0u);
        EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), std::wstring(L"D:PAI") +
                                                      (guarded ? L"" : L"(D;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)") +
                                                      L"(A;;FA;;;BA)(A;;RC;;;OW)");
    }
}

TEST_F(ProcessObjectTest, NothingIsWrittenWhenNoPartChanges) {
    admin::InjectFault("SetNamedSecurityInfoW", ERROR_WRITE_FAULT);
    auto job = NewJob();
    job->SetAction(ACTION_SET_OWNER);
    job->SetAction(ACTION_ADD_ACE);  // but no entries
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_TRUE(HasMessage(L"Processing ACL of: <\\\\?\\" + file + L">"));
}

TEST_F(ProcessObjectTest, OwnerAndGroupAreSetFromTheirTrustees) {
    auto job = NewJob();
    job->SetAction(ACTION_SET_OWNER);
    job->SetAction(ACTION_SET_GROUP);
    job->SetOwner(L"S-1-5-18", TRUE);
    job->SetGroup(L"BUILTIN\\Users", FALSE);
    EXPECT_EQ(RunOn(*job, L"Tavrik", SE_SERVICE), RTN_OK);
    EXPECT_EQ(Sddl(L"Tavrik", SE_SERVICE, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION), L"O:SYG:BU");
    EXPECT_EQ(DaclSddl(L"Tavrik", SE_SERVICE), L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCLCRPRC;;;IU)");
}

TEST_F(ProcessObjectTest, ClearingKeepsExactlyTheInheritedAces) {
    auto job = NewJob();
    job->SetAction(ACTION_CLEAR_DACL);
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
}

TEST_F(ProcessObjectTest, ProtectionModes) {
    auto keep = NewJob();
    keep->SetAction(ACTION_SET_PROTECTION);
    keep->SetDaclProtection(PROT_PROTECT_KEEP);
    EXPECT_EQ(RunOn(*keep, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:PAI(A;;FR;;;BU)(A;;FA;;;SY)(A;;FA;;;BA)");

    auto inherit = NewJob();
    inherit->SetAction(ACTION_SET_PROTECTION);
    inherit->SetDaclProtection(PROT_INHERIT);
    EXPECT_EQ(RunOn(*inherit, file, SE_FILE_OBJECT), RTN_OK);
    // The former inherited entries are explicit now; inheritance adds its own again.
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:AI(A;;FR;;;BU)(A;;FA;;;SY)(A;;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");

    SetSddl(file, SE_FILE_OBJECT, L"D:(A;;FR;;;BU)", DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION);
    auto remove = NewJob();
    remove->SetAction(ACTION_SET_PROTECTION);
    remove->SetDaclProtection(PROT_PROTECT_REMOVE);
    EXPECT_EQ(RunOn(*remove, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:PAI(A;;FR;;;BU)");
}

TEST_F(ProcessObjectTest, AccessDeniedReadsArePassedOverAndTheWalkGoesOn) {
    const std::wstring second = MakeFile("data/second.txt");
    SetSddl(second, SE_FILE_OBJECT, L"D:", DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION);
    SetSddl(file, SE_FILE_OBJECT, L"D:P(A;;FA;;;SY)", DACL_SECURITY_INFORMATION);
    SetSddl(dir, SE_FILE_OBJECT, L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;" + alice + L")", DACL_SECURITY_INFORMATION);
    admin::SetToken({L"alice", {L"Users"}, {}});
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->SetRecursion(RECURSE_OBJECTS);
    job->AddACE(L"BUILTIN\\Users", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*job, dir, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"ERROR reading SD from <\\\\?\\" + file + L">: ").size(), 1u);
    EXPECT_EQ(job->m_lastOsError, 0u);
    admin::ResetToken();
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:PAI(A;;FA;;;SY)");
    EXPECT_EQ(DaclSddl(dir + L"\\second.txt", SE_FILE_OBJECT),
              L"D:AI(A;OICI;FR;;;BU)(A;ID;FA;;;SY)(A;ID;FA;;;" + alice + L")");
}

TEST_F(ProcessObjectTest, OtherReadFailuresEndTheRunWithoutWritingUnlessIgnored) {
    const std::wstring before = DaclSddl(file, SE_FILE_OBJECT);
    admin::InjectFault("CreateFileW", ERROR_SHARING_VIOLATION);
    admin::InjectFault("GetNamedSecurityInfoW", ERROR_SHARING_VIOLATION);
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"alice", FALSE, L"full", 0, FALSE, SET_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_ERR_READ_SD);
    EXPECT_EQ(job->m_lastOsError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(MessagesStartingWith(L"\nTavrik finished with error(s): ").size(), 1u);
    EXPECT_NE(messages.back().find(L"\nOperating system error message: "), std::wstring::npos);

    messages.clear();
    auto ignoring = NewJob();
    ignoring->SetIgnoreErrors(TRUE);
    ignoring->SetAction(ACTION_ADD_ACE);
    ignoring->AddACE(L"alice", FALSE, L"full", 0, FALSE, SET_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*ignoring, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"ERROR reading SD from <").size(), 1u);
    admin::ClearFaults();
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), before);
}

TEST_F(ProcessObjectTest, WriteFailuresEndTheRunUnlessAccessWasDenied) {
    admin::SetDiskFull(true);
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"alice", FALSE, L"full", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_ERR_WRITE_SD);
    EXPECT_NE(job->m_lastOsError, 0u);
    admin::SetDiskFull(false);
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT), L"D:AI(A;;FR;;;BU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
}

TEST_F(ProcessObjectTest, AuditEntriesGoToTheSacl) {
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"Everyone", FALSE, L"write,delete", 0, TRUE, AUDIT_SUCCESS_AND_FAILURE, ACL_SACL);
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(Sddl(file, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION), L"S:AI(AU;SA;DCLCRPCRSD;;;WD)(AU;FA;DCLCRPCRSD;;;WD)");
}

TEST_F(ProcessObjectTest, TheFirstUnresolvableTrusteeStopsBeforeKeywordsAreChecked) {
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"alice", FALSE, L"no-such-keyword", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    job->AddACE(L"nobody-here", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*job, file, SE_FILE_OBJECT), RTN_ERR_RESOLVE_TRUSTEE);
    EXPECT_EQ(messages.size(), 1u);
    auto keywords = NewJob();
    keywords->SetAction(ACTION_ADD_ACE);
    keywords->AddACE(L"alice", FALSE, L"no-such-keyword", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*keywords, file, SE_FILE_OBJECT), RTN_ERR_KEYWORD_FILE);
}

TEST_F(ProcessObjectTest, PreparationReportsAnOldSystemAndMissingPrivileges) {
    admin::SetComputerVersion(L"TESTPC", 4, 0, 2);
    auto old = NewJob();
    EXPECT_EQ(RunOn(*old, file, SE_FILE_OBJECT), RTN_ERR_OS_VERSION);
    EXPECT_EQ(messages.front(), L"Error: Tavrik works only on NT based operating systems newer than NT4.");
    admin::SetComputerVersion(L"TESTPC", 10, 0, 2);

    messages.clear();
    admin::SetToken({L"alice", {L"Users"}, {}});
    auto plain = NewJob();
    EXPECT_EQ(RunOn(*plain, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(messages[0],
              L"Info: Privilege 'Back up files and directories' could not be enabled. This can probably be ignored.");
    EXPECT_EQ(messages[1],
              L"Info: Privilege 'Restore files and directories' could not be enabled. This can probably be ignored.");

    messages.clear();
    admin::InjectFault("GetVersionExW", ERROR_INVALID_PARAMETER);
    auto unknown = NewJob();
    EXPECT_EQ(RunOn(*unknown, file, SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(messages[0], L"Info: The version of your operating system could not be determined. Tavrik may not "
                           L"work correctly.");
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

class NullDescriptorTest : public ProcessObjectTest {};

TEST_F(NullDescriptorTest, AnObjectWithoutDescriptorGetsADaclOfTheJobsEntriesAlone) {
    admin::InjectFault("GetNamedSecurityInfoW.NoDescriptor", ERROR_INVALID_FUNCTION, 1, L"Tavrik");
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"BUILTIN\\Users", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    EXPECT_EQ(RunOn(*job, L"Tavrik", SE_SERVICE), RTN_OK);
    EXPECT_TRUE(HasMessage(L"ERROR reading SD from <Tavrik>: The object has a NULL security descriptor"));
    EXPECT_EQ(job->m_lastOsError, 0u);
    // Only the job's entry is left: nothing read could be merged.
    EXPECT_EQ(DaclSddl(L"Tavrik", SE_SERVICE).find(L"(A;;CCLCRPRC;;;IU)"), std::wstring::npos);
    EXPECT_NE(DaclSddl(L"Tavrik", SE_SERVICE).find(L";;;BU)"), std::wstring::npos);
}

}  // namespace
}  // namespace tavrik::test
