// The tavrik program end to end, run as a new user would run it, on a
// temporary simulated computer whose drive C: is a scratch directory.
#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

const char kSuccess[] = "\nTavrik finished successfully.\n";

// A domain `flatName` whose primary controller is the new computer `name`.
void AddController(const std::wstring& name, const std::wstring& flatName) {
    winapi::machine::ComputerSpec computer;
    computer.name = name;
    computer.role = 5;
    computer.domain = flatName;
    winapi::machine::AddComputer(computer);
    winapi::machine::DomainSpec domain;
    domain.flatName = flatName;
    domain.controller = name;
    winapi::machine::AddDomain(domain);
}

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

TEST_F(TavrikCommand, FailuresNameTheirObjectAccountOrFileAndTheCodeEvenWhenQuiet) {
    std::ofstream(machine.Folder() + "/bad-record.txt") << "\"C:\\data\",1,\"D:(nonsense\"\n";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string label;  // number and short name, in the summary
        std::string names;  // what the error line must name
    } cases[] = {
        {{"grant", "C:\\data", "BUILTIN\\Users", "read,bogus"}, 7, "[7 BAD_FILE_PERMISSION]", "'read,bogus'"},
        {{"grant", "C:\\data", "NOSUCHDOMAIN\\nobody", "read"}, 6, "[6 TRUSTEE_NOT_FOUND]", "<NOSUCHDOMAIN\\nobody>"},
        {{"owner", "C:\\data", "nobody-at-all"}, 6, "[6 TRUSTEE_NOT_FOUND]", "<nobody-at-all>"},
        {{"grant", "C:\\missing", "BUILTIN\\Users", "read", "--recurse"}, 16, "[16 PATH_NOT_FOUND]", "C:\\missing>"},
        {{"grant", "C:\\data\\missing.txt", "Guest", "read"}, 5, "[5 READ_SD_FAILED]", "C:\\data\\missing.txt>"},
        {{"restore", "/nonexistent/backup.txt"}, 34, "[34 BACKUP_FILE_OPEN_FAILED]", "</nonexistent/backup.txt>"},
        {{"restore", machine.Folder() + "/bad-record.txt"}, 27, "[27 SD_CONVERT_FAILED]", "bad record 1 in the backup file <"},
        {{"grant", "HKLM\\SOFTWARE", "BUILTIN\\Users", "start_stop", "--type", "registry"}, 9,
         "[9 BAD_REGISTRY_PERMISSION]", "'start_stop'"},
    };
    for (const auto& c : cases) {
        for (bool quiet : {false, true}) {
            auto args = c.args;
            if (quiet) args.push_back("--quiet");
            auto r = Run(args);
            EXPECT_EQ(r.exitCode, c.code) << c.args[0] << " " << c.args[1] << "\n" << r.out << r.err;
            EXPECT_NE(r.err.find("\nTavrik finished with error(s): " + c.label + "\nTavrik error message: "),
                      std::string::npos)
                << r.err;
            const auto errorLine = r.err.find("Error: ");
            ASSERT_NE(errorLine, std::string::npos) << r.err;
            EXPECT_NE(r.err.substr(errorLine, r.err.find('\n', errorLine) - errorLine).find(c.names),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(r.out.find("Tavrik finished"), std::string::npos);
        }
    }
}

TEST_F(TavrikCommand, CommandLineMistakesExitWithInvalidParameterBeforeAnyJob) {
    const std::vector<std::vector<std::string>> mistakes = {
        {"grant", "C:\\data"},                                          // no trustee
        {"grant", "C:\\data", "Users", "read", "--inherit", "17"},      // inheritance out of range
        {"grant", "C:\\data", "Users", "read", "--inherit", "ci,xx"},   // unknown inheritance flag
        {"grant", "C:\\data", "Users", "read", "--type", "mailbox"},    // unknown object type
        {"list", "C:\\data", "--what", "everything"},
        {"protect", "C:\\data", "--dacl", "sometimes"},
        {"run", "C:\\data", "--restore", "a.txt", "--backup", "b.txt"},  // one backup file per job
        {"run", "C:\\data", "--replace-trustee", "Guest"},              // OLD=NEW expected
        {"run", "C:\\data", "--grant", "Users:read:7x"},
        {"frobnicate"},
    };
    const std::string before = Sddl("C:\\data");
    for (const auto& args : mistakes) {
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 3) << args[0] << " " << (args.size() > 1 ? args.back() : "") << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << args[0];
        EXPECT_EQ(r.out.find("Tavrik finished"), std::string::npos) << r.out;
    }
    EXPECT_EQ(Sddl("C:\\data"), before);
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

// Each run builds only the subcommand it names: every subcommand the
// program's help lists must still answer under its own name.
TEST_F(TavrikCommand, EverySubcommandTheHelpListsAnswersByItsName) {
    auto top = Run({"--help"});
    ASSERT_EQ(top.exitCode, 0);
    std::istringstream lines(top.out.substr(top.out.find("Subcommands:")));
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        if (line.rfind("  ", 0) == 0) names.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    ASSERT_GE(names.size(), 20u);
    for (const std::string& name : names) {
        auto help = Run({name, "--help"});
        EXPECT_EQ(help.exitCode, 0) << name << "\n" << help.err;
        EXPECT_NE(help.out.find("Usage: tavrik " + name + " "), std::string::npos) << name << "\n" << help.out;
    }
}

