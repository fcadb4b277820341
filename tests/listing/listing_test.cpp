// The list action as a host runs it: records in the three formats, to the
// messages and the backup file, and the listing's failures.
#include <sys/resource.h>

#include <csignal>

#include "listing/backup_file.h"
#include "listing_fixture.h"
#include "winapi/machine/admin.h"

namespace tavrik::test {
namespace {

const std::wstring kReportsSddl = L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

class ListingRunTest : public ListingTest {
protected:
    // The directory pair of the documented example: Reports protected, 2024
    // inheriting everything from it.
    void MakeReports() {
        MakeDirectory("Data/Reports/2024");
        ASSERT_EQ(SetSddl(L"C:\\Data\\Reports", SE_FILE_OBJECT, kReportsSddl,
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\Data\\Reports\\2024", SE_FILE_OBJECT, L"O:BAG:SYD:AI",
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
    }

    std::unique_ptr<CTavrik> ListJob(const std::wstring& object, DWORD type, DWORD format, DWORD what,
                                     DWORD recursion = RECURSE_CONTAINERS | RECURSE_OBJECTS) {
        auto job = NewJob();
        EXPECT_EQ(job->SetObject(object, type), RTN_OK);
        EXPECT_EQ(job->SetAction(ACTION_LIST), RTN_OK);
        job->SetListFormat(format);
        job->SetListWhat(what);
        job->SetRecursion(recursion);
        return job;
    }

    std::wstring BackupName(const std::string& name = "backup.txt") const {
        const std::string path = BackupPath(name);
        return std::wstring(path.begin(), path.end());
    }

    // Makes every read of `object`'s descriptor fail with `error`, through
    // a handle or by name.
    static void FailReading(const std::wstring& object, DWORD error) {
        winapi::machine::InjectFault("CreateFileW", error, -1, object);
        winapi::machine::InjectFault("GetNamedSecurityInfoW", error, -1, object);
    }

    // Lists a prepared backup job while the process may grow files to
    // `bytes` only, as on a disk that fills up there.
    static DWORD ListWithFileSizeLimit(CTavrik& job, rlim_t bytes) {
        struct rlimit saved = {};
        EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const DWORD result = job.ListObjects();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        return result;
    }
};

TEST_F(ListingRunTest, SddlBackupOfADirectoryIsByteExact) {
    MakeReports();
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL | LIST_OWNER | LIST_GROUP);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);

