// Restoring descriptors from backup files: round trips for every object
// type, both encodings, the documented failures, and damaged files that
// must never lead a write to the wrong object.
#include <filesystem>
#include <map>
#include <tuple>

#include "listing/backup_file.h"
#include "listing_fixture.h"
#include "winapi/machine/admin.h"

namespace tavrik::test {
namespace {

constexpr SECURITY_INFORMATION kAllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

class RestoreTest : public ListingTest {
protected:
    std::wstring BackupName(const std::string& name = "backup.txt") const {
        const std::string path = BackupPath(name);
        return std::wstring(path.begin(), path.end());
    }

    // Backs up the tree below `object` (all four parts) in the SDDL format.
    DWORD Backup(const std::wstring& object, DWORD type, const std::string& file = "backup.txt") {
        auto job = NewJob();
        job->SetObject(object, type);
        job->SetAction(ACTION_LIST);
        job->SetListFormat(LIST_SDDL);
        job->SetListWhat(LIST_DACL | LIST_SACL | LIST_OWNER | LIST_GROUP);
        job->SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
        job->SetBackupFile(BackupName(file));
        return job->Run();
    }

    DWORD Restore(const std::string& file = "backup.txt", BOOL ignoreErrors = FALSE,
                  const std::wstring& filter = {}) {
        auto job = NewJob();
        job->SetObject(L"C:\\", SE_FILE_OBJECT);
        job->SetAction(ACTION_RESTORE);
        job->SetIgnoreErrors(ignoreErrors);
        if (!filter.empty()) job->AddObjectFilter(filter);
        job->SetBackupFile(BackupName(file));
        const DWORD result = job->Run();
        lastOsError_ = job->m_lastOsError;
        return result;
    }

    static std::wstring All(const std::wstring& name, DWORD type) { return Sddl(name, type, kAllParts); }