TEST_F(TavrikCommand, BackupChangeRestoreBringsEveryDescriptorBack) {
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex"}).exitCode, 0);
    const std::string dataBefore = Sddl("C:\\data", "dacl,owner,group");
    const std::string subBefore = Sddl("C:\\data\\sub", "dacl,owner,group");
    const std::string backup = machine.Folder() + "/backup.txt";
    auto saved = Run({"backup", "C:\\data", backup, "--recurse"});
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    EXPECT_EQ(saved.out, kSuccess);  // the records went to the file only

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

    auto slashes = Run({"list", "C:/data/sub", "--format", "sddl"});
    ASSERT_EQ(slashes.exitCode, 0) << slashes.err;
    EXPECT_EQ(slashes.out.rfind("\"\\\\?\\C:\\data\\sub\",1,", 0), 0u) << slashes.out;

    auto outside = Run({"grant", "/", "BUILTIN\\Users", "read"}, "/");
    EXPECT_EQ(outside.exitCode, 3);
    EXPECT_NE(outside.err.find("not inside a drive"), std::string::npos) << outside.err;

    // Names that only look as if they were inside the drive.
    fs::create_directory_symlink(machine.Folder(), machine.DriveC() + "/data/escape");
    for (const char* hostile : {"../..", "escape", "escape/c/../.."}) {
        auto r = Run({"grant", hostile, "BUILTIN\\Users", "full"}, machine.DriveC() + "/data");
        EXPECT_EQ(r.exitCode, 3) << hostile << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.find("Processing ACL"), std::string::npos) << hostile;
    }
}

