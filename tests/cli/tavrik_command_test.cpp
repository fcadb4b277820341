// The tavrik program end to end, run as a new user would run it, on a
// temporary simulated computer whose drive C: is a scratch directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

const char kSuccess[] = "\nTavrik finished successfully.\n";

class TavrikCommand : public ::testing::Test {
protected:
    TavrikCommand() {
        fs::create_directories(machine.DriveC() + "/data/sub");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    }

    CommandResult Run(const std::vector<std::string>& args, const std::string& cwd = {}) {
        return RunTavrik(args, machine.DatabasePath(), cwd);
    }

    // The SDDL of one object's parts, read with `tavrik list`.
    std::string Sddl(const std::string& object, const std::string& what = "dacl",
                     const std::string& type = "file") {
        auto r = Run({"list", object, "--type", type, "--format", "sddl", "--what", what, "--quiet"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        // "name",type,"SDDL"
        auto firstLine = r.out.substr(0, r.out.find('\n'));
        auto start = firstLine.find(",\"");
        auto end = firstLine.rfind('"');
        if (start == std::string::npos || end == std::string::npos || end <= start + 2) return "<no record>";
        return firstLine.substr(start + 2, end - start - 2);
    }

    TempMachine machine;
};

TEST_F(TavrikCommand, RecursiveGrantReportsEveryObjectAndSucceeds) {
    auto r = Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex", "--recurse"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Processing ACL of: <\\\\?\\C:\\data>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Processing ACL of: <\\\\?\\C:\\data\\sub\\notes.txt>"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.size() >= sizeof kSuccess - 1 &&
                r.out.compare(r.out.size() - (sizeof kSuccess - 1), std::string::npos, kSuccess) == 0)
        << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_NE(Sddl("C:\\data").find("(A;OICI;0x1200a9;;;BU)"), std::string::npos);
}

TEST_F(TavrikCommand, FailuresExitWithTheEngineCodeAndReportOnStderr) {
    struct Case {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{"grant", "C:\\data", "BUILTIN\\Users", "read,bogus"}, 7},          // unknown file keyword
        {{"grant", "C:\\data", "NOSUCHDOMAIN\\nobody", "read"}, 6},          // unresolvable trustee
        {{"grant", "C:\\missing", "BUILTIN\\Users", "read", "--recurse"}, 16},  // nothing to enumerate
        {{"restore", "/nonexistent/backup.txt"}, 34},                        // unreadable backup file
        {{"grant", "HKLM\\SOFTWARE", "BUILTIN\\Users", "start_stop", "--type", "registry"}, 9},
    };
    for (const auto& c : cases) {
        auto r = Run(c.args);
        EXPECT_EQ(r.exitCode, c.code) << c.args[0] << " " << c.args[1] << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find("\nTavrik finished with error(s): \nTavrik error message: "), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("Tavrik finished successfully."), std::string::npos);
    }
}

TEST_F(TavrikCommand, CommandLineMistakesAreRefusedBeforeAnyJob) {
    EXPECT_NE(Run({"grant", "C:\\data"}).exitCode, 0);                                        // no trustee
    EXPECT_NE(Run({"grant", "C:\\data", "Users", "read", "--inherit", "17"}).exitCode, 0);    // bad flags
    EXPECT_NE(Run({"grant", "C:\\data", "Users", "read", "--type", "mailbox"}).exitCode, 0);  // bad type
    EXPECT_NE(Run({"list", "C:\\data", "--what", "everything"}).exitCode, 0);
    EXPECT_NE(Run({"frobnicate"}).exitCode, 0);
}