    DWORD lastOsError_ = 0;
};

// A small tree with protected and unprotected lists, a SACL, and owners
// and groups that differ from their parents'.
class FileTreeRestoreTest : public RestoreTest {
protected:
    void SetUp() override {
        MakeFile("Data/a.txt");
        MakeFile("Data/Sub/b.txt");
        MakeFile("Data/Sub/Deep/c.txt");
        ASSERT_EQ(SetSddl(L"C:\\Data", SE_FILE_OBJECT,
                          L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)S:P(AU;OICISAFA;FA;;;WD)", kAllParts),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\Data\\a.txt", SE_FILE_OBJECT, L"O:SYG:BUD:AI(D;;FW;;;BU)", kAllParts & ~SACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\Data\\Sub", SE_FILE_OBJECT, L"O:BUG:BAD:P(A;OICI;FA;;;SY)S:(AU;FA;0x1;;;BU)", kAllParts),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\Data\\Sub\\b.txt", SE_FILE_OBJECT, L"O:BAG:SYD:AI", kAllParts & ~SACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\Data\\Sub\\Deep", SE_FILE_OBJECT, L"O:BAG:SYD:AI(A;CI;FR;;;WD)", kAllParts & ~SACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\Data\\Sub\\Deep\\c.txt", SE_FILE_OBJECT, L"O:BAG:SYD:PAI(A;;FA;;;BU)", kAllParts & ~SACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        for (const auto& name : Names()) before_[name] = All(name, SE_FILE_OBJECT);
    }

    static std::vector<std::wstring> Names() {
        return {L"C:\\Data", L"C:\\Data\\a.txt", L"C:\\Data\\Sub", L"C:\\Data\\Sub\\b.txt", L"C:\\Data\\Sub\\Deep",
                L"C:\\Data\\Sub\\Deep\\c.txt"};
    }

    // Gives every object a descriptor unlike its own.
    void Scramble() {
        for (const auto& name : Names()) {
            ASSERT_EQ(SetSddl(name, SE_FILE_OBJECT, L"O:SYG:SYD:P(A;;FA;;;WD)S:P", kAllParts), ERROR_SUCCESS) << name.c_str();
        }
    }

    void ExpectRestored() {
        for (const auto& name : Names()) EXPECT_EQ(All(name, SE_FILE_OBJECT), before_[name]) << name.c_str();
    }

    std::map<std::wstring, std::wstring> before_;
};

TEST_F(FileTreeRestoreTest, UnicodeBackupRestoresEveryPartOfEveryObject) {
    ASSERT_EQ(Backup(L"C:\\Data", SE_FILE_OBJECT), RTN_OK);
    Scramble();
    messages.clear();
    ASSERT_EQ(Restore(), RTN_OK);
    ExpectRestored();
    EXPECT_TRUE(HasMessage(L"Input file for restore operation: <" + BackupName() + L"> detected as Unicode."));
    EXPECT_EQ(MessagesStartingWith(L"Restoring ACL of: <").size(), Names().size());
    EXPECT_TRUE(HasMessage(L"Restoring ACL of: <\\\\?\\C:\\Data\\Sub\\Deep\\c.txt>"));
}

TEST_F(FileTreeRestoreTest, EightBitCopyOfTheBackupRestoresTheSame) {
    ASSERT_EQ(Backup(L"C:\\Data", SE_FILE_OBJECT), RTN_OK);
    // The same entries as UTF-8 without a mark, CR LF line ends.
    const std::string unicode = ReadBytes(BackupPath());
    std::string eightBit;
    for (size_t i = 2; i + 1 < unicode.size(); i += 2) eightBit += unicode[i];
    WriteBytes(BackupPath("ansi.txt"), eightBit);
    Scramble();
    messages.clear();
    ASSERT_EQ(Restore("ansi.txt"), RTN_OK);
    ExpectRestored();
    EXPECT_TRUE(HasMessage(L"Input file for restore operation: <" + BackupName("ansi.txt") + L"> detected as ANSI."));
}

TEST_F(FileTreeRestoreTest, FilteredEntriesAreLeftAlone) {
    ASSERT_EQ(Backup(L"C:\\Data", SE_FILE_OBJECT), RTN_OK);
    Scramble();
    const std::wstring scrambled = All(L"C:\\Data\\Sub\\b.txt", SE_FILE_OBJECT);
    messages.clear();
    ASSERT_EQ(Restore("backup.txt", FALSE, L"B.TXT"), RTN_OK);
    EXPECT_TRUE(HasMessage(L"Omitting ACL of: <\\\\?\\C:\\Data\\Sub\\b.txt> because a filter keyword matched."));
    EXPECT_EQ(All(L"C:\\Data\\Sub\\b.txt", SE_FILE_OBJECT), scrambled);
    EXPECT_EQ(All(L"C:\\Data\\a.txt", SE_FILE_OBJECT), before_[L"C:\\Data\\a.txt"]);
}

TEST_F(FileTreeRestoreTest, TruncatedBackupNeverWritesAShortenedDescriptor) {
    ASSERT_EQ(Backup(L"C:\\Data", SE_FILE_OBJECT), RTN_OK);
    std::string file = ReadBytes(BackupPath());
    // Cut the last record right behind its first ACE: still valid SDDL.
    const std::string lastAce = Utf16(L"(A;;FA;;;BU)");
    const size_t cut = file.rfind(lastAce);
    ASSERT_NE(cut, std::string::npos);
    WriteBytes(BackupPath("cut.txt"), file.substr(0, cut + lastAce.size()));
    // And once more with half a character behind the cut.
    WriteBytes(BackupPath("odd.txt"), file.substr(0, cut + lastAce.size() + 1));

    for (const char* name : {"cut.txt", "odd.txt"}) {
        Scramble();
        const std::wstring scrambled = All(L"C:\\Data\\Sub\\Deep\\c.txt", SE_FILE_OBJECT);
        EXPECT_EQ(Restore(name), RTN_ERR_SD_CONVERT) << name;
        EXPECT_EQ(lastOsError_, static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(All(L"C:\\Data\\Sub\\Deep\\c.txt", SE_FILE_OBJECT), scrambled) << name;
        EXPECT_EQ(All(L"C:\\Data\\Sub\\Deep", SE_FILE_OBJECT), before_[L"C:\\Data\\Sub\\Deep"]) << name;
    }
}

// A restore writes each directory before what lies below it and leaves the
// inheritance of what follows to the records that follow. The tree it
// leaves is the one the records restored one job at a time leave, where
// every directory's write propagated at once: byte for byte, objects left
// out of the backup included.
TEST_F(RestoreTest, ATreeRestoredInOneJobEndsAsWithEachRecordRestoredAlone) {
    const std::vector<std::pair<std::string, std::wstring>> tree = {
        {"", L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)S:P(AU;OICISAFA;FA;;;WD)"},
        {"/A", L"O:BAG:SYD:AI(A;CI;FR;;;WD)"},
        {"/A/a.txt", L"O:BUG:SYD:AI(D;;FW;;;BU)"},
        {"/A/B", L"O:BAG:SYD:AI(A;OI;FA;;;BU)"},
        {"/A/B/b.txt", L"O:BAG:SYD:AI"},
        {"/A/B/C", L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)"},
        {"/A/B/C/c.txt", L"O:BAG:SYD:AI"},
        {"/A/z.txt", L"O:BAG:SYD:AI"},
        {"/D", L"O:SYG:SYD:AI(A;OICI;FR;;;BU)"},
        {"/D/d.txt", L"O:BAG:SYD:AI(A;;FA;;;WD)"},
        {"/e.txt", L"O:BAG:SYD:AI"},
    };
    for (const std::string top : {"One", "Two"}) {
        for (const auto& [relative, sddl] : tree) {
            if (relative.empty() || relative.find(".txt") == std::string::npos) {
                MakeDirectory(top + relative);
            } else {
                MakeFile(top + relative);
            }
        }
        for (const auto& [relative, sddl] : tree) {
            std::wstring name = L"C:\\" + std::wstring(top.begin(), top.end());
            for (char c : relative) name += c == '/' ? L'\\' : static_cast<wchar_t>(c);
            ASSERT_EQ(SetSddl(name, SE_FILE_OBJECT, sddl, kAllParts), ERROR_SUCCESS) << relative;
        }
        ASSERT_EQ(Backup(L"C:\\" + std::wstring(top.begin(), top.end()), SE_FILE_OBJECT, top + ".bak"), RTN_OK);
        // Changed since: other entries, another top, and objects the backup
        // does not know, which get what their restored directories hand down.
        const std::wstring wide(top.begin(), top.end());
        ASSERT_EQ(SetSddl(L"C:\\" + wide, SE_FILE_OBJECT, L"D:P(A;OICI;FA;;;WD)"), ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\" + wide + L"\\A\\B", SE_FILE_OBJECT, L"D:(A;OICI;FR;;;SY)"), ERROR_SUCCESS);
        ASSERT_EQ(SetSddl(L"C:\\" + wide + L"\\D\\d.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;SY)"), ERROR_SUCCESS);
        MakeFile(top + "/A/new.txt");
        MakeFile(top + "/A/B/C/new.txt");
        MakeDirectory(top + "/D/New/Deeper");
        MakeFile(top + "/D/New/Deeper/new.txt");
    }

    // One: the whole backup in one job. Two: each record in a job of its own.
    ASSERT_EQ(Restore("One.bak"), RTN_OK);
    const std::string whole = ReadBytes(BackupPath("Two.bak"));
    ASSERT_GT(whole.size(), 2u);
    size_t records = 0;
    for (size_t start = 2; start < whole.size();) {
        size_t end = start;
        while (end + 3 < whole.size() && whole.compare(end, 4, std::string("\r\0\n\0", 4)) != 0) end += 2;
        end += 4;
        WriteBytes(BackupPath("single.bak"), whole.substr(0, 2) + whole.substr(start, end - start));
        ASSERT_EQ(Restore("single.bak"), RTN_OK) << records;
        ++records;
        start = end;
    }
    ASSERT_EQ(records, tree.size());

    size_t compared = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(HostPath("One"))) {
        const std::string relative = entry.path().string().substr(HostPath("One").size());
        std::wstring one = L"C:\\One", two = L"C:\\Two";
        for (char c : relative) {
            one += c == '/' ? L'\\' : static_cast<wchar_t>(c);
            two += c == '/' ? L'\\' : static_cast<wchar_t>(c);
        }
        EXPECT_EQ(All(one, SE_FILE_OBJECT), All(two, SE_FILE_OBJECT)) << relative;
        ++compared;
    }
    EXPECT_EQ(compared, tree.size() - 1 + 5);
    EXPECT_EQ(All(L"C:\\One", SE_FILE_OBJECT), All(L"C:\\Two", SE_FILE_OBJECT));
}

TEST_F(RestoreTest, PartsWrittenFollowTheSections) {
    MakeFile("P/child.txt");
    ASSERT_EQ(SetSddl(L"C:\\P", SE_FILE_OBJECT, L"O:BAG:BAD:PAI(A;OICI;FR;;;BU)", kAllParts & ~SACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    ASSERT_EQ(SetSddl(L"C:\\P\\child.txt", SE_FILE_OBJECT, L"O:BUG:BUD:P(A;;FA;;;WD)", kAllParts & ~SACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\P\\child.txt\",1,\"D:PAI(A;OICI;FA;;;BA)\"\r\n"));
    ASSERT_EQ(Restore(), RTN_OK);
    // Only the DACL, protected; owner and group untouched.
    EXPECT_EQ(All(L"C:\\P\\child.txt", SE_FILE_OBJECT), L"O:BUG:BUD:PAI(A;OICI;FA;;;BA)");

    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\P\\child.txt\",1,\"O:BAG:SYD:AI(A;OICIID;FA;;;SY)\"\r\n"));
    ASSERT_EQ(Restore(), RTN_OK);
    // Owner, group and an unprotected DACL: the listed inherited entry
    // gives way to what the parent passes on.
    EXPECT_EQ(Sddl(L"C:\\P\\child.txt", SE_FILE_OBJECT), L"O:BAG:SYD:AI(A;ID;FR;;;BU)");

    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\P\\child.txt\",1,\"s:pai(au;sa;fa;;;wd)\"\r\n"));
    ASSERT_EQ(Restore(), RTN_OK);
    EXPECT_EQ(All(L"C:\\P\\child.txt", SE_FILE_OBJECT), L"O:BAG:SYD:AI(A;ID;FR;;;BU)S:PAI(AU;SA;FA;;;WD)");
}

TEST_F(RestoreTest, RegistryTreeAndNamedObjectsRoundTrip) {
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\Settings");
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\Other");
    winapi::machine::AddService(L"TESTPC", L"Tavriksvc");
    winapi::machine::AddPrinter(L"TESTPC", L"Office");
    winapi::machine::AddShare(L"TESTPC", L"Docs", {});

    const std::vector<std::tuple<std::wstring, DWORD, std::wstring>> objects = {
        {L"MACHINE\\SOFTWARE\\Vendor", SE_REGISTRY_KEY,
         L"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)S:PAI(AU;CISA;KA;;;WD)"},
        {L"MACHINE\\SOFTWARE\\Vendor\\Settings", SE_REGISTRY_KEY, L"O:BAG:SYD:AIS:AI"},
        {L"MACHINE\\SOFTWARE\\Vendor\\Other", SE_REGISTRY_KEY, L"O:SYG:SYD:P(A;;KA;;;SY)(A;;KR;;;BA)S:(AU;SA;KA;;;WD)"},
        {L"Tavriksvc", SE_SERVICE, L"O:SYG:SYD:(A;;0x201FD;;;BU)(A;;0xF01FF;;;BA)S:(AU;FA;0xF01FF;;;WD)"},
        {L"Office", SE_PRINTER, L"O:SYG:SYD:(A;;0xF000C;;;BA)(A;;0x20008;;;WD)S:(AU;SA;0xF000C;;;WD)"},
        {L"Docs", SE_LMSHARE, L"O:BAG:SYD:P(A;;0x1200A9;;;WD)S:(AU;SA;0x1200A9;;;WD)"}};
    std::map<std::wstring, std::wstring> before;
    for (const auto& [name, type, sddl] : objects) {
        ASSERT_EQ(SetSddl(name, type, sddl, kAllParts), ERROR_SUCCESS) << name.c_str();
    }
    for (const auto& [name, type, sddl] : objects) before[name] = All(name, type);

    ASSERT_EQ(Backup(L"machine\\software\\Vendor", SE_REGISTRY_KEY, "keys.txt"), RTN_OK);
    ASSERT_EQ(Backup(L"Tavriksvc", SE_SERVICE, "svc.txt"), RTN_OK);
    ASSERT_EQ(Backup(L"Office", SE_PRINTER, "prn.txt"), RTN_OK);
    ASSERT_EQ(Backup(L"Docs", SE_LMSHARE, "share.txt"), RTN_OK);
    // One file with every entry: each carries its own type.
    std::string all = ReadBytes(BackupPath("keys.txt"));
    for (const char* part : {"svc.txt", "prn.txt", "share.txt"}) all += ReadBytes(BackupPath(part)).substr(2);
    WriteBytes(BackupPath("all.txt"), all);

    for (const auto& [name, type, sddl] : objects) {
        ASSERT_EQ(SetSddl(name, type, L"O:BUG:BUD:P(A;;GA;;;WD)S:P(AU;FA;GA;;;BU)", kAllParts), ERROR_SUCCESS)
            << name.c_str();
    }
    messages.clear();
    ASSERT_EQ(Restore("all.txt"), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"Restoring ACL of: <").size(), objects.size());
    for (const auto& [name, type, sddl] : objects) EXPECT_EQ(All(name, type), before[name]) << name.c_str();
}

TEST_F(RestoreTest, MissingObjectsAreReportedAndPassedOver) {
    MakeFile("here.txt");
    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\gone.txt\",1,\"D:P(A;;FA;;;BA)\"\r\n"
                                       L"\"\\\\?\\C:\\here.txt\",1,\"D:P(A;;FA;;;SY)\"\r\n"));
    ASSERT_EQ(Restore(), RTN_OK);
    EXPECT_EQ(lastOsError_, 0u);
    auto errors = MessagesStartingWith(L"ERROR writing SD to <\\\\?\\C:\\gone.txt>: ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(DaclSddl(L"C:\\here.txt"), L"D:PAI(A;;FA;;;SY)");
}