    const std::wstring first = L"\"\\\\?\\C:\\Data\\Reports\",1,\"" + kReportsSddl + L"\"";
    const std::wstring second =
        L"\"\\\\?\\C:\\Data\\Reports\\2024\",1,\"O:BAG:SYD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)\"";
    EXPECT_EQ(ReadBytes(BackupPath()), Utf16File(first + L"\r\n" + second + L"\r\n"));
    EXPECT_TRUE(HasMessage(first));
    EXPECT_TRUE(HasMessage(second));
}

TEST_F(ListingRunTest, SddlBackupOfARegistryTreeIsByteExact) {
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\ExampleVendor",
                            L"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\ExampleVendor\\Settings");
    ASSERT_EQ(SetSddl(L"MACHINE\\SOFTWARE\\ExampleVendor\\Settings", SE_REGISTRY_KEY, L"O:BAG:SYD:AI",
                      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    auto job = ListJob(L"machine\\software\\ExampleVendor", SE_REGISTRY_KEY, LIST_SDDL,
                       LIST_DACL | LIST_OWNER | LIST_GROUP);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(ReadBytes(BackupPath()),
              Utf16File(L"\"machine\\software\\ExampleVendor\",4,\"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)\"\r\n"
                        L"\"machine\\software\\ExampleVendor\\Settings\",4,"
                        L"\"O:BAG:SYD:AI(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)\"\r\n"));
}

TEST_F(ListingRunTest, CsvRecordOfTheDocumentedDirectory) {
    MakeReports();
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_CSV, LIST_DACL, RECURSE_NONE);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);
    const std::wstring record =
        L"\"\\\\?\\C:\\Data\\Reports\",1,\"DACL(protected+auto_inherited):BUILTIN\\Administrators,full,allow,"
        L"container_inherit+object_inherit:NT AUTHORITY\\SYSTEM,full,allow,container_inherit+object_inherit\"";
    EXPECT_TRUE(HasMessage(record));
    EXPECT_EQ(ReadBytes(BackupPath()), Utf16File(record + L"\r\n"));
}

TEST_F(ListingRunTest, CsvSectionsFollowTheirOrderAndSkipEmptyOnes) {
    MakeReports();
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_CSV, LIST_DACL | LIST_OWNER | LIST_GROUP);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(
        L"\"\\\\?\\C:\\Data\\Reports\",1,\"DACL(protected+auto_inherited):BUILTIN\\Administrators,full,allow,"
        L"container_inherit+object_inherit:NT AUTHORITY\\SYSTEM,full,allow,container_inherit+object_inherit;"
        L"Owner:BUILTIN\\Administrators;Group:NT AUTHORITY\\SYSTEM\""));
    // 2024 holds only inherited entries, which are hidden: its DACL section
    // is left out with its separator.
    EXPECT_TRUE(HasMessage(
        L"\"\\\\?\\C:\\Data\\Reports\\2024\",1,\"Owner:BUILTIN\\Administrators;Group:NT AUTHORITY\\SYSTEM\""));

    messages.clear();
    job = ListJob(L"C:\\Data\\Reports\\2024", SE_FILE_OBJECT, LIST_CSV, LIST_DACL, RECURSE_NONE);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(MessagesStartingWith(L"\"").empty());

    messages.clear();
    job = ListJob(L"C:\\Data\\Reports\\2024", SE_FILE_OBJECT, LIST_CSV, LIST_DACL, RECURSE_NONE);
    job->SetListInherited(TRUE);
    job->SetListNameForm(2);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"\\\\?\\C:\\Data\\Reports\\2024\",1,\"DACL(not_protected+auto_inherited):"
                           L"S-1-5-32-544,full,allow,container_inherit+object_inherit+inherited:"
                           L"S-1-5-18,full,allow,container_inherit+object_inherit+inherited\""));
}

TEST_F(ListingRunTest, TextRecordOfTheDocumentedDirectory) {
    MakeReports();
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_TEXT, LIST_DACL | LIST_OWNER, RECURSE_NONE);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);
    const std::wstring record =
        L"\\\\?\\C:\\Data\\Reports\n"
        L"\n"
        L"   Owner: BUILTIN\\Administrators\n"
        L"\n"
        L"   DACL(protected+auto_inherited):\n"
        L"   BUILTIN\\Administrators   full   allow   container_inherit+object_inherit\n"
        L"   NT AUTHORITY\\SYSTEM   full   allow   container_inherit+object_inherit\n";
    EXPECT_TRUE(HasMessage(record));
    EXPECT_EQ(ReadBytes(BackupPath()), Utf16File(record + L"\r\n"));
}

TEST_F(ListingRunTest, UnprotectedListsAndTheSacl) {
    MakeDirectory("Plain");
    ASSERT_EQ(SetSddl(L"C:\\Plain", SE_FILE_OBJECT, L"D:(A;;FA;;;BA)S:P(AU;SAFA;FA;;;WD)",
                      DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    auto job = ListJob(L"C:\\Plain", SE_FILE_OBJECT, LIST_TEXT, LIST_DACL | LIST_SACL, RECURSE_NONE);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\\\\?\\C:\\Plain\n"
                           L"\n   DACL(not_protected+auto_inherited):\n   BUILTIN\\Administrators   full   allow   "
                           L"no_inheritance\n"
                           L"\n   SACL(protected+auto_inherited):\n   Everyone   full   audit   "
                           L"audit_success+audit_fail\n"));

    messages.clear();
    job = ListJob(L"C:\\Plain", SE_FILE_OBJECT, LIST_CSV, LIST_DACL | LIST_SACL, RECURSE_NONE);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"\\\\?\\C:\\Plain\",1,\"DACL(not_protected+auto_inherited):BUILTIN\\Administrators,"
                           L"full,allow,no_inheritance;SACL(protected+auto_inherited):Everyone,full,audit,"
                           L"audit_success+audit_fail\""));
}