TEST_F(TavrikCommand, DryRunShowsTheChangeAndWritesNothing) {
    const std::string before = Sddl("C:\\data");
    auto r = Run({"grant", "C:\\data", "BUILTIN\\Users", "full", "--dry-run"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Would change <\\\\?\\C:\\data>\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n   + DACL: BUILTIN\\Users   full   allow   container_inherit+object_inherit\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("(A;"), std::string::npos) << r.out;
    auto sddl = Run({"grant", "C:\\data", "BUILTIN\\Users", "full", "--dry-run", "--sddl"});
    ASSERT_EQ(sddl.exitCode, 0) << sddl.err;
    EXPECT_NE(sddl.out.find("\n   + DACL: (A;OICI;FA;;;BU)\n"), std::string::npos) << sddl.out;
    EXPECT_EQ(Sddl("C:\\data"), before);
    EXPECT_EQ(Run({"grant", "C:\\data", "Guest", "read", "--sddl"}).exitCode, 3);  // --sddl needs --dry-run

    // An entry the object already has changes nothing, and says so; other
    // rights for the same trustee are one changed entry.
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read"}).exitCode, 0);
    auto again = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--dry-run"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("Would leave <\\\\?\\C:\\data> as it is"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("Would change"), std::string::npos) << again.out;
    auto set = Run({"set", "C:\\data", "BUILTIN\\Users", "change", "--dry-run"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_NE(set.out.find("   ~ DACL: BUILTIN\\Users   read -> change   allow   container_inherit+object_inherit\n"),
              std::string::npos)
        << set.out;
    auto protect = Run({"protect", "C:\\data", "--dacl", "remove", "--dry-run"});
    ASSERT_EQ(protect.exitCode, 0) << protect.err;
    EXPECT_NE(protect.out.find("> DACL(protected+auto_inherited)\n"), std::string::npos) << protect.out;
}

TEST_F(TavrikCommand, QuietLeavesOnlyRecordsOnStdoutAndTheSummaryOnStderr) {
    auto r = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse", "--quiet"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Tavrik finished successfully."), std::string::npos) << r.err;
    auto list = Run({"list", "C:\\data", "--recurse", "--quiet"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    std::istringstream lines(list.out);
    int records = 0;
    for (std::string line; std::getline(lines, line); ++records) EXPECT_EQ(line.rfind("\"", 0), 0u) << line;
    EXPECT_EQ(records, 4) << list.out;
    EXPECT_NE(list.err.find("Tavrik finished successfully."), std::string::npos) << list.err;
}

TEST_F(TavrikCommand, OwnerProtectionAndResetChildren) {
    ASSERT_EQ(Run({"owner", "C:\\data", "BUILTIN\\Administrators"}).exitCode, 0);
    EXPECT_EQ(Sddl("C:\\data", "owner"), "O:BA");

    ASSERT_EQ(Run({"deny", "C:\\data\\sub", "Guest", "write"}).exitCode, 0);
    ASSERT_EQ(Run({"protect", "C:\\data\\sub", "--dacl", "keep"}).exitCode, 0);
    EXPECT_EQ(Sddl("C:\\data\\sub").rfind("D:PAI(", 0), 0u) << Sddl("C:\\data\\sub");

    const std::string top = Sddl("C:\\data");
    ASSERT_EQ(Run({"reset-children", "C:\\data", "--filter", "\\SUB"}).exitCode, 0);  // spared
    EXPECT_EQ(Sddl("C:\\data\\sub").rfind("D:PAI(", 0), 0u) << Sddl("C:\\data\\sub");
    ASSERT_EQ(Run({"reset-children", "C:\\data"}).exitCode, 0);
    EXPECT_EQ(Sddl("C:\\data"), top);
    const std::string sub = Sddl("C:\\data\\sub");
    EXPECT_EQ(sub.rfind("D:AI", 0), 0u) << sub;       // inherits again
    EXPECT_EQ(sub.find(";;;LG)"), std::string::npos);  // the Guest entry is gone
}

TEST_F(TavrikCommand, TrusteeReplaceMovesTheEntryToTheNewAccount) {
    const std::wstring carol = winapi::machine::AddAccount(L"TESTPC", L"carol", winapi::machine::AccountKind::User);
    const std::wstring dave = winapi::machine::AddAccount(L"TESTPC", L"dave", winapi::machine::AccountKind::User);
    ASSERT_EQ(Run({"grant", "C:\\data", "TESTPC\\carol", "change"}).exitCode, 0);
    auto r = Run({"trustee", "replace", "C:\\data", "TESTPC\\carol", "TESTPC\\dave"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string sddl = Sddl("C:\\data");
    const std::string daveText(dave.begin(), dave.end()), carolText(carol.begin(), carol.end());
    EXPECT_NE(sddl.find(daveText), std::string::npos) << sddl;
    EXPECT_EQ(sddl.find(carolText), std::string::npos) << sddl;
}

TEST_F(TavrikCommand, DomainMigrateMovesEntriesToTheSameNamedAccounts) {
    using namespace winapi::machine;
    AddController(L"DC1", L"OLDDOM");
    AddController(L"DC2", L"NEWDOM");
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

// Overwrites the NTACL attribute that a write left on `file` with bytes no
// reader can accept, as a damaged disk or a foreign tool would.
void DamageNtacl(const std::string& file) {
    char names[1024] = {};
    ssize_t length = listxattr(file.c_str(), names, sizeof names);
    ASSERT_GT(length, 0) << "the file carries no attribute to damage";
    bool damaged = false;
    for (const char* name = names; name < names + length; name += std::strlen(name) + 1) {
        if (std::string(name).find("NTACL") == std::string::npos) continue;
        const char garbage[] = {1, 0, 1, 0, 0, 0, 2, 0, 7, 7, 7};
        ASSERT_EQ(setxattr(file.c_str(), name, garbage, sizeof garbage, 0), 0);
        damaged = true;
    }
    ASSERT_TRUE(damaged);
}

// Whether `sddl` holds an ACE of `type` with exactly `flags` for `sid`, and
// with the rights `rights` unless that is empty.
bool HasAce(const std::string& sddl, const std::string& type, const std::string& flags, const std::string& rights,
            const std::string& sid) {
    for (size_t open = sddl.find('('); open != std::string::npos; open = sddl.find('(', open + 1)) {
        const size_t close = sddl.find(')', open);
        if (close == std::string::npos) break;
        std::vector<std::string> fields;
        std::string ace = sddl.substr(open + 1, close - open - 1);
        for (size_t start = 0;;) {
            const size_t semicolon = ace.find(';', start);
            fields.push_back(ace.substr(start, semicolon == std::string::npos ? std::string::npos : semicolon - start));
            if (semicolon == std::string::npos) break;
            start = semicolon + 1;
        }
        if (fields.size() == 6 && fields[0] == type && fields[1] == flags && fields[5] == sid &&
            (rights.empty() || fields[2] == rights))
            return true;
    }
    return false;
}

TEST_F(TavrikCommand, RegistryRootsNeedNoTypeAndOtherNamesGetTheirTypeSuggested) {
    for (const char* key : {"HKLM\\SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE", "\\\\TESTPC\\HKLM\\SOFTWARE"}) {
        auto r = Run({"list", key, "--format", "sddl"});
        EXPECT_EQ(r.exitCode, 0) << key << "\n" << r.err;
        EXPECT_NE(r.out.find("\\SOFTWARE\",4,\"D:"), std::string::npos) << key << "\n" << r.out;
    }
    struct Case {
        const char* name;
        const char* hint;
    } cases[] = {
        {"EventLog", "--type service"},
        {"Microsoft Print to PDF", "--type printer"},
        {"IPC$", "--type share"},
    };
    for (const auto& c : cases) {
        auto r = Run({"grant", c.name, "BUILTIN\\Users", "read"});
        EXPECT_EQ(r.exitCode, 3) << c.name;
        EXPECT_NE(r.err.find(c.hint), std::string::npos) << r.err;
    }
}

TEST_F(TavrikCommand, GroupCommandsShowTheirOwnExamplesAndBackupRefusesListingOnlyOptions) {
    auto trustee = Run({"trustee", "--help"});
    EXPECT_NE(trustee.out.find("tavrik trustee replace"), std::string::npos) << trustee.out;
    EXPECT_EQ(trustee.out.find("tavrik grant"), std::string::npos) << trustee.out;
    auto domain = Run({"domain", "--help"});
    EXPECT_NE(domain.out.find("tavrik domain migrate"), std::string::npos) << domain.out;
    EXPECT_EQ(domain.out.find("tavrik grant"), std::string::npos) << domain.out;
    const std::string file = machine.Folder() + "/b.txt";
    EXPECT_EQ(Run({"backup", "C:\\data", file, "--names", "both"}).exitCode, 3);
    EXPECT_EQ(Run({"backup", "C:\\data", file, "--inherited"}).exitCode, 3);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(TavrikCommand, PrivilegeNotesAppearOnlyWhereTheyAreTrue) {
    // alice holds no privilege: the engine cannot enable backup and restore.
    winapi::machine::SetToken({L"alice", {L"Users"}, {}});
    const std::string ignorable = "This can probably be ignored.";
    auto fine = Run({"list", "C:\\data"});
    EXPECT_EQ(fine.exitCode, 0) << fine.err;
    EXPECT_NE(fine.out.find(ignorable), std::string::npos) << fine.out;

    auto missing = Run({"grant", "C:\\data\\missing.txt", "Guest", "read"});
    EXPECT_EQ(missing.exitCode, 5);
    EXPECT_EQ((missing.out + missing.err).find("Privilege"), std::string::npos) << missing.out << missing.err;

    auto denied = Run({"grant", "C:\\data", "Guest", "read"});
    EXPECT_NE(denied.err.find("Access is denied"), std::string::npos) << denied.out << denied.err;
    EXPECT_EQ((denied.out + denied.err).find(ignorable), std::string::npos) << denied.out << denied.err;
    EXPECT_NE(denied.err.find("Warning: Privilege 'Restore files and directories' could not be enabled. It may be "
                              "why access was denied."),
              std::string::npos)
        << denied.err;
}

TEST_F(TavrikCommand, ListShowsInheritedEntriesMarkedUnlessOnlyExplicitOnesAreAsked) {
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex"}).exitCode, 0);
    auto all = Run({"list", "C:\\data\\report.txt"});
    ASSERT_EQ(all.exitCode, 0) << all.err;
    EXPECT_NE(all.out.find("BUILTIN\\Users,read_execute,allow,inherited"), std::string::npos) << all.out;
    auto explicitOnly = Run({"list", "C:\\data\\report.txt", "--explicit"});
    ASSERT_EQ(explicitOnly.exitCode, 0) << explicitOnly.err;
    EXPECT_EQ(explicitOnly.out.find("BUILTIN\\Users"), std::string::npos) << explicitOnly.out;
    EXPECT_EQ(Run({"list", "C:\\data", "--explicit", "--inherited"}).exitCode, 3);
}

TEST_F(TavrikCommand, AListedEntryCanBeTypedBack) {
    ASSERT_EQ(Run({"grant", "C:\\data", "Guest", "read_ex,write_dacl", "--inherit", "none"}).exitCode, 0);
    auto listed = Run({"list", "C:\\data", "--format", "text", "--explicit"});
    // "   VM\Guest   read_execute+WRITE_DAC   allow   no_inheritance"
    const auto at = listed.out.find("\\Guest   ");
    ASSERT_NE(at, std::string::npos) << listed.out;
    const auto start = at + 9, end = listed.out.find("   ", start);
    const std::string rights = listed.out.substr(start, end - start);
    EXPECT_EQ(rights, "read_execute+WRITE_DAC");
    ASSERT_EQ(Run({"set", "C:\\data", "BUILTIN\\Users", rights, "--inherit", "container_inherit+object_inherit"})
                  .exitCode,
              0);
    EXPECT_TRUE(HasAce(Sddl("C:\\data"), "A", "OICI", "0x1600a9", "BU")) << Sddl("C:\\data");
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST_F(TavrikCommand, FailureSummaryNamesTheCodeTextAndTheSystemError) {
    auto r = Run({"grant", "C:\\data\\missing.txt", "BUILTIN\\Users", "read"});
    EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
    EXPECT_TRUE(EndsWith(r.err,
                         "\nTavrik finished with error(s): [5 READ_SD_FAILED]\nTavrik error message: The security "
                         "descriptor of an "
                         "object could not be read. Check that the object exists and that you may read its "
                         "permissions.\nOperating system error message: The system cannot find the file "
                         "specified.\r\n\n"))
        << r.err;
    EXPECT_EQ(r.out.find("Tavrik finished"), std::string::npos) << r.out;
}

TEST_F(TavrikCommand, DamagedDescriptorStopsTheJobUnlessIgnoredThenItCompletesWithErrors) {
    // Every object gets its own attribute first; later entries that nothing
    // inherits leave the inheritable part alone, so each object is reached
    // by the walk itself and not by propagation from its parent.
    ASSERT_EQ(Run({"grant", "C:\\data", "Guest", "read", "--recurse", "--inherit", "none"}).exitCode, 0);
    DamageNtacl(machine.DriveC() + "/data/report.txt");

    auto strict = Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex", "--recurse", "--inherit", "none"});
    EXPECT_EQ(strict.exitCode, 5) << strict.out << strict.err;

    auto lenient = Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex", "--recurse", "--inherit", "none",
                        "--ignore-errors"});
    // The job goes on to its end, but it did not do all it was asked: it
    // says so and exits with the status of a job completed with errors.
    EXPECT_EQ(lenient.exitCode, 1) << lenient.out << lenient.err;
    EXPECT_NE(lenient.err.find("ERROR reading SD from <\\\\?\\C:\\data\\report.txt>: "), std::string::npos)
        << lenient.err;
    EXPECT_NE(lenient.out.find("Processing ACL of: <\\\\?\\C:\\data\\sub\\notes.txt>"), std::string::npos);
    EXPECT_EQ(lenient.out.find("Tavrik finished successfully"), std::string::npos) << lenient.out;
    EXPECT_NE(lenient.err.find("\nTavrik completed with errors: 1 object was not processed"), std::string::npos)
        << lenient.err;
    EXPECT_NE(lenient.err.find("1 error line reported during the job."), std::string::npos) << lenient.err;
    EXPECT_NE(Run({"--help"}).out.find("1 when it completed with errors"), std::string::npos);
    EXPECT_TRUE(HasAce(Sddl("C:\\data\\sub\\notes.txt"), "A", "", "0x1200a9", "BU"))
        << Sddl("C:\\data\\sub\\notes.txt");
}

TEST_F(TavrikCommand, BackupFilesThatCannotBeReadOrWritten) {
    const std::string empty = machine.Folder() + "/empty.txt";
    std::ofstream(empty).close();
    auto unreadable = Run({"restore", empty});
    EXPECT_EQ(unreadable.exitCode, 35) << unreadable.err;

    // A full disk: not even the byte-order mark fits, so the file never opens.
    auto full = Run({"backup", "C:\\data", "/dev/full", "--recurse"});
    EXPECT_EQ(full.exitCode, 34) << full.out << full.err;

    auto noDirectory = Run({"backup", "C:\\data", machine.Folder() + "/no/such/dir/backup.txt"});
    EXPECT_EQ(noDirectory.exitCode, 34) << noDirectory.err;
}

TEST_F(TavrikCommand, AuditEntriesGoToTheSacl) {
    ASSERT_EQ(Run({"audit", "C:\\data", "Everyone", "write", "--failure"}).exitCode, 0);
    ASSERT_EQ(Run({"audit", "C:\\data", "BUILTIN\\Users", "delete", "--success", "--inherit", "none"}).exitCode, 0);
    const std::string sacl = Sddl("C:\\data", "sacl");
    EXPECT_TRUE(HasAce(sacl, "AU", "OICIFA", "", "WD")) << sacl;
    EXPECT_TRUE(HasAce(sacl, "AU", "SA", "SD", "BU")) << sacl;
    EXPECT_FALSE(HasAce(Sddl("C:\\data"), "AU", "OICIFA", "", "WD"));

    ASSERT_EQ(Run({"revoke", "C:\\data", "Everyone", "--sacl"}).exitCode, 0);
    const std::string revoked = Sddl("C:\\data", "sacl");
    EXPECT_FALSE(HasAce(revoked, "AU", "OICIFA", "", "WD")) << revoked;
    EXPECT_TRUE(HasAce(revoked, "AU", "SA", "SD", "BU")) << revoked;
}

TEST_F(TavrikCommand, SetDenyRevokeAndClearOnTheDacl) {
    ASSERT_EQ(Run({"grant", "C:\\data", "Guest", "read", "--inherit", "0"}).exitCode, 0);
    ASSERT_EQ(Run({"deny", "C:\\data", "Guest", "write", "--inherit", "ci"}).exitCode, 0);
    const std::string both = Sddl("C:\\data");
    EXPECT_TRUE(HasAce(both, "A", "", "FR", "LG")) << both;
    EXPECT_TRUE(HasAce(both, "D", "CI", "", "LG")) << both;

    ASSERT_EQ(Run({"set", "C:\\data", "Guest", "full", "--inherit", "none"}).exitCode, 0);
    const std::string set = Sddl("C:\\data");
    EXPECT_FALSE(HasAce(set, "D", "CI", "", "LG")) << set;  // set drops the deny entry too
    EXPECT_FALSE(HasAce(set, "A", "", "FR", "LG")) << set;
    EXPECT_TRUE(HasAce(set, "A", "", "FA", "LG")) << set;

    ASSERT_EQ(Run({"revoke", "C:\\data", "Guest"}).exitCode, 0);
    EXPECT_EQ(Sddl("C:\\data").find(";;;LG)"), std::string::npos);

    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read"}).exitCode, 0);
    ASSERT_EQ(Run({"clear", "C:\\data", "--dacl"}).exitCode, 0);
    const std::string cleared = Sddl("C:\\data");
    EXPECT_EQ(cleared.find(";;;BU)"), std::string::npos) << cleared;
    EXPECT_EQ(cleared.find("(A;;"), std::string::npos) << cleared;  // no explicit entry is left
}

TEST_F(TavrikCommand, FiltersLogFileAndGroup) {
    const std::string log = machine.Folder() + "/job.log";
    auto r = Run({"group", "C:\\data", "BUILTIN\\Users", "--recurse", "--filter", "SUB", "--log", log});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Omitting ACL of: <\\\\?\\C:\\data\\sub> because a filter keyword matched."),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Sddl("C:\\data", "group"), "G:BU");
    EXPECT_NE(Sddl("C:\\data\\sub", "group"), "G:BU");

    std::ifstream in(log, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE", 2));  // UTF-16LE
    const std::string finished = "Tavrik finished successfully.";
    std::string utf16;
    for (char c : finished) utf16 += std::string{c, '\0'};
    EXPECT_NE(bytes.find(utf16), std::string::npos);
}

TEST_F(TavrikCommand, CombinedRunListsTheTreeAsTheJobLeftIt) {
    auto r = Run({"run", "C:\\data", "--grant", "BUILTIN\\Users:read_ex", "--deny", "Guest:write:ci,oi",
                  "--owner", "BUILTIN\\Administrators", "--list", "--format", "sddl", "--what", "owner,dacl"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const size_t processing = r.out.find("Processing ACL of: <\\\\?\\C:\\data>");
    const size_t record = r.out.find("\"\\\\?\\C:\\data\",1,\"O:BAD:");
    ASSERT_NE(processing, std::string::npos) << r.out;
    ASSERT_NE(record, std::string::npos) << r.out;
    EXPECT_LT(processing, record);
    EXPECT_TRUE(HasAce(r.out, "D", "OICI", "", "LG")) << r.out;
    EXPECT_TRUE(HasAce(r.out, "A", "OICI", "0x1200a9", "BU")) << r.out;

    // Trustee actions on the SACL alone leave the DACL entries of the account.
    ASSERT_EQ(Run({"audit", "C:\\data", "Guest", "read", "--failure"}).exitCode, 0);
    ASSERT_NE(Sddl("C:\\data", "sacl").find(";;;LG)"), std::string::npos);
    auto sacl = Run({"run", "C:\\data", "--remove-trustee", "Guest", "--trustee-acls", "sacl"});
    ASSERT_EQ(sacl.exitCode, 0) << sacl.err;
    EXPECT_EQ(Sddl("C:\\data", "sacl").find(";;;LG)"), std::string::npos);
    EXPECT_TRUE(HasAce(Sddl("C:\\data"), "D", "OICI", "", "LG"));
}

TEST_F(TavrikCommand, ListingNamesTrusteesAsAsked) {
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read"}).exitCode, 0);
    auto sid = Run({"list", "C:\\data", "--format", "text", "--names", "sid", "--quiet"});
    ASSERT_EQ(sid.exitCode, 0) << sid.err;
    EXPECT_NE(sid.out.find("S-1-5-32-545   read"), std::string::npos) << sid.out;
    EXPECT_EQ(sid.out.find("BUILTIN\\Users"), std::string::npos) << sid.out;
    auto both = Run({"list", "C:\\data", "--format", "csv", "--names", "both", "--inherited"});
    ASSERT_EQ(both.exitCode, 0) << both.err;
    EXPECT_NE(both.out.find("BUILTIN\\Users=S-1-5-32-545,read,allow"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("+inherited"), std::string::npos) << both.out;
}

TEST_F(TavrikCommand, ObjectsOfOtherTypesAndOtherComputers) {
    using namespace winapi::machine;
    auto service = Run({"grant", "EventLog", "BUILTIN\\Users", "start_stop", "--type", "service"});
    ASSERT_EQ(service.exitCode, 0) << service.err;
    EXPECT_NE(Sddl("EventLog", "dacl", "service").find(";;;BU)"), std::string::npos);
    EXPECT_EQ(Run({"grant", "NoSuchService", "BUILTIN\\Users", "read", "--type", "service"}).exitCode, 5);
    EXPECT_EQ(Run({"grant", "EventLog", "BUILTIN\\Users", "print", "--type", "service"}).exitCode, 10);

    ComputerSpec server;
    server.name = L"SRV02";
    server.role = 2;
    AddComputer(server);
    const std::string shared = machine.MakeDirectory("srv02-data");
    fs::create_directories(shared + "/Projects");
    AddShare(L"SRV02", L"data", shared);
    auto remote = Run({"grant", "\\\\SRV02\\data\\Projects", "Everyone", "read"});
    ASSERT_EQ(remote.exitCode, 0) << remote.err;
    EXPECT_NE(remote.out.find("Processing ACL of: <\\\\?\\UNC\\SRV02\\data\\Projects>"), std::string::npos)
        << remote.out;
    EXPECT_TRUE(HasAce(Sddl("\\\\SRV02\\data\\Projects"), "A", "OICI", "FR", "WD"));
    EXPECT_EQ(Run({"list", "\\\\NOWHERE\\data"}).exitCode, 5);
}

TEST_F(TavrikCommand, DryRunOverATreeWritesNoDescriptor) {
    const std::string top = Sddl("C:\\data"), leaf = Sddl("C:\\data\\sub\\notes.txt");
    auto r = Run({"run", "C:\\data", "--recurse", "--deny", "Guest:full", "--owner", "BUILTIN\\Administrators",
                  "--dry-run", "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Would change <\\\\?\\C:\\data\\sub\\notes.txt>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   Owner: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" -> BUILTIN\\Administrators\n"), std::string::npos) << r.out;
    EXPECT_EQ(Sddl("C:\\data"), top);
    EXPECT_EQ(Sddl("C:\\data\\sub\\notes.txt"), leaf);
    EXPECT_NE(Sddl("C:\\data", "owner"), "O:BA");
}

TEST_F(TavrikCommand, TrusteeCopyAndRemoveAndUnknownAccounts) {
    const std::wstring erin = winapi::machine::AddAccount(L"TESTPC", L"erin", winapi::machine::AccountKind::User);
    const std::string erinSid(erin.begin(), erin.end());
    ASSERT_EQ(Run({"grant", "C:\\data", "Guest", "change", "--inherit", "none"}).exitCode, 0);

    ASSERT_EQ(Run({"trustee", "copy", "C:\\data", "Guest", "TESTPC\\erin"}).exitCode, 0);
    std::string sddl = Sddl("C:\\data");
    EXPECT_TRUE(HasAce(sddl, "A", "", "", "LG")) << sddl;
    EXPECT_TRUE(HasAce(sddl, "A", "", "", erinSid)) << sddl;

    ASSERT_EQ(Run({"trustee", "remove", "C:\\data", "Guest"}).exitCode, 0);
    sddl = Sddl("C:\\data");
    EXPECT_FALSE(HasAce(sddl, "A", "", "", "LG")) << sddl;
    EXPECT_TRUE(HasAce(sddl, "A", "", "", erinSid)) << sddl;

    auto unknown = Run({"trustee", "replace", "C:\\data", "TESTPC\\erin", "TESTPC\\nobody"});
    EXPECT_EQ(unknown.exitCode, 6) << unknown.out << unknown.err;
    EXPECT_TRUE(HasAce(Sddl("C:\\data"), "A", "", "", erinSid));
    EXPECT_EQ(Run({"owner", "C:\\data", "NOSUCHDOMAIN\\nobody"}).exitCode, 6);
}

TEST_F(TavrikCommand, RestoreReadsAHandWrittenEightBitFile) {
    const std::string file = machine.Folder() + "/by-hand.txt";
    std::ofstream(file, std::ios::binary) << "\"\\\\?\\C:\\data\\sub\",1,\"D:PAI(A;OICI;FA;;;BA)\"\r\n";
    auto r = Run({"restore", file});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("> detected as ANSI."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Restoring ACL of: <\\\\?\\C:\\data\\sub>"), std::string::npos) << r.out;
    EXPECT_EQ(Sddl("C:\\data\\sub"), "D:PAI(A;OICI;FA;;;BA)");
    EXPECT_TRUE(HasAce(Sddl("C:\\data\\sub\\notes.txt"), "A", "ID", "FA", "BA")) << Sddl("C:\\data\\sub\\notes.txt");

    std::ofstream(file, std::ios::binary) << "\"\\\\?\\C:\\data\\sub\",1,\"D:(A;;FA;;;\"\r\n";
    auto broken = Run({"restore", file});
    EXPECT_EQ(broken.exitCode, 27) << broken.out << broken.err;
    EXPECT_EQ(Sddl("C:\\data\\sub"), "D:PAI(A;OICI;FA;;;BA)");
}

TEST_F(TavrikCommand, DamagedComputerDatabaseIsRefusedWithAMessage) {
    const std::string damaged = machine.Folder() + "/damaged.db";
    std::ofstream(damaged) << "this is not a database";
    auto r = RunTavrik({"list", "C:\\data"}, damaged);
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("cannot open the simulated computer"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_F(TavrikCommand, DeniedAndFullDiskWritesAsTheWorldFailsThem) {
    // Access denied on one object is reported and passed over.
    ASSERT_EQ(Run({"machine", "inject-fault", "SetNamedSecurityInfoW", "5", "--object",
                   "\\\\?\\C:\\data\\report.txt"})
                  .exitCode,
              0);
    auto denied = Run({"grant", "C:\\data", "Guest", "read", "--recurse", "--inherit", "none"});
    EXPECT_EQ(denied.exitCode, 1) << denied.out << denied.err;
    EXPECT_NE(denied.err.find("ERROR writing SD to <\\\\?\\C:\\data\\report.txt>: Access is denied."),
              std::string::npos)
        << denied.err;
    EXPECT_TRUE(HasAce(Sddl("C:\\data\\sub\\notes.txt"), "A", "", "FR", "LG"));
    EXPECT_FALSE(HasAce(Sddl("C:\\data\\report.txt"), "A", "", "FR", "LG"));
    ASSERT_EQ(Run({"machine", "clear-faults"}).exitCode, 0);

    // A full disk stops the job, unless errors are to be passed over.
    ASSERT_EQ(Run({"machine", "disk-full", "on"}).exitCode, 0);
    auto full = Run({"deny", "C:\\data", "Guest", "write", "--recurse"});
    EXPECT_EQ(full.exitCode, 25) << full.out << full.err;
    EXPECT_NE(full.err.find("\nOperating system error message: "), std::string::npos) << full.err;
    auto lenient = Run({"deny", "C:\\data", "Guest", "write", "--recurse", "--ignore-errors", "--quiet"});
    EXPECT_EQ(lenient.exitCode, 1) << lenient.out << lenient.err;
    EXPECT_NE(lenient.err.find("ERROR writing SD to <\\\\?\\C:\\data\\sub\\notes.txt>: "), std::string::npos)
        << lenient.err;
    ASSERT_EQ(Run({"machine", "disk-full", "off"}).exitCode, 0);
    EXPECT_FALSE(HasAce(Sddl("C:\\data"), "D", "OICI", "", "LG"));
}

TEST_F(TavrikCommand, RunAddsEntriesInTheOrderTyped) {
    auto r = Run({"run", "C:\\data\\report.txt", "--revoke", "Guest", "--grant", "Guest:write:none", "--deny",
                  "Guest:read:none", "--revoke", "BUILTIN\\Users"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string dacl = Sddl("C:\\data\\report.txt");
    EXPECT_TRUE(HasAce(dacl, "A", "", "0x100116", "LG")) << dacl;
    EXPECT_TRUE(HasAce(dacl, "D", "", "CCSWLORC", "LG")) << dacl;
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

std::string Ntacl(const std::string& file) {
    char value[8192];
    for (const char* name : {"security.NTACL", "user.NTACL"}) {
        ssize_t size = lgetxattr(file.c_str(), name, value, sizeof value);
        if (size >= 0) return std::string(value, static_cast<size_t>(size));
    }
    return {};
}

// Names that are not UTF-8, or hold control characters, are ordinary
// objects: a recursive job processes each once, and a backup restores each
// to its own file.
TEST_F(TavrikCommand, HostileNamesAreProcessedOnceEachAndRoundTripThroughABackup) {
    const std::string data = machine.DriveC() + "/data/";
    const char* names[] = {"r\xfe", "r\xff", "ctl\x01name"};
    uid_t owner = 4201;
    for (const char* name : names) {
        std::ofstream(data + name) << name;
        ASSERT_EQ(chown((data + name).c_str(), owner, owner), 0);
        ++owner;
    }
    auto grant = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse"});
    ASSERT_EQ(grant.exitCode, 0) << grant.out << grant.err;
    std::vector<std::string> saved;
    for (const char* name : names) saved.push_back(Ntacl(data + name));
    EXPECT_NE(saved[0], saved[1]);

    const std::string backup = machine.Folder() + "/hostile.bak";
    ASSERT_EQ(Run({"backup", "C:\\data", backup, "--recurse"}).exitCode, 0);
    for (const char* name : names) {
        ASSERT_EQ(removexattr((data + name).c_str(), "security.NTACL") == 0 ||
                      removexattr((data + name).c_str(), "user.NTACL") == 0,
                  true);
    }
    auto restore = Run({"restore", backup});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    for (size_t i = 0; i < saved.size(); ++i) EXPECT_EQ(Ntacl(data + names[i]), saved[i]) << names[i];
}

// Every kind of object shows its planned state in a dry run's listing,
// whether the listing reads it by name or through an open handle (files and
// registry keys), and none is written.
TEST_F(TavrikCommand, DryRunListShowsThePlannedStateAndTheDiskKeepsTheOldOne) {
    struct Case {
        const char* object;
        const char* type;
        const char* record;  // the start of the listed record with the planned owner
        const char* denyFlags;
    };
    const Case cases[] = {
        {"C:\\data", "file", "\"\\\\?\\C:\\data\",1,\"O:LGD:", "OICI"},
        {"HKLM\\SOFTWARE", "registry", "\\SOFTWARE\",4,\"O:LGD:", "CI"},
        {"EventLog", "service", "EventLog\",2,\"O:LGD:", ""},
        {"Microsoft Print to PDF", "printer", "Microsoft Print to PDF\",3,\"O:LGD:", ""},
        {"IPC$", "share", "IPC$\",5,\"O:LGD:", ""},
    };
    for (const Case& c : cases) {
        const std::string before = Sddl(c.object, "owner,dacl", c.type);
        EXPECT_EQ(before.find("O:LG"), std::string::npos) << c.type << before;
        auto r = Run({"run", c.object, "--type", c.type, "--deny", "Guest:full", "--owner", "Guest",
                      "--dry-run", "--list", "--format", "sddl", "--what", "owner,dacl", "--quiet"});
        EXPECT_EQ(r.exitCode, 0) << c.type << r.err;
        const size_t record = r.out.find(c.record);
        EXPECT_NE(record, std::string::npos) << c.type << r.out;
        if (record != std::string::npos) {
            EXPECT_TRUE(HasAce(r.out.substr(record), "D", c.denyFlags, "", "LG")) << c.type << r.out;
        }
        EXPECT_EQ(Sddl(c.object, "owner,dacl", c.type), before) << c.type;
    }
}

// A recursive job hands a directory's new inheritance to each child as it
// reaches it; whatever it does not reach (left out by a filter, a child
// whose write fails, or the rest of a tree after a directory that cannot be
// listed stops the job) still inherits when the job ends.
TEST_F(TavrikCommand, ChildrenTheWalkDoesNotReachInheritAllTheSame) {
    struct Case {
        std::string tree;
        std::vector<std::string> extra;
        int exitCode;
    };
    const Case cases[] = {
        {"filtered", {"--filter", "\\SUB"}, 0},
        {"failing", {}, 1},
        {"stopped", {}, 16},
    };
    for (const Case& c : cases) {
        const std::string top = machine.DriveC() + "/" + c.tree;
        fs::create_directories(top + "/sub/deep");
        fs::create_directories(top + "/other");  // walked before report.txt and sub
        for (const char* file : {"/report.txt", "/sub/notes.txt", "/sub/deep/x.txt"}) std::ofstream(top + file) << "x";
    }
    ASSERT_EQ(Run({"machine", "inject-fault", "SetNamedSecurityInfoW", "5", "--object",
                   "\\\\?\\C:\\failing\\sub\\deep\\x.txt"})
                  .exitCode,
              0);
    ASSERT_EQ(Run({"machine", "inject-fault", "FindFirstFileW", "5", "--object", "\\\\?\\C:\\stopped\\other\\*.*"})
                  .exitCode,
              0);

    for (const Case& c : cases) {
        std::vector<std::string> args = {"grant", "C:\\" + c.tree, "BUILTIN\\Users", "read_ex", "--recurse"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.tree << r.out << r.err;
        const std::string drive = "C:\\" + c.tree;
        for (const char* file : {"\\sub\\notes.txt", "\\sub\\deep\\x.txt"}) {
            EXPECT_TRUE(HasAce(Sddl(drive + file), "A", "ID", "0x1200a9", "BU")) << c.tree << file;
        }
        EXPECT_TRUE(HasAce(Sddl(drive + "\\sub\\deep"), "A", "OICIID", "0x1200a9", "BU")) << c.tree;
    }
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

// A damaged descriptor below a written directory is that object's failure,
// not the directory's: it is named, everything else is still updated, and
// the job completes with errors instead of ending.
TEST_F(TavrikCommand, ADamagedChildIsNamedAndTheRestOfTheJobGoesOn) {
    fs::create_directories(machine.DriveC() + "/data/zz");
    std::ofstream(machine.DriveC() + "/data/zz/last.txt") << "last";
    ASSERT_EQ(Run({"grant", "C:\\data", "Guest", "read", "--recurse", "--inherit", "none"}).exitCode, 0);
    DamageNtacl(machine.DriveC() + "/data/report.txt");

    auto recursive = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse"});
    EXPECT_EQ(recursive.exitCode, 1) << recursive.out << recursive.err;
    EXPECT_NE(recursive.err.find("ERROR updating the inherited entries of <\\\\?\\C:\\data\\report.txt>: The "
                                 "security descriptor structure is invalid."),
              std::string::npos)
        << recursive.err;
    EXPECT_EQ(recursive.err.find("<\\\\?\\C:\\data>"), std::string::npos) << recursive.err;
    EXPECT_NE(recursive.err.find("\nTavrik completed with errors: 1 object was not processed"), std::string::npos)
        << recursive.err;
    EXPECT_NE(recursive.out.find("Processing ACL of: <\\\\?\\C:\\data\\zz\\last.txt>"), std::string::npos)
        << recursive.out;
    for (const char* object : {"C:\\data\\sub\\notes.txt", "C:\\data\\zz\\last.txt"}) {
        EXPECT_TRUE(HasAce(Sddl(object), "A", "OICI", "FR", "BU")) << object << " " << Sddl(object);
    }

    // Alone, the directory's write still reaches every other child.
    DamageNtacl(machine.DriveC() + "/data/sub");
    auto single = Run({"deny", "C:\\data", "Guest", "write"});
    EXPECT_EQ(single.exitCode, 1) << single.out << single.err;
    for (const char* child : {"report.txt", "sub"}) {
        EXPECT_NE(single.err.find("ERROR updating the inherited entries of <\\\\?\\C:\\data\\" + std::string(child) +
                                  ">"),
                  std::string::npos)
            << single.err;
    }
    EXPECT_TRUE(HasAce(Sddl("C:\\data\\zz\\last.txt"), "D", "ID", "", "LG")) << Sddl("C:\\data\\zz\\last.txt");
    EXPECT_TRUE(HasAce(Sddl("C:\\data"), "D", "OICI", "", "LG")) << Sddl("C:\\data");
}

}  // namespace
}  // namespace tavrik::test

#include <sqlite3.h>

namespace tavrik::test {
namespace {

// Runs `script` with sh in a mount namespace of its own, $DB naming the
// database (already checkpointed) and $T the tavrik program. Exit code 77:
// mounts are not available here.
CommandResult RunInMountNamespace(const std::string& folder, const std::string& db, const std::string& script) {
    const std::string out = folder + "/ns.out", err = folder + "/ns.err", file = folder + "/ns.sh";
    std::ofstream(file) << "set -e\nDB='" << db << "'\nT='" << TAVRIK_BINARY << "'\nmkdir -p '" << folder
                        << "/mnt'\nM='" << folder << "/mnt'\nmount -t tmpfs -o size=1m tavrik-test \"$M\" || exit 77\n"
                        << "cp \"$DB\" \"$M/machine.db\"\nexport TAVRIK_MACHINE=\"$M/machine.db\"\nset +e\n"
                        << script << "\n";
    const int status = std::system(("unshare -m --propagation private sh '" + file + "' >'" + out + "' 2>'" + err +
                                    "'")
                                       .c_str());
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream outFile(out), errFile(err);
    result.out.assign(std::istreambuf_iterator<char>(outFile), {});
    result.err.assign(std::istreambuf_iterator<char>(errFile), {});
    return result;
}

// A database on a file system that takes no more writes (read-only, or
// full) still serves jobs that only read the network; a change of the
// network says why it cannot be saved, naming the file.
TEST_F(TavrikCommand, ADatabaseThatCannotBeWrittenIsStillReadAndAChangeSaysWhy) {
    if (std::system("unshare -m true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mount namespaces here";
    winapi::machine::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor");
    // All in the main file: the copy below takes no -wal or -shm along.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(machine.DatabasePath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    const struct {
        const char* name;
        const char* makeUnwritable;
        const char* reason;
    } cases[] = {
        {"read-only", "mount -o remount,ro \"$M\"", "read-only file system"},
        {"full", "dd if=/dev/zero of=\"$M/filler\" bs=4k 2>/dev/null", "disk full"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto list = RunInMountNamespace(
            machine.Folder(), machine.DatabasePath(),
            std::string(c.makeUnwritable) +
                "\n\"$T\" list 'HKLM\\SOFTWARE\\Vendor' --format sddl --quiet; echo \"list=$?\"\n"
                "\"$T\" list 'C:\\data' --quiet; echo \"files=$?\"\n"
                "\"$T\" grant 'HKLM\\SOFTWARE\\Vendor' Guest read; echo \"grant=$?\"");
        if (list.exitCode == 77) GTEST_SKIP() << "mounts are not available here: " << list.err;
        EXPECT_NE(list.out.find("list=0"), std::string::npos) << list.out << list.err;
        EXPECT_NE(list.out.find("\"\\\\?\\C:\\data\",1,"), std::string::npos) << list.out << list.err;
        EXPECT_NE(list.out.find("files=0"), std::string::npos) << list.out << list.err;
        EXPECT_NE(list.out.find("machine\\SOFTWARE\\Vendor\",4,\"D:"), std::string::npos) << list.out;
        EXPECT_EQ(list.out.find("grant=0"), std::string::npos) << list.out << list.err;
        EXPECT_NE(list.err.find(std::string("the simulated computer's database ") + machine.Folder() + "/mnt/machine.db"),
                  std::string::npos)
            << list.err;
        EXPECT_NE(list.err.find(c.reason), std::string::npos) << list.err;
    }
}

}  // namespace
}  // namespace tavrik::test