TEST_F(RestoreTest, AccessDeniedIsPassedOverButOtherWriteFailuresEndTheRestore) {
    MakeFile("one.txt");
    MakeFile("two.txt");
    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\one.txt\",1,\"D:P(A;;FA;;;BA)\"\r\n"
                                       L"\"\\\\?\\C:\\two.txt\",1,\"D:P(A;;FA;;;SY)\"\r\n"));
    winapi::machine::InjectFault("SetNamedSecurityInfoW", ERROR_ACCESS_DENIED, 1);
    ASSERT_EQ(Restore(), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"ERROR writing SD to <\\\\?\\C:\\one.txt>: ").size(), 1u);
    EXPECT_EQ(DaclSddl(L"C:\\two.txt"), L"D:PAI(A;;FA;;;SY)");

    ASSERT_EQ(SetSddl(L"C:\\two.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;WD)"), ERROR_SUCCESS);
    winapi::machine::InjectFault("SetNamedSecurityInfoW", ERROR_DISK_FULL, 1);
    EXPECT_EQ(Restore(), RTN_ERR_WRITE_SD);
    EXPECT_EQ(lastOsError_, static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(DaclSddl(L"C:\\two.txt"), L"D:PAI(A;;FA;;;WD)") << "entries after the failure are not touched";

    winapi::machine::InjectFault("SetNamedSecurityInfoW", ERROR_DISK_FULL, 1);
    EXPECT_EQ(Restore("backup.txt", TRUE), RTN_OK);
    EXPECT_EQ(DaclSddl(L"C:\\two.txt"), L"D:PAI(A;;FA;;;SY)");
}