TEST_F(ListingRunTest, ServicePrinterAndShareAreListedOnceWithTheirType) {
    winapi::machine::AddService(L"TESTPC", L"Tavriksvc", L"O:SYG:SYD:(A;;0x201FD;;;BU)");
    auto job = ListJob(L"Tavriksvc", SE_SERVICE, LIST_CSV, LIST_DACL);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"Tavriksvc\",2,\"DACL(not_protected):BUILTIN\\Users,start_stop,allow,no_inheritance\""));

    winapi::machine::AddPrinter(L"TESTPC", L"Office", L"O:SYG:SYD:(A;;0xF000C;;;BA)");
    messages.clear();
    job = ListJob(L"Office", SE_PRINTER, LIST_SDDL, LIST_DACL);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"\"Office\",3,\"D:").size(), 1u);

    messages.clear();
    job = ListJob(L"C$", SE_LMSHARE, LIST_CSV, LIST_DACL);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"C$\",5,\"DACL(not_protected):BUILTIN\\Administrators,full,allow,no_inheritance:"
                           L"NT AUTHORITY\\SYSTEM,full,allow,no_inheritance\""));

    winapi::machine::AddShare(L"TESTPC", L"Docs", {}, L"D:(A;;0x1200A9;;;WD)(A;;0x11;;;BU)");
    messages.clear();
    job = ListJob(L"Docs", SE_LMSHARE, LIST_CSV, LIST_DACL);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"Docs\",5,\"DACL(not_protected):Everyone,read,allow,no_inheritance:"
                           L"BUILTIN\\Users,SHARE_READ+SHARE_CHANGE,allow,no_inheritance\""));
}

TEST_F(ListingRunTest, AnObjectWithoutDescriptorIsReportedAndPassedOver) {
    winapi::machine::AddService(L"TESTPC", L"Bare", L"O:SYG:SYD:(A;;0x201FD;;;BU)");
    winapi::machine::InjectFault("GetNamedSecurityInfoW.NoDescriptor", ERROR_INVALID_FUNCTION, 1, L"Bare");
    auto job = ListJob(L"Bare", SE_SERVICE, LIST_SDDL, LIST_DACL);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"ERROR reading SD from <Bare>: The object has a NULL security descriptor"));
    EXPECT_TRUE(MessagesStartingWith(L"\"Bare\"").empty());
    EXPECT_EQ(job->m_lastOsError, 0u);
}

TEST_F(ListingRunTest, UnknownFormatListsNothingAndSucceeds) {
    MakeReports();
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, 3, LIST_DACL);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(messages.size(), 1u) << "only the summary";
    EXPECT_EQ(ReadBytes(BackupPath()), std::string("\xFF\xFE", 2));
}

TEST_F(ListingRunTest, NothingToListEndsOnTheFirstObject) {
    MakeReports();
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, 0);
    job->SetBackupFile(BackupName());
    EXPECT_EQ(job->Run(), RTN_ERR_NOTHING_TO_LIST);
    EXPECT_EQ(ReadBytes(BackupPath()), "") << "a listing that fails leaves no backup file";
}

TEST_F(ListingRunTest, ASecondListingReplacesTheFile) {
    MakeReports();
    WriteBytes(BackupPath(), std::string(5000, 'z'));
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL, RECURSE_NONE);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);
    const std::string once = ReadBytes(BackupPath());
    EXPECT_EQ(once, Utf16File(L"\"\\\\?\\C:\\Data\\Reports\",1,\"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)\"\r\n"));
    job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL, RECURSE_NONE);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(ReadBytes(BackupPath()), once);
}