TEST_F(TavrikCommand, HelpShowsSubcommandsAndExamples) {
    auto top = Run({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const char* name : {"grant", "deny", "revoke", "audit", "list", "backup", "restore", "owner", "protect",
                             "reset-children", "trustee", "domain", "run", "sddl"})
        EXPECT_NE(top.out.find(name), std::string::npos) << name;
    auto grant = Run({"grant", "--help"});
    EXPECT_EQ(grant.exitCode, 0);
    EXPECT_NE(grant.out.find("Example"), std::string::npos);
}

TEST_F(TavrikCommand, BackupChangeRestoreBringsEveryDescriptorBack) {
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex"}).exitCode, 0);
    const std::string dataBefore = Sddl("C:\\data", "dacl,owner,group");
    const std::string subBefore = Sddl("C:\\data\\sub", "dacl,owner,group");
    const std::string backup = machine.Folder() + "/backup.txt";
    auto saved = Run({"backup", "C:\\data", backup, "--recurse"});
    ASSERT_EQ(saved.exitCode, 0) << saved.err;

    std::ifstream in(backup, std::ios::binary);
    char bom[2] = {};
    in.read(bom, 2);
    EXPECT_EQ(static_cast<unsigned char>(bom[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bom[1]), 0xFE);

    ASSERT_EQ(Run({"deny", "C:\\data", "Guest", "full"}).exitCode, 0);
    ASSERT_EQ(Run({"protect", "C:\\data\\sub", "--dacl", "remove"}).exitCode, 0);
    ASSERT_NE(Sddl("C:\\data", "dacl,owner,group"), dataBefore);
    ASSERT_NE(Sddl("C:\\data\\sub", "dacl,owner,group"), subBefore);

    auto restored = Run({"restore", backup});
    ASSERT_EQ(restored.exitCode, 0) << restored.err;
    EXPECT_NE(restored.out.find("detected as Unicode."), std::string::npos);
    EXPECT_EQ(Sddl("C:\\data", "dacl,owner,group"), dataBefore);
    EXPECT_EQ(Sddl("C:\\data\\sub", "dacl,owner,group"), subBefore);
}

TEST_F(TavrikCommand, HostPathsInsideADriveBecomeDrivePaths) {
    auto absolute = Run({"deny", machine.DriveC() + "/data/sub", "Guest", "write"});
    ASSERT_EQ(absolute.exitCode, 0) << absolute.err;
    EXPECT_NE(absolute.out.find("<\\\\?\\C:\\data\\sub>"), std::string::npos) << absolute.out;
    auto relative = Run({"grant", "report.txt", "BUILTIN\\Users", "read"}, machine.DriveC() + "/data");
    ASSERT_EQ(relative.exitCode, 0) << relative.err;
    EXPECT_NE(relative.out.find("<\\\\?\\C:\\data\\report.txt>"), std::string::npos) << relative.out;

    auto outside = Run({"grant", "/", "BUILTIN\\Users", "read"}, "/");
    EXPECT_EQ(outside.exitCode, 3);
    EXPECT_NE(outside.err.find("not inside a drive"), std::string::npos) << outside.err;
}

TEST_F(TavrikCommand, DryRunShowsTheChangeAndWritesNothing) {
    const std::string before = Sddl("C:\\data");
    auto r = Run({"grant", "C:\\data", "BUILTIN\\Users", "full", "--dry-run"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Would change <\\\\?\\C:\\data>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(A;OICI;FA;;;BU)"), std::string::npos) << r.out;
    EXPECT_EQ(Sddl("C:\\data"), before);
}

TEST_F(TavrikCommand, QuietKeepsOnlyErrorsRecordsAndTheSummary) {
    auto r = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse", "--quiet"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.find("Processing ACL of"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Tavrik finished successfully."), std::string::npos);
}

TEST_F(TavrikCommand, OwnerProtectionAndResetChildren) {
    ASSERT_EQ(Run({"owner", "C:\\data", "BUILTIN\\Administrators"}).exitCode, 0);
    EXPECT_EQ(Sddl("C:\\data", "owner"), "O:BA");

    ASSERT_EQ(Run({"deny", "C:\\data\\sub", "Guest", "write"}).exitCode, 0);
    ASSERT_EQ(Run({"protect", "C:\\data\\sub", "--dacl", "keep"}).exitCode, 0);
    EXPECT_EQ(Sddl("C:\\data\\sub").rfind("D:PAI(", 0), 0u) << Sddl("C:\\data\\sub");

    const std::string top = Sddl("C:\\data");
    ASSERT_EQ(Run({"reset-children", "C:\\data"}).exitCode, 0);
    EXPECT_EQ(Sddl("C:\\data"), top);
    const std::string sub = Sddl("C:\\data\\sub");
    EXPECT_EQ(sub.rfind("D:AI", 0), 0u) << sub;       // inherits again
    EXPECT_EQ(sub.find(";;;LG)"), std::string::npos);  // the Guest entry is gone
}

TEST_F(TavrikCommand, TrusteeReplaceMovesTheEntryToTheNewAccount) {
    const std::wstring alice = winapi::machine::AddAccount(L"TESTPC", L"alice", winapi::machine::AccountKind::User);
    const std::wstring bob = winapi::machine::AddAccount(L"TESTPC", L"bob", winapi::machine::AccountKind::User);
    ASSERT_EQ(Run({"grant", "C:\\data", "TESTPC\\alice", "change"}).exitCode, 0);
    auto r = Run({"trustee", "replace", "C:\\data", "TESTPC\\alice", "TESTPC\\bob"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string sddl = Sddl("C:\\data");
    const std::string bobText(bob.begin(), bob.end()), aliceText(alice.begin(), alice.end());
    EXPECT_NE(sddl.find(bobText), std::string::npos) << sddl;
    EXPECT_EQ(sddl.find(aliceText), std::string::npos) << sddl;
}

TEST_F(TavrikCommand, DomainMigrateMovesEntriesToTheSameNamedAccounts) {
    using namespace winapi::machine;
    AddComputer({.name = L"DC1", .role = 5, .domain = L"OLDDOM"});
    AddComputer({.name = L"DC2", .role = 5, .domain = L"NEWDOM"});
    AddDomain({.flatName = L"OLDDOM", .controller = L"DC1"});
    AddDomain({.flatName = L"NEWDOM", .controller = L"DC2"});
    const std::wstring oldJane = AddAccount(L"OLDDOM", L"jane", AccountKind::User);
    const std::wstring newJane = AddAccount(L"NEWDOM", L"jane", AccountKind::User);
    ASSERT_EQ(Run({"grant", "C:\\data", "OLDDOM\\jane", "read"}).exitCode, 0);
    auto r = Run({"domain", "migrate", "C:\\data", "OLDDOM", "NEWDOM"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string sddl = Sddl("C:\\data");
    EXPECT_NE(sddl.find(std::string(newJane.begin(), newJane.end())), std::string::npos) << sddl;
    EXPECT_EQ(sddl.find(std::string(oldJane.begin(), oldJane.end())), std::string::npos) << sddl;
}

TEST_F(TavrikCommand, ListFormatsAndRegistryKeys) {
    auto text = Run({"list", "C:\\data", "--format", "text", "--what", "dacl,owner"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("\\\\?\\C:\\data\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("   Owner: "), std::string::npos) << text.out;
    auto key = Run({"list", "HKLM\\SOFTWARE", "--type", "registry", "--format", "sddl"});
    ASSERT_EQ(key.exitCode, 0) << key.err;
    EXPECT_NE(key.out.find("\"machine\\SOFTWARE\",4,\"D:"), std::string::npos) << key.out;
}

TEST_F(TavrikCommand, SddlPrintsTheCanonicalFormOrRefuses) {
    auto ok = Run({"sddl", "d:(a;;ga;;;wd)"});
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.out, "D:(A;;GA;;;WD)\n");
    auto bad = Run({"sddl", "D:(A;;GA;;)"});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_NE(bad.err.find("not a valid security descriptor"), std::string::npos);
}

}  // namespace
}  // namespace tavrik::test