TEST_F(RestoreTest, MalformedSddlEndsTheRestoreUnlessErrorsAreIgnored) {
    MakeFile("one.txt");
    MakeFile("two.txt");
    ASSERT_EQ(SetSddl(L"C:\\two.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;WD)"), ERROR_SUCCESS);
    WriteBytes(BackupPath(), Utf16File(L"\"\\\\?\\C:\\one.txt\",1,\"D:P(A;;FA;;;BA)\"\r\n"
                                       L"\"\\\\?\\C:\\bad.txt\",1,\"D:P(A;;NOT_A_RIGHT;;;BA)\"\r\n"
                                       L"\"\\\\?\\C:\\two.txt\",1,\"D:P(A;;FA;;;SY)\"\r\n"));
    EXPECT_EQ(Restore(), RTN_ERR_SD_CONVERT);
    EXPECT_NE(lastOsError_, 0u);
    EXPECT_EQ(DaclSddl(L"C:\\one.txt"), L"D:PAI(A;;FA;;;BA)");
    EXPECT_EQ(DaclSddl(L"C:\\two.txt"), L"D:PAI(A;;FA;;;WD)");
    EXPECT_TRUE(HasMessage(L"Restoring ACL of: <\\\\?\\C:\\bad.txt>"));

    messages.clear();
    EXPECT_EQ(Restore("backup.txt", TRUE), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"ERROR: Restoring ACL of <\\\\?\\C:\\bad.txt>: ").size(), 1u);
    EXPECT_EQ(DaclSddl(L"C:\\two.txt"), L"D:PAI(A;;FA;;;SY)");
}