TEST_F(ListingRunTest, FilteredAndUnreadableObjectsArePassedOver) {
    MakeReports();
    MakeFile("Data/Reports/2024/secret.txt");
    MakeFile("Data/Reports/2024/skip-me.txt");
    MakeFile("Data/Reports/2024/z.txt");
    const std::wstring secret = L"\\\\?\\C:\\Data\\Reports\\2024\\secret.txt";
    FailReading(secret, ERROR_ACCESS_DENIED);

    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL);
    job->AddObjectFilter(L"SKIP-me");
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(job->m_lastOsError, 0u);

    EXPECT_TRUE(HasMessage(L"Omitting ACL of: <\\\\?\\C:\\Data\\Reports\\2024\\skip-me.txt> because a filter keyword "
                           L"matched."));
    auto denied = MessagesStartingWith(L"ERROR reading SD from <" + secret + L">: ");
    ASSERT_EQ(denied.size(), 1u);
    EXPECT_NE(denied[0].find(L"Access is denied"), std::wstring::npos);
    // The walk went on past both.
    const std::string file = ReadBytes(BackupPath());
    EXPECT_NE(file.find(Utf16(L"\"\\\\?\\C:\\Data\\Reports\\2024\\z.txt\",1,\"D:")), std::string::npos);
    EXPECT_EQ(file.find(Utf16(L"secret.txt")), std::string::npos);
    EXPECT_EQ(file.find(Utf16(L"skip-me.txt")), std::string::npos);
}

TEST_F(ListingRunTest, OtherReadFailuresEndTheListingUnlessIgnored) {
    MakeReports();
    MakeFile("Data/Reports/2024/a.txt");
    MakeFile("Data/Reports/2024/b.txt");
    const std::wstring broken = L"\\\\?\\C:\\Data\\Reports\\2024\\a.txt";
    FailReading(broken, ERROR_INVALID_SECURITY_DESCR);

    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL);
    job->SetBackupFile(BackupName());
    EXPECT_EQ(job->Run(), RTN_ERR_READ_SD);
    EXPECT_EQ(job->m_lastOsError, static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    std::string file = ReadBytes(BackupPath());
    EXPECT_EQ(file, "") << "a listing that fails leaves no backup file";

    messages.clear();
    job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL);
    job->SetIgnoreErrors(TRUE);
    job->SetBackupFile(BackupName());
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"ERROR reading SD from <" + broken + L">: ").size(), 1u);
    file = ReadBytes(BackupPath());
    EXPECT_NE(file.find(Utf16(L"b.txt\",1,")), std::string::npos);
}

TEST_F(ListingRunTest, BackupFileThatCannotBeCreatedListsNothing) {
    MakeReports();
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL);
    job->SetBackupFile(BackupName("missing-dir/backup.txt"));
    EXPECT_EQ(job->Run(), RTN_ERR_OPEN_BACKUP_FILE);
    EXPECT_TRUE(MessagesStartingWith(L"\"").empty());
    EXPECT_EQ(job->m_backupFile, nullptr);
}

TEST_F(ListingRunTest, FailedBackupWriteEndsTheListingAndLeavesNoBackup) {
    MakeReports();
    const std::wstring first = L"\"\\\\?\\C:\\Data\\Reports\",1,\"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)\"\r\n";
    // The file may grow by the mark and the first record only, as on a disk
    // that fills up after it.
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->PrepareRun(), RTN_OK);
    const DWORD result = ListWithFileSizeLimit(*job, 2 + Utf16(first).size());

    EXPECT_EQ(result, RTN_ERR_WRITE_OUTPUT);
    EXPECT_NE(job->m_lastOsError, 0u);
    EXPECT_EQ(job->m_backupFile, nullptr);
    // A backup that could not be written whole is not put in place.
    EXPECT_EQ(ReadBytes(BackupPath()), "");
    // The record that could not be stored went to no other output either.
    EXPECT_TRUE(MessagesStartingWith(L"\"\\\\?\\C:\\Data\\Reports\\2024\"").empty());
}

