// tavrik orphans and undo files, end to end through the built program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;
namespace admin = winapi::machine;
using nlohmann::json;

std::vector<json> Records(const std::string& out, const std::string& kind) {
    std::vector<json> records;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        json record = json::parse(line, nullptr, false);
        EXPECT_TRUE(record.is_object()) << "not a JSON object: " << line;
        if (record.is_object() && record.value("record", "") == kind) records.push_back(std::move(record));
    }
    return records;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class TreeCommands : public ::testing::Test {
protected:
    TreeCommands() {
        fs::create_directories(machine.DriveC() + "/data/sub");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    }
    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); }
    // The explicit entries, owner, group and protection of every object of
    // the tree: what a restore puts back (inherited entries it recomputes
    // from the parent, and it marks the DACL auto-inherited as it does so).
    std::string Tree() {
        auto r = Run({"list", "C:\\data", "--recurse", "--what", "dacl,owner,group", "--explicit", "--names", "sid",
                      "--quiet"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string text = r.out;
        for (size_t at; (at = text.find("+auto_inherited")) != std::string::npos;) text.erase(at, 15);
        return text;
    }
    std::string StateFolder() const { return machine.Folder() + "/state/tavrik/undo"; }
    TempMachine machine;
};

TEST_F(TreeCommands, OrphansAreGroupedBySidAndAnUnreachableDomainIsNeverAnOrphan) {
    admin::ComputerSpec dc;
    dc.name = L"FARDC";
    dc.role = 5;
    dc.domain = L"FARDOM";
    admin::AddComputer(dc);
    admin::AddDomain({L"FARDOM", L"", L"FARDC", L"S-1-5-21-7-8-9"});
    const std::string local = Narrow(admin::AddAccount(L"TESTPC", L"leaver", admin::AccountKind::User));
    const std::string far = Narrow(admin::AddAccount(L"FARDOM", L"roamer", admin::AccountKind::User));
    ASSERT_EQ(Run({"grant", "C:\\data", local, "read", "--inherit", "oi,ci"}).exitCode, 0);
    ASSERT_EQ(Run({"grant", "C:\\data\\sub\\notes.txt", far, "read"}).exitCode, 0);
    ASSERT_EQ(Run({"owner", "C:\\data\\report.txt", local}).exitCode, 0);
    admin::RemoveAccount(L"TESTPC", L"leaver");
    admin::RemoveAccount(L"FARDOM", L"roamer");
    admin::SetComputerReachable(L"FARDC", false);

    auto r = Run({"orphans", "C:\\data", "--recurse", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto orphans = Records(r.out, "orphan");
    ASSERT_EQ(orphans.size(), 1u) << r.out;
    EXPECT_EQ(orphans[0]["sid"], local);
    EXPECT_EQ(orphans[0]["objects"], 4);
    EXPECT_EQ(orphans[0]["explicit_entries"], 1);
    EXPECT_EQ(orphans[0]["inherited_entries"], 3);
    EXPECT_EQ(orphans[0]["owner_of"], 1);
    EXPECT_EQ(orphans[0]["explicit_at"], json::array({"\\\\?\\C:\\data"}));
    EXPECT_EQ(orphans[0]["inherited_from"], json::array({"\\\\?\\C:\\data"}));
    auto unresolved = Records(r.out, "unresolved");
    ASSERT_EQ(unresolved.size(), 1u) << r.out;
    EXPECT_EQ(unresolved[0]["sid"], far);
    EXPECT_NE(unresolved[0]["lookup_error"], 0);

    // --remove takes the explicit entry away at the holder (and its
    // inherited copies with it), and leaves the unreachable domain's entry
    // and the owner alone.
    auto removed = Run({"orphans", "C:\\data", "--recurse", "--remove"});
    ASSERT_EQ(removed.exitCode, 0) << removed.err << removed.out;
    EXPECT_NE(removed.out.find("Not checked"), std::string::npos) << removed.out;
    const std::string tree = Tree();
    EXPECT_EQ(tree.find(local + ",read"), std::string::npos) << tree;
    EXPECT_NE(tree.find("Owner:" + local), std::string::npos) << tree;
    EXPECT_NE(tree.find(far + ",read"), std::string::npos) << tree;

    // Once the domain answers again, its deleted account is an orphan too.
    admin::SetComputerReachable(L"FARDC", true);
    r = Run({"orphans", "C:\\data", "--recurse", "--json"});
    orphans = Records(r.out, "orphan");
    ASSERT_EQ(orphans.size(), 2u) << r.out;
    EXPECT_TRUE(Records(r.out, "unresolved").empty());
    // A lookup that fails for any reason is not taken for an answer.
    admin::InjectFault("LookupAccountSidW", RPC_S_SERVER_UNAVAILABLE);
    r = Run({"orphans", "C:\\data", "--recurse", "--json"});
    EXPECT_TRUE(Records(r.out, "orphan").empty()) << r.out;
}

TEST_F(TreeCommands, UndoPutsBackExactlyWhatTheJobChangedAndWalksBackJobByJob) {
    const std::string before = Tree();
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse"}).exitCode, 0);
    const std::string afterGrant = Tree();
    ASSERT_NE(afterGrant, before);
    ASSERT_EQ(Run({"owner", "C:\\data\\report.txt", "BUILTIN\\Administrators"}).exitCode, 0);
    ASSERT_EQ(Run({"grant", "C:\\data", "Guest", "read", "--dry-run"}).exitCode, 0);  // keeps no file

    auto list = Run({"undo", "--list", "--json"});
    auto files = Records(list.out, "undo_file");
    ASSERT_EQ(files.size(), 2u) << list.out;
    EXPECT_EQ(files[0]["command"], "owner");
    EXPECT_EQ(files[0]["objects"], 1);
    EXPECT_EQ(files[1]["command"], "grant");
    EXPECT_EQ(files[1]["objects"], 4);

    auto undo = Run({"undo"});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(Tree(), afterGrant);
    undo = Run({"undo"});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(Tree(), before);
    files = Records(Run({"undo", "--list", "--json"}).out, "undo_file");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files[0]["undone"] && files[1]["undone"]);
    EXPECT_EQ(Run({"undo"}).exitCode, 33) << "nothing is left to undo";
}

TEST_F(TreeCommands, AJobStoppedMidwayLeavesAnUndoFileThatRestoresTheTree) {
    const std::string before = Tree();
    const std::string undoFile = machine.Folder() + "/stopped.undo";
    admin::InjectFault("SetNamedSecurityInfoW", ERROR_WRITE_FAULT, -1, L"\\\\?\\C:\\data\\sub\\notes.txt");
    auto stopped = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse", "--undo", undoFile});
    ASSERT_EQ(stopped.exitCode, 25) << stopped.err;
    admin::ClearFaults();
    ASSERT_NE(Tree(), before);
    auto restored = Run({"restore", undoFile, "--no-undo"});
    ASSERT_EQ(restored.exitCode, 0) << restored.err;
    EXPECT_EQ(Tree(), before);
    EXPECT_FALSE(fs::exists(StateFolder())) << "--undo FILE and --no-undo keep nothing in the state directory";

    // An undo file that cannot be written stops the job before any change.
    auto refused = Run({"grant", "C:\\data", "BUILTIN\\Users", "full", "--undo", machine.Folder() + "/no/such/dir/u"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_EQ(Tree(), before);
}

TEST_F(TreeCommands, TheStateDirectoryKeepsTheLastTenJobs) {
    // Each job changes the file (a job that changes nothing keeps no file).
    for (int i = 0; i < 12; ++i) {
        auto job = i % 2 ? Run({"revoke", "C:\\data\\report.txt", "BUILTIN\\Users"})
                         : Run({"grant", "C:\\data\\report.txt", "BUILTIN\\Users", "write"});
        ASSERT_EQ(job.exitCode, 0) << job.err;
    }
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(StateFolder())) count += entry.is_regular_file();
    EXPECT_EQ(count, 10u);
}

}  // namespace
}  // namespace tavrik::test