TEST_F(RestoreTest, FileLevelFailures) {
    auto job = NewJob();
    job->SetObject(L"C:\\", SE_FILE_OBJECT);
    EXPECT_EQ(job->RestoreFromFile(), RTN_ERR_NO_BACKUP_FILE);

    EXPECT_EQ(Restore("does-not-exist.txt"), RTN_ERR_OPEN_BACKUP_FILE);
    WriteBytes(BackupPath("empty.txt"), "");
    EXPECT_EQ(Restore("empty.txt"), RTN_ERR_READ_BACKUP_FILE);
    WriteBytes(BackupPath("one.txt"), "\xFF");
    EXPECT_EQ(Restore("one.txt"), RTN_ERR_READ_BACKUP_FILE);

    messages.clear();
    WriteBytes(BackupPath("mark.txt"), "\xFF\xFE");
    EXPECT_EQ(Restore("mark.txt"), RTN_OK);
    EXPECT_TRUE(HasMessage(L"Input file for restore operation: <" + BackupName("mark.txt") + L"> detected as Unicode."));
    EXPECT_TRUE(MessagesStartingWith(L"Restoring ACL of").empty());

    // A directory opens on Linux but cannot be read: no silent success.
    std::filesystem::create_directories(BackupPath("dir.txt"));
    EXPECT_NE(Restore("dir.txt"), RTN_OK);
}