// A backup written a block at a time holds each record once, in walk order,
// and the messages keep their order: the error about an object comes
// between the records of its neighbours, not after the block they share.
TEST_F(ListingRunTest, ABackupOfManyBlocksKeepsTheRecordsAndTheMessagesInOrder) {
    MakeReports();
    // Well over one block: about 250 bytes a record.
    constexpr int kFiles = 700;
    const std::string stem = "Data/Reports/2024/a-name-long-enough-to-fill-blocks-quickly-";
    for (int i = 0; i < kFiles; ++i) {
        char number[8];
        std::snprintf(number, sizeof number, "%03d", i);
        MakeFile(stem + number);
    }
    const std::wstring secret = L"\\\\?\\C:\\Data\\Reports\\2024\\a-name-long-enough-to-fill-blocks-quickly-400";
    FailReading(secret, ERROR_ACCESS_DENIED);

    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->Run(), RTN_OK);

    std::wstring records;
    size_t before = 0, errorAt = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].rfind(L"ERROR reading SD from <" + secret + L">", 0) == 0) errorAt = i;
        if (messages[i].rfind(L"\"", 0) != 0) continue;
        records += messages[i] + L"\r\n";
        if (errorAt == 0) ++before;
    }
    ASSERT_GT(records.size() * 2, 2 * kBackupBlockBytes);
    EXPECT_EQ(ReadBytes(BackupPath()), Utf16File(records));
    // Reports, 2024 and files 000 to 399 come before the error.
    ASSERT_NE(errorAt, 0u);
    EXPECT_EQ(before, 2u + 400u);
    EXPECT_NE(messages[errorAt - 1].find(L"quickly-399\","), std::wstring::npos) << messages[errorAt - 1];
    EXPECT_NE(messages[errorAt + 1].find(L"quickly-401\","), std::wstring::npos) << messages[errorAt + 1];
}

// A block that does not get into the file ends the listing; the records of
// blocks written before it were shown, those of the failed block were not.
TEST_F(ListingRunTest, AFailedLaterBlockShowsOnlyTheRecordsThatWereStored) {
    MakeReports();
    for (int i = 0; i < 700; ++i) MakeFile("Data/Reports/2024/a-name-long-enough-to-fill-blocks-quickly-" + std::to_string(i));
    auto job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_SDDL, LIST_DACL);
    job->SetBackupFile(BackupName());
    ASSERT_EQ(job->PrepareRun(), RTN_OK);
    const DWORD result = ListWithFileSizeLimit(*job, 2 * kBackupBlockBytes);

    EXPECT_EQ(result, RTN_ERR_WRITE_OUTPUT);
    EXPECT_NE(job->m_lastOsError, 0u);
    EXPECT_EQ(ReadBytes(BackupPath()), "");
    // The first block (64 KiB) was stored and shown; the one that did not
    // fit was not shown, and the listing stopped there.
    size_t shown = 0;
    for (const auto& message : messages) shown += message.rfind(L"\"", 0) == 0 ? message.size() * 2 + 4 : 0;
    EXPECT_GE(shown, kBackupBlockBytes);
    EXPECT_LT(shown, 2 * kBackupBlockBytes);
}

