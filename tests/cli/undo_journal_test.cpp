// The undo file as a host of the engine uses it: each object's record is in
// the file before its change, and a record the file cannot take stops that
// change, so the file always puts back exactly what was changed.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <map>

#include "cli/undo_journal.h"
#include "engine/utf16_file.h"
#include "support/computer_test.h"
#include "support/privileges.h"
#include "support/sddl_access.h"

namespace tavrik::test {
namespace {

class UndoJournalTest : public ComputerTest {
protected:
    std::unique_ptr<CTavrik> NewJob() {
        return std::make_unique<CTavrik>([this](const std::wstring& line) { messages.push_back(line); });
    }
    std::map<std::wstring, std::wstring> Dacls() {
        EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME, SE_TAKE_OWNERSHIP_NAME});
        std::map<std::wstring, std::wstring> dacls;
        for (const auto& name : names) dacls[name] = ReadSddl(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION);
        return dacls;
    }
    static std::string ReadBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::wstring> names;
};

TEST_F(UndoJournalTest, ARecordTheFileCannotTakeStopsTheChangeAndTheFileUndoesTheRest) {
    names.push_back(MakeDirectory("data"));
    for (int i = 0; i < 30; ++i) names.push_back(MakeFile("data/f" + std::to_string(100 + i)));
    // Every object holds a descriptor of its own: alike but for a few.
    EnablePrivileges({SE_RESTORE_NAME});
    for (size_t i = 0; i < names.size(); ++i) {
        const bool odd = i == 3 || i == 4 || i == 9;
        const wchar_t* sddl = i == 0 ? L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"
                              : odd  ? L"D:P(A;;FA;;;BA)(A;;FR;;;WD)"
                                     : L"D:(A;;FR;;;WD)";
        ASSERT_EQ(WriteSddl(names[i], SE_FILE_OBJECT, sddl, DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    }
    const auto before = Dacls();

    // The job walks the tree, or writes the directory alone and its new
    // entry reaches the files through what the directory hands down.
    const struct {
        const char* what;
        DWORD recursion;
        DWORD inheritance;
    } jobs[] = {
        {"recursive", RECURSE_CONTAINERS | RECURSE_OBJECTS, 0},
        {"the directory alone", RECURSE_NONE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
    };
    for (const auto& kind : jobs) {
        SCOPED_TRACE(kind.what);
        messages.clear();
        const std::string undoPath = machine_.Folder() + "/job.undo";
        cli::UndoJournal journal;
        ASSERT_TRUE(journal.Open(std::wstring(undoPath.begin(), undoPath.end())));
        auto job = NewJob();
        job->SetObject(L"C:\\data", SE_FILE_OBJECT);
        job->SetRecursion(kind.recursion);
        job->SetAction(ACTION_ADD_ACE);
        job->AddACE(L"BUILTIN\\Users", FALSE, L"read_ex", kind.inheritance, FALSE, GRANT_ACCESS, ACL_DACL);
        journal.Attach(*job);

        // Room for the mark and about a dozen records.
        struct rlimit saved = {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = 2000;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const DWORD result = job->Run();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        const long records = journal.records();
        journal.Close(false);

        EXPECT_EQ(result, RTN_ERR_WRITE_OUTPUT);
        EXPECT_FALSE(MessagesStartingWith(L"ERROR writing the undo record of <").empty());
        ASSERT_GT(records, 2);
        ASSERT_LT(records, static_cast<long>(names.size()));
        // Whole records only, one per object the job changed, and no change
        // without one: the directory's new entry reaches the files below it
        // as an inherited one only with their records, the walk's files and
        // those its propagation changes alike.
        const std::string file = ReadBytes(undoPath);
        ASSERT_GE(file.size(), 6u);
        EXPECT_EQ(file.substr(file.size() - 4), ToUtf16LeBytes(L"\r\n"));
        const auto after = Dacls();
        long changed = 0;
        for (const auto& name : names) {
            const bool inFile = file.find(ToUtf16LeBytes(L"\"\\\\?\\" + name + L"\",1,\"")) != std::string::npos;
            const std::wstring& dacl = after.at(name);
            const bool written = dacl.find(L"(A;;0x1200a9;;;BU)") != std::wstring::npos ||
                                 dacl.find(L"(A;ID;0x1200a9;;;BU)") != std::wstring::npos ||
                                 dacl.find(L"(A;OICI;0x1200a9;;;BU)") != std::wstring::npos;
            EXPECT_EQ(inFile, written) << std::string(name.begin(), name.end()) << " " << std::string(dacl.begin(), dacl.end());
            changed += written;
        }
        EXPECT_EQ(changed, records);

        // The file puts back every object the job changed.
        auto restore = NewJob();
        restore->SetObject(std::wstring(undoPath.begin(), undoPath.end()), SE_FILE_OBJECT);
        restore->SetAction(ACTION_RESTORE);
        restore->SetBackupFile(std::wstring(undoPath.begin(), undoPath.end()));
        ASSERT_EQ(restore->Run(), RTN_OK);
        EXPECT_EQ(Dacls(), before);
    }
}

// A job records only what it changes: an object it leaves as it is (a grant
// it already holds) gets no record, so the same grant again leaves an empty
// file, and the records it holds are those of the objects that changed.
TEST_F(UndoJournalTest, OnlyTheObjectsAJobChangesAreRecorded) {
    names.push_back(MakeDirectory("data"));
    for (int i = 0; i < 6; ++i) names.push_back(MakeFile("data/f" + std::to_string(i)));
    EnablePrivileges({SE_RESTORE_NAME});
    for (const auto& name : names) {
        ASSERT_EQ(WriteSddl(name, SE_FILE_OBJECT, L"D:(A;;FR;;;WD)", DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    }
    auto grant = [this](const std::string& undoPath) {
        cli::UndoJournal journal;
        EXPECT_TRUE(journal.Open(std::wstring(undoPath.begin(), undoPath.end())));
        auto job = NewJob();
        job->SetObject(L"C:\\data", SE_FILE_OBJECT);
        job->SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
        job->SetAction(ACTION_ADD_ACE);
        job->AddACE(L"BUILTIN\\Users", FALSE, L"read_ex", 0, FALSE, GRANT_ACCESS, ACL_DACL);
        journal.Attach(*job);
        EXPECT_EQ(job->Run(), RTN_OK);
        const long records = journal.records();
        journal.Close(false);
        return records;
    };
    const std::string first = machine_.Folder() + "/first.undo";
    EXPECT_EQ(grant(first), static_cast<long>(names.size()));
    const auto granted = Dacls();

    const std::string again = machine_.Folder() + "/again.undo";
    EXPECT_EQ(grant(again), 0);
    EXPECT_EQ(Dacls(), granted);

    // Two files lose the grant; the job gives it back to them alone.
    EnablePrivileges({SE_RESTORE_NAME});
    for (size_t i : {2, 5}) {
        ASSERT_EQ(WriteSddl(names[i], SE_FILE_OBJECT, L"D:(A;;FR;;;WD)", DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    }
    const auto partly = Dacls();
    const std::string some = machine_.Folder() + "/some.undo";
    EXPECT_EQ(grant(some), 2);
    EXPECT_EQ(Dacls(), granted);
    const std::string file = ReadBytes(some);
    for (size_t i = 0; i < names.size(); ++i) {
        const bool inFile = file.find(ToUtf16LeBytes(L"\"\\\\?\\" + names[i] + L"\",1,\"")) != std::string::npos;
        EXPECT_EQ(inFile, i == 2 || i == 5) << std::string(names[i].begin(), names[i].end());
    }
    auto restore = NewJob();
    restore->SetObject(std::wstring(some.begin(), some.end()), SE_FILE_OBJECT);
    restore->SetAction(ACTION_RESTORE);
    restore->SetBackupFile(std::wstring(some.begin(), some.end()));
    ASSERT_EQ(restore->Run(), RTN_OK);
    EXPECT_EQ(Dacls(), partly);
}

}  // namespace
}  // namespace tavrik::test