TEST_F(RestoreTest, EightBitFilesAreReadAsUtf8) {
    MakeFile("\xC3\xA9t\xC3\xA9.txt");
    const std::wstring name = L"C:\\\u00e9t\u00e9.txt";
    ASSERT_EQ(SetSddl(name, SE_FILE_OBJECT, L"D:P(A;;FA;;;WD)"), ERROR_SUCCESS);
    WriteBytes(BackupPath(), "\"\\\\?\\C:\\\xC3\xA9t\xC3\xA9.txt\",1,\"D:P(A;;FA;;;SY)\"\r\n");
    ASSERT_EQ(Restore(), RTN_OK);
    EXPECT_TRUE(HasMessage(L"Restoring ACL of: <\\\\?\\" + name + L">"));
    EXPECT_EQ(DaclSddl(name), L"D:PAI(A;;FA;;;SY)");
}

TEST_F(RestoreTest, BigEndianOrUnmarkedUtf16IsEightBitTextAndWritesNothing) {
    MakeFile("t.txt");
    ASSERT_EQ(SetSddl(L"C:\\t.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;WD)"), ERROR_SUCCESS);
    const std::wstring entry = L"\"\\\\?\\C:\\t.txt\",1,\"D:P(A;;FA;;;SY)\"\r\n";
    WriteBytes(BackupPath("plain16.txt"), Utf16(entry));
    std::string bigEndian = "\xFE\xFF";
    for (wchar_t c : entry) bigEndian += std::string{static_cast<char>(0), static_cast<char>(c)};
    WriteBytes(BackupPath("be.txt"), bigEndian);
    for (const char* name : {"plain16.txt", "be.txt"}) {
        messages.clear();
        Restore(name, TRUE);
        EXPECT_TRUE(HasMessage(L"Input file for restore operation: <" + BackupName(name) + L"> detected as ANSI."));
        EXPECT_EQ(DaclSddl(L"C:\\t.txt"), L"D:PAI(A;;FA;;;WD)") << name;
    }
}