TEST_F(ListingRunTest, TrusteesThatCannotBeNamedEndTheListingWithoutARecord) {
    MakeReports();
    // An orphaned SID is shown as its SID string.
    ASSERT_EQ(SetSddl(L"C:\\Data\\Reports\\2024", SE_FILE_OBJECT, L"D:P(A;;FA;;;S-1-5-21-1-2-3-4242)"),
              ERROR_SUCCESS);
    auto job = ListJob(L"C:\\Data\\Reports\\2024", SE_FILE_OBJECT, LIST_CSV, LIST_DACL, RECURSE_NONE);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"\\\\?\\C:\\Data\\Reports\\2024\",1,\"DACL(protected+auto_inherited):"
                           L"S-1-5-21-1-2-3-4242,full,allow,no_inheritance\""));

    // Any other lookup failure: the object gets no record and the listing ends.
    winapi::machine::InjectFault("LookupAccountSidW", RPC_S_SERVER_UNAVAILABLE);
    for (DWORD format : {LIST_CSV, LIST_TEXT}) {
        messages.clear();
        job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, format, LIST_DACL | LIST_OWNER);
        job->SetBackupFile(BackupName());
        EXPECT_EQ(job->Run(), RTN_ERR_SID_TO_NAME) << format;
        EXPECT_EQ(job->m_lastOsError, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
        EXPECT_EQ(ReadBytes(BackupPath()), "");
        EXPECT_TRUE(MessagesStartingWith(L"\"").empty());
        EXPECT_TRUE(MessagesStartingWith(L"\\\\?\\").empty());
    }
    // SID strings need no lookup.
    messages.clear();
    job = ListJob(L"C:\\Data\\Reports", SE_FILE_OBJECT, LIST_CSV, LIST_OWNER, RECURSE_NONE);
    job->SetListNameForm(2);
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"\\\\?\\C:\\Data\\Reports\",1,\"Owner:S-1-5-32-544\""));
}

TEST_F(ListingRunTest, NameStartingWithAQuoteGetsNoAddedQuotes) {
    winapi::machine::AddService(L"TESTPC", L"\"Quoted", L"D:(A;;0xF01FF;;;BA)");
    auto job = ListJob(L"\"Quoted", SE_SERVICE, LIST_SDDL, LIST_DACL);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"Quoted,2,\"D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)\""));
    messages.clear();
    job = ListJob(L"\"Quoted", SE_SERVICE, LIST_CSV, LIST_DACL);
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"\"Quoted,2,\"DACL(not_protected):BUILTIN\\Administrators,full,allow,no_inheritance\""));
}

TEST_F(ListingRunTest, NamesThatWouldReadBackAsAnotherObjectStayOutOfTheBackup) {
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor", L"O:BAG:SYD:PAI(A;CI;KA;;;BA)");
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\Victim");
    const std::wstring comma = L"Victim\",4,\"D:P(A;;KA;;;WD)";
    const std::wstring lineBreak = L"evil\n\"Spooler\",2,\"D:P(A;;GA;;;WD)\"\n";
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\" + comma);
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\" + lineBreak);

    for (DWORD format : {LIST_SDDL, LIST_CSV, LIST_TEXT}) {
        messages.clear();
        auto job = ListJob(L"machine\\software\\Vendor", SE_REGISTRY_KEY, format, LIST_DACL | LIST_OWNER);
        job->SetListInherited(TRUE);
        job->SetBackupFile(BackupName());
        ASSERT_EQ(job->Run(), RTN_OK) << format;
        const auto refused = MessagesStartingWith(L"ERROR writing backup of <");
        ASSERT_EQ(refused.size(), 2u) << format;
        // Walk order: "evil..." before "Victim...".
        EXPECT_EQ(refused[0].find(L'\n'), std::wstring::npos) << "the line break is shown, not written";
        EXPECT_NE(refused[0].find(L"evil{U+000A}\"Spooler\""), std::wstring::npos);
        EXPECT_NE(refused[1].find(comma), std::wstring::npos);

        const std::string file = ReadBytes(BackupPath());
        EXPECT_EQ(file.find(Utf16(L"D:P(A;;KA;;;WD)")), std::string::npos) << format;
        EXPECT_EQ(file.find(Utf16(L"Spooler")), std::string::npos) << format;
        EXPECT_NE(file.find(Utf16(L"machine\\software\\Vendor\\Victim")), std::string::npos) << format;
    }
}

}  // namespace
}  // namespace tavrik::test
