// tavrik verify, restore --changed-only and restore elsewhere (--map,
// --sid-map, --substitute), end to end through the built program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

class VerifyAndRestoreElsewhere : public ::testing::Test {
protected:
    VerifyAndRestoreElsewhere() {
        fs::create_directories(machine.DriveC() + "/data/sub");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
        // Every object written once, so each carries inherited entries as
        // a restore leaves them.
        EXPECT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex", "--recurse"}).exitCode, 0);
    }

    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); }

    std::string Sddl(const std::string& object, const std::string& what = "dacl") {
        auto r = Run({"list", object, "--format", "sddl", "--what", what, "--quiet"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const auto start = r.out.find(",\""), end = r.out.find("\"\n");
        return start == std::string::npos || end == std::string::npos ? "<no record>"
                                                                     : r.out.substr(start + 2, end - start - 2);
    }

    std::string Backup(const std::string& what = "dacl,owner,group") {
        const std::string file = machine.Folder() + "/backup.txt";
        EXPECT_EQ(Run({"backup", "C:\\data", file, "--recurse", "--what", what}).exitCode, 0);
        return file;
    }

    // Two domains whose accounts of the same name have the same RID, and
    // one account (RID 1106) only the old domain has.
    void AddDomains() {
        using namespace winapi::machine;
        for (const auto& [controller, domain, sid] :
             {std::tuple{L"DC1", L"OLDDOM", L"S-1-5-21-1-2-3"}, std::tuple{L"DC2", L"NEWDOM", L"S-1-5-21-4-5-6"}}) {
            ComputerSpec computer;
            computer.name = controller;
            computer.role = 5;
            computer.domain = domain;
            AddComputer(computer);
            DomainSpec newDomain;
            newDomain.flatName = domain;
            newDomain.controller = controller;
            newDomain.domainSid = sid;
            AddDomain(newDomain);
            AddAccount(domain, L"jane", AccountKind::User, 1105);
        }
        AddAccount(L"OLDDOM", L"bob", AccountKind::User, 1106);
    }

    TempMachine machine;
};

TEST_F(VerifyAndRestoreElsewhere, VerifySaysSameDiffersOrMissingPerObjectAndExitsZeroOnlyWhenAllAreSame) {
    const std::string backup = Backup();
    auto clean = Run({"verify", backup});
    ASSERT_EQ(clean.exitCode, 0) << clean.out << clean.err;
    EXPECT_NE(clean.out.find("Same: <\\\\?\\C:\\data\\sub\\notes.txt>\n"), std::string::npos) << clean.out;
    EXPECT_NE(clean.out.find("Verified 4 objects: 4 same, 0 differ, 0 missing.\n"), std::string::npos) << clean.out;

    ASSERT_EQ(Run({"grant", "C:\\data\\report.txt", "Guest", "read"}).exitCode, 0);
    ASSERT_EQ(Run({"owner", "C:\\data\\sub", "BUILTIN\\Administrators"}).exitCode, 0);
    fs::remove(machine.DriveC() + "/data/sub/notes.txt");
    const std::string changed = Sddl("C:\\data\\report.txt");
    auto r = Run({"verify", backup, "--quiet"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.out.find("Same:"), std::string::npos) << r.out;  // --quiet shows only what differs
    EXPECT_NE(r.out.find("Differs: <\\\\?\\C:\\data\\report.txt>\n   + DACL: TESTPC\\Guest   read   allow   "
                         "container_inherit+object_inherit\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Differs: <\\\\?\\C:\\data\\sub>\n   Owner: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" -> BUILTIN\\Administrators\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Missing: <\\\\?\\C:\\data\\sub\\notes.txt>\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Verified 4 objects: 1 same, 2 differ, 1 missing.\n"), std::string::npos) << r.out;
    EXPECT_EQ(Sddl("C:\\data\\report.txt"), changed);  // a verify writes nothing

    EXPECT_EQ(Run({"verify", machine.Folder() + "/no-such-backup.txt"}).exitCode, 34);
}

TEST_F(VerifyAndRestoreElsewhere, ChangedOnlyRestoreWritesOnlyTheObjectsThatDiffer) {
    const std::string backup = Backup();
    const std::string before = Sddl("C:\\data\\report.txt");
    ASSERT_EQ(Run({"deny", "C:\\data\\report.txt", "Guest", "full"}).exitCode, 0);
    // A write to any of the unchanged objects would fail.
    for (const wchar_t* object : {L"\\\\?\\C:\\data", L"\\\\?\\C:\\data\\sub", L"\\\\?\\C:\\data\\sub\\notes.txt"}) {
        winapi::machine::InjectFault("SetNamedSecurityInfoW", ERROR_ACCESS_DENIED, -1, object);
    }
    auto r = Run({"restore", backup, "--changed-only"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Wrote 1 objects whose descriptors differed from the backup; left 3 alone that matched it."),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Sddl("C:\\data\\report.txt"), before);
    // The faults are real: a plain restore runs into them.
    EXPECT_EQ(Run({"restore", backup}).exitCode, 1);
}

TEST_F(VerifyAndRestoreElsewhere, RestoreUnderMappedNamesWithAccountsAndDomainsSubstituted) {
    AddDomains();
    const std::string oldJane = "S-1-5-21-1-2-3-1105", newJane = "S-1-5-21-4-5-6-1105";
    ASSERT_EQ(Run({"grant", "C:\\data", "OLDDOM\\jane", "change"}).exitCode, 0);
    ASSERT_EQ(Run({"grant", "C:\\data\\report.txt", "S-1-5-21-1-2-3-1106", "read"}).exitCode, 0);
    // A protected DACL: the new parent derives no entries for the new owner.
    ASSERT_EQ(Run({"protect", "C:\\data\\sub", "--dacl", "keep"}).exitCode, 0);
    ASSERT_EQ(Run({"owner", "C:\\data\\sub", "OLDDOM\\jane"}).exitCode, 0);
    const std::string backup = Backup();
    const std::string original = Sddl("C:\\data");

    // The copy on D: lacks notes.txt.
    const std::string d = machine.MakeDirectory("d");
    fs::create_directories(d + "/Archive/data/sub");
    std::ofstream(d + "/Archive/data/report.txt") << "figures";
    ASSERT_EQ(Run({"machine", "map-drive", "D", d}).exitCode, 0);

    auto r = Run({"restore", backup, "--map", "c:\\DATA=D:\\Archive\\data", "--map", "C:\\=E:\\", "--substitute",
                  "OLDDOM=NEWDOM"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("ERROR writing SD to <\\\\?\\D:\\Archive\\data\\sub\\notes.txt>"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("ERROR writing SD to <\\\\?\\D:\\Archive\\data\\report.txt>"), std::string::npos) << r.err;
    const std::string top = Sddl("D:\\Archive\\data");
    EXPECT_NE(top.find("(A;OICI;0x1301bf;;;" + newJane + ")"), std::string::npos) << top;
    EXPECT_EQ(top.find(oldJane), std::string::npos) << top;
    // A whole domain moves, keeping RIDs, even for an account the new
    // domain has never heard of.
    EXPECT_NE(Sddl("D:\\Archive\\data\\report.txt").find(";;;S-1-5-21-4-5-6-1106)"), std::string::npos);
    EXPECT_EQ(Sddl("D:\\Archive\\data\\sub", "owner"), "O:" + newJane);
    EXPECT_EQ(Sddl("C:\\data"), original);

    // verify takes the same placement: the copy is the backup, moved.
    auto check = Run({"verify", backup, "--quiet", "--map", "C:\\data=D:\\Archive\\data", "--substitute",
                      "S-1-5-21-1-2-3=S-1-5-21-4-5-6"});
    EXPECT_EQ(check.exitCode, 1) << check.out << check.err;
    EXPECT_NE(check.out.find("Verified 4 objects: 3 same, 0 differ, 1 missing."), std::string::npos) << check.out;

    // A SID map file moves single accounts; bob stays who he was.
    const std::string sidMap = machine.Folder() + "/sids.txt";
    std::ofstream(sidMap) << "# old to new\n\nOLDDOM\\jane = NEWDOM\\jane\n";
    ASSERT_EQ(Run({"restore", backup, "--sid-map", sidMap}).exitCode, 0);
    EXPECT_NE(Sddl("C:\\data").find(newJane), std::string::npos);
    EXPECT_NE(Sddl("C:\\data\\report.txt").find(";;;S-1-5-21-1-2-3-1106)"), std::string::npos);
}

TEST_F(VerifyAndRestoreElsewhere, AMappedRecordIsAnnouncedUnderItsNewNameAndSaysWhereItGoes) {
    const std::string backup = Backup();
    const std::string d = machine.MakeDirectory("d");
    fs::create_directories(d + "/copy/sub");
    std::ofstream(d + "/copy/report.txt") << "figures";
    std::ofstream(d + "/copy/sub/notes.txt") << "notes";
    ASSERT_EQ(Run({"machine", "map-drive", "D", d}).exitCode, 0);

    auto r = Run({"restore", backup, "--map", "C:\\data\\sub=D:\\copy\\sub"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Restoring ACL of: <\\\\?\\C:\\data\\report.txt>\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Restoring ACL of: <\\\\?\\D:\\copy\\sub\\notes.txt>\nInfo: The record of "
                         "<\\\\?\\C:\\data\\sub\\notes.txt> goes to <\\\\?\\D:\\copy\\sub\\notes.txt>.\n"),
              std::string::npos)
        << r.out;
}

TEST_F(VerifyAndRestoreElsewhere, ObjectEntriesKeepTheirGuidsAndBadMapsChangeNothing) {
    AddDomains();
    const std::string record = machine.Folder() + "/object-entry.txt";
    std::ofstream(record) << "\"\\\\?\\C:\\data\",1,\"D:(OA;;CC;bf967aba-0de6-11d0-a285-00aa003049e2;;"
                             "S-1-5-21-1-2-3-1105)(A;;FA;;;SY)\"\n";
    ASSERT_EQ(Run({"restore", record, "--substitute", "OLDDOM\\jane=NEWDOM\\jane"}).exitCode, 0);
    EXPECT_NE(Sddl("C:\\data").find("(OA;;CC;bf967aba-0de6-11d0-a285-00aa003049e2;;S-1-5-21-4-5-6-1105)"),
              std::string::npos)
        << Sddl("C:\\data");

    const std::string before = Sddl("C:\\data");
    const std::string badMap = machine.Folder() + "/bad-sids.txt";
    std::ofstream(badMap) << "OLDDOM\\jane=NEWDOM\\jane\nOLDDOM\\bob NEWDOM\\bob\n";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {{"--sid-map", badMap}, 3, "bad-sids.txt line 2: expected OLD=NEW, found 'OLDDOM\\bob NEWDOM\\bob'"},
        {{"--sid-map", machine.Folder() + "/none.txt"}, 3, "cannot open the file"},
        {{"--substitute", "OLDDOM\\nobody=NEWDOM\\jane"}, 6, "The account <OLDDOM\\nobody>"},
        {{"--substitute", "OLDDOM=NEWDOM\\jane"}, 3, "maps a domain to an account"},
        {{"--substitute", "OLDDOM"}, 3, "expected OLD=NEW"},
        {{"--map", "=D:\\x"}, 3, "expected OLD=NEW"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"restore", record};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[1] << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(Sddl("C:\\data"), before);
    }
}

}  // namespace
}  // namespace tavrik::test
