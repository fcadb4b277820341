// Backups that always restore and are never destroyed, and listings that
// show every kind of DACL.
#include <filesystem>

#include "listing/backup_file.h"
#include "listing_fixture.h"
#include "winapi/machine/admin.h"

namespace tavrik::test {
namespace {

class BackupSafetyTest : public ListingTest {
protected:
    std::wstring BackupName(const std::string& name = "backup.txt") const {
        const std::string path = BackupPath(name);
        return std::wstring(path.begin(), path.end());
    }

    std::unique_ptr<CTavrik> BackupJob(const std::wstring& object, DWORD what = LIST_DACL) {
        auto job = NewJob();
        job->SetObject(object, SE_FILE_OBJECT);
        job->SetAction(ACTION_LIST);
        job->SetListFormat(LIST_SDDL);
        job->SetListWhat(what);
        job->SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
        job->SetBackupFile(BackupName());
        return job;
    }

    DWORD Restore(BOOL ignoreErrors = FALSE) {
        auto job = NewJob();
        job->SetObject(L"C:\\", SE_FILE_OBJECT);
        job->SetAction(ACTION_RESTORE);
        job->SetIgnoreErrors(ignoreErrors);
        job->SetBackupFile(BackupName());
        return job->Run();
    }
};

TEST_F(BackupSafetyTest, ARestoreThatWouldOverwriteItsOwnBackupIsRefused) {
    MakeFile("Data/a.txt");
    ASSERT_EQ(BackupJob(L"C:\\Data")->Run(), RTN_OK);
    const std::string before = ReadBytes(BackupPath());
    ASSERT_EQ(SetSddl(L"C:\\Data\\a.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;WD)"), ERROR_SUCCESS);

    auto job = BackupJob(L"C:\\Data");
    job->SetListFormat(LIST_CSV);
    job->SetAction(ACTION_RESTORE);
    EXPECT_EQ(job->Run(), RTN_ERR_PARAMETER);
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR: The backup file <" + BackupName() + L"> would be restored from"));
    EXPECT_EQ(ReadBytes(BackupPath()), before);
    EXPECT_EQ(DaclSddl(L"C:\\Data\\a.txt"), L"D:PAI(A;;FA;;;WD)") << "nothing was restored either";
}

TEST_F(BackupSafetyTest, TheLargestAclAFileHoldsRoundTrips) {
    MakeFile("Data/big.txt");
    // SIDs of fifteen sub-authorities give the longest SDDL per byte of ACL.
    auto aces = [](int count) {
        std::wstring text = L"D:P";
        for (int i = 0; i < count; ++i) {
            text += L"(A;;0x1301bf;;;S-1-5-21";
            for (int sub = 0; sub < 13; ++sub) text += L"-" + std::to_wstring(4000000000u - sub);
            text += L"-" + std::to_wstring(1000 + i) + L")";
        }
        return text;
    };
    // The most entries the file takes, found by halving the step.
    int count = 0;
    for (int step = 1024; step > 0; step /= 2) {
        if (SetSddl(L"C:\\Data\\big.txt", SE_FILE_OBJECT, aces(count + step)) == ERROR_SUCCESS) count += step;
    }
    ASSERT_GT(count, 50);
    ASSERT_EQ(SetSddl(L"C:\\Data\\big.txt", SE_FILE_OBJECT, aces(count)), ERROR_SUCCESS);
    const std::wstring original = DaclSddl(L"C:\\Data\\big.txt");
    ASSERT_GT(original.size(), 8189u) << "a record longer than a line could once be";

    ASSERT_EQ(BackupJob(L"C:\\Data\\big.txt")->Run(), RTN_OK);
    ASSERT_EQ(SetSddl(L"C:\\Data\\big.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;SY)"), ERROR_SUCCESS);
    EXPECT_EQ(Restore(), RTN_OK);
    EXPECT_EQ(DaclSddl(L"C:\\Data\\big.txt"), original);
    static_assert(tavrik::kMaxBackupLineUnits < 4 * 1024 * 1024, "one line stays bounded");
}

TEST_F(BackupSafetyTest, RecordsWithoutAnyPartRestoreAsNothingAndTheRestGoesOn) {
    MakeFile("Data/a.txt");
    MakeFile("Data/b.txt");
    ASSERT_EQ(BackupJob(L"C:\\Data", LIST_SACL)->Run(), RTN_OK);
    const std::string bytes = ReadBytes(BackupPath());
    ASSERT_NE(bytes.find(Utf16(L"\"\\\\?\\C:\\Data\\a.txt\",1,\"\"")), std::string::npos);
    // A hand-written entry after them must still be reached.
    WriteBytes(BackupPath(), bytes + Utf16(L"\"\\\\?\\C:\\Data\\b.txt\",1,\"D:P(A;;FA;;;BA)\"\r\n"));
    messages.clear();
    EXPECT_EQ(Restore(), RTN_OK);
    EXPECT_EQ(DaclSddl(L"C:\\Data\\b.txt"), L"D:PAI(A;;FA;;;BA)");
    EXPECT_TRUE(HasMessage(L"Info: The backup holds none of the descriptor parts of <\\\\?\\C:\\Data\\a.txt>; nothing "
                           L"to restore for it."));
}

TEST_F(BackupSafetyTest, AListingThatFailsLeavesTheOldBackupUntouched) {
    MakeFile("Data/a.txt");
    ASSERT_EQ(BackupJob(L"C:\\Data")->Run(), RTN_OK);
    const std::string before = ReadBytes(BackupPath());
    ASSERT_GT(before.size(), 2u);

    EXPECT_EQ(BackupJob(L"C:\\Dta")->Run(), RTN_ERR_FIND_FILE);
    EXPECT_EQ(ReadBytes(BackupPath()), before);
    // Nothing is left beside it either.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(BackupPath()).parent_path())) {
        files += entry.path().filename().string().rfind("backup.txt", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(files, 1u);

    // A job that ends well replaces it.
    ASSERT_EQ(SetSddl(L"C:\\Data\\a.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;WD)"), ERROR_SUCCESS);
    ASSERT_EQ(BackupJob(L"C:\\Data")->Run(), RTN_OK);
    EXPECT_NE(ReadBytes(BackupPath()), before);
}

TEST_F(BackupSafetyTest, NullAndEmptyDaclsGetARecordOfTheirOwn) {
    MakeFile("Data/open.txt");
    MakeFile("Data/closed.txt");
    ASSERT_EQ(SetSddl(L"C:\\Data\\open.txt", SE_FILE_OBJECT, L"D:NO_ACCESS_CONTROL"), ERROR_SUCCESS);
    ASSERT_EQ(SetSddl(L"C:\\Data\\closed.txt", SE_FILE_OBJECT, L"D:P"), ERROR_SUCCESS);
    for (DWORD format : {LIST_CSV, LIST_TEXT}) {
        messages.clear();
        auto job = NewJob();
        job->SetObject(L"C:\\Data", SE_FILE_OBJECT);
        job->SetAction(ACTION_LIST);
        job->SetListFormat(format);
        job->SetRecursion(RECURSE_OBJECTS);
        ASSERT_EQ(job->Run(), RTN_OK);
        const std::wstring open =
            format == LIST_CSV ? L"\"\\\\?\\C:\\Data\\open.txt\",1,\"DACL(" : L"\\\\?\\C:\\Data\\open.txt\n";
        const std::wstring closed =
            format == LIST_CSV ? L"\"\\\\?\\C:\\Data\\closed.txt\",1,\"DACL(" : L"\\\\?\\C:\\Data\\closed.txt\n";
        auto record = [&](const std::wstring& start) {
            const auto found = MessagesStartingWith(start);
            return found.empty() ? std::wstring() : found.front();
        };
        EXPECT_NE(record(open).find(L"no_DACL(everyone_has_full_access)"), std::wstring::npos) << format;
        EXPECT_NE(record(closed).find(L"empty_DACL(nobody_has_access)"), std::wstring::npos) << format;
    }
}

TEST_F(BackupSafetyTest, RestoreMessagesEscapeControlCharacters) {
    MakeFile("Data/a.txt");
    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\Data\\a\x1b[2Jb\rX.txt\",1,\"D:P(A;;FA;;;BA)\"\r\n"));
    messages.clear();
    EXPECT_EQ(Restore(TRUE), RTN_OK);
    for (const std::wstring& line : messages) {
        EXPECT_EQ(line.find(L'\x1b'), std::wstring::npos);
        EXPECT_EQ(line.find(L"b\rX"), std::wstring::npos);
    }
    EXPECT_TRUE(HasMessage(L"Restoring ACL of: <\\\\?\\C:\\Data\\a{U+001B}[2Jb{U+000D}X.txt>"));
}

TEST_F(BackupSafetyTest, BlankLinesAreSkippedAndNoStaleSystemTextIsShown) {
    MakeFile("Data/a.txt");
    WriteBytes(BackupPath(), Utf16File(L"\r\n  \r\n\"\\\\?\\C:\\Data\\a.txt\",1,\"D:P(A;;FA;;;BA)\"\r\n\r\n"));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    messages.clear();
    EXPECT_EQ(Restore(), RTN_OK);
    EXPECT_EQ(DaclSddl(L"C:\\Data\\a.txt"), L"D:PAI(A;;FA;;;BA)");
    EXPECT_EQ(MessagesStartingWith(L"ERROR").size(), 0u);

    // A line that does not convert names its own error, never an earlier one.
    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\Data\\a.txt\",1,\"D:P(Q;;FA;;;BA)\"\r\n"));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    messages.clear();
    EXPECT_EQ(Restore(TRUE), RTN_OK);
    const auto errors = MessagesStartingWith(L"ERROR: Restoring ACL of <\\\\?\\C:\\Data\\a.txt>: ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.front().find(L"data area passed to a system call is too small"), std::wstring::npos)
        << errors.front();
}

}  // namespace
}  // namespace tavrik::test