TEST_F(RestoreTest, TheRestOfAnOverlongLineIsNeverAnEntry) {
    MakeFile("victim.txt");
    MakeFile("after.txt");
    ASSERT_EQ(SetSddl(L"C:\\victim.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;SY)"), ERROR_SUCCESS);
    // A long name pushes a complete entry for another object past the
    // point where a line is cut.
    const std::wstring head = L"\"\\\\?\\C:\\" + std::wstring(kMaxBackupLineUnits - 8, L'x');
    const std::wstring smuggled = L"\"\\\\?\\C:\\victim.txt\",1,\"D:P(A;;FA;;;WD)\"";
    WriteBytes(BackupPath(), Utf16File(head + smuggled + L"\r\n\"\\\\?\\C:\\after.txt\",1,\"D:P(A;;FA;;;BA)\"\r\n"));

    EXPECT_EQ(Restore(), RTN_ERR_SD_CONVERT);
    EXPECT_EQ(lastOsError_, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(DaclSddl(L"C:\\victim.txt"), L"D:PAI(A;;FA;;;SY)");

    messages.clear();
    EXPECT_EQ(Restore("backup.txt", TRUE), RTN_OK);
    EXPECT_EQ(DaclSddl(L"C:\\victim.txt"), L"D:PAI(A;;FA;;;SY)");
    EXPECT_EQ(DaclSddl(L"C:\\after.txt"), L"D:PAI(A;;FA;;;BA)") << "the next real line is read";
    EXPECT_TRUE(MessagesStartingWith(L"Restoring ACL of: <\\\\?\\C:\\victim.txt>").empty());
}

TEST_F(RestoreTest, DamagedAndLookalikeLinesWriteNothing) {
    MakeFile("t.txt");
    ASSERT_EQ(SetSddl(L"C:\\t.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;SY)"), ERROR_SUCCESS);
    const std::string good = Utf16(L"\"\\\\?\\C:\\t.txt\",1,\"D:P(A;;FA;;;WD)\"\r\n");
    const std::vector<std::string> damaged = {
        // An unpaired surrogate inside the name.
        Utf16(L"\"\\\\?\\C:\\t") + std::string("\x00\xD8", 2) + Utf16(L".txt\",1,\"D:P(A;;FA;;;WD)\"\r\n"),
        // A NUL inside the name.
        Utf16(L"\"\\\\?\\C:\\t.txt") + std::string(2, '\0') + Utf16(L"\",1,\"D:P(A;;FA;;;WD)\"\r\n"),
        // A UTF-8 line in a UTF-16 file.
        std::string("\"\\\\?\\C:\\t.txt\",1,\"D:P(A;;FA;;;WD)\"\r\n"),
        // Lookalikes: a type that is no number, no closing quote.
        Utf16(L"\"\\\\?\\C:\\t.txt\",1x,\"D:P(A;;FA;;;WD)\"\r\n"),
        Utf16(L"\"\\\\?\\C:\\t.txt\",1,\"D:P(A;;FA;;;WD)\r\n"),
    };
    for (size_t i = 0; i < damaged.size(); ++i) {
        WriteBytes(BackupPath(), std::string("\xFF\xFE", 2) + damaged[i]);
        EXPECT_EQ(Restore("backup.txt", TRUE), RTN_OK) << i;
        EXPECT_EQ(DaclSddl(L"C:\\t.txt"), L"D:PAI(A;;FA;;;SY)") << i;
        EXPECT_EQ(Restore(), RTN_ERR_SD_CONVERT) << i;
    }
    // The same entry intact is written.
    WriteBytes(BackupPath(), std::string("\xFF\xFE", 2) + good);
    EXPECT_EQ(Restore(), RTN_OK);
    EXPECT_EQ(DaclSddl(L"C:\\t.txt"), L"D:PAI(A;;FA;;;WD)");
}

TEST_F(RestoreTest, LinesNamingNothingFailAtTheWrite) {
    // A line whose name field is empty names no object: the write refuses
    // the empty name.
    WriteBytes(BackupPath(), Utf16File(L"\",1,\"D:P(A;;FA;;;BA)\"\r\n"));
    EXPECT_EQ(Restore(), RTN_ERR_PARAMETER);
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR writing SD to <>: "));
    EXPECT_EQ(Restore("backup.txt", TRUE), RTN_OK);
}

TEST_F(RestoreTest, GarbageFilesNeverCrashNorWrite) {
    MakeFile("t.txt");
    ASSERT_EQ(SetSddl(L"C:\\t.txt", SE_FILE_OBJECT, L"D:P(A;;FA;;;SY)"), ERROR_SUCCESS);
    std::string garbage;
    unsigned state = 12345;
    for (int i = 0; i < 50000; ++i) {
        state = state * 1103515245u + 12345u;
        garbage += static_cast<char>(state >> 16);
    }
    for (const std::string& prefix : {std::string("\xFF\xFE", 2), std::string()}) {
        WriteBytes(BackupPath(), prefix + garbage);
        Restore("backup.txt", TRUE);
        EXPECT_EQ(DaclSddl(L"C:\\t.txt"), L"D:PAI(A;;FA;;;SY)");
    }
}

}  // namespace
}  // namespace tavrik::test
