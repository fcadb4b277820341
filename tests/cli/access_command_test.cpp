// tavrik access: the rights an account has on an object through the access
// check the layer performs, with the entries that grant and deny them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

class AccessCommand : public ::testing::Test {
protected:
    AccessCommand() {
        fs::create_directories(machine.DriveC() + "/data");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        alice = Sid({"machine", "add-account", "TESTPC", "alice2"});
        bob = Sid({"machine", "add-account", "TESTPC", "bob"});
        staff = Sid({"machine", "add-account", "TESTPC", "Staff", "--kind", "group"});
        auditors = Sid({"machine", "add-account", "TESTPC", "Auditors", "--kind", "group"});
        // bob is in Staff through Auditors.
        EXPECT_EQ(Run({"machine", "add-member", "TESTPC\\Auditors", "TESTPC\\bob"}).exitCode, 0);
        EXPECT_EQ(Run({"machine", "add-member", "TESTPC\\Staff", "TESTPC\\Auditors"}).exitCode, 0);
        // A known start: administrators only on the directory, inherited below.
        const std::string start = machine.Folder() + "/start.txt";
        std::ofstream(start) << "\"C:\\data\",1,\"O:BAD:PAI(A;OICI;FA;;;BA)\"\n"
                             << "\"C:\\data\\report.txt\",1,\"O:BAD:AI(A;ID;FA;;;BA)\"\n";
        EXPECT_EQ(Run({"restore", start}).exitCode, 0);
        EXPECT_EQ(Run({"grant", "C:\\data", "TESTPC\\Staff", "read_ex"}).exitCode, 0);
        EXPECT_EQ(Run({"deny", "C:\\data\\report.txt", "TESTPC\\alice2", "write"}).exitCode, 0);
        EXPECT_EQ(Run({"grant", "C:\\data\\report.txt", "TESTPC\\alice2", "full"}).exitCode, 0);
    }

    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); }
    std::string Sid(const std::vector<std::string>& args) {
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out.substr(0, r.out.find('\n'));
    }
    nlohmann::json Access(const std::string& account) {
        auto r = Run({"access", "C:\\data\\report.txt", account, "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line\n" << r.out;
        return nlohmann::json::parse(r.out);
    }

    TempMachine machine;
    std::string alice, bob, staff, auditors;
};

TEST_F(AccessCommand, DenyWinsOverAnAllowOfTheSameAccount) {
    auto text = Run({"access", "C:\\data\\report.txt", "TESTPC\\alice2"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("<\\\\?\\C:\\data\\report.txt> for TESTPC\\alice2 (" + alice + "): "), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("   deny    TESTPC\\alice2   write   explicit   denies write"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("   allow   TESTPC\\alice2   full   explicit   grants "), std::string::npos) << text.out;

    auto json = Access("TESTPC\\alice2");
    EXPECT_EQ(json["record"], "access");
    EXPECT_EQ(json["account"]["sid"], alice);
    const unsigned mask = json["mask"];
    EXPECT_EQ(mask & 0x2u, 0u) << "write data is denied";
    EXPECT_EQ(mask & 0x1u, 0x1u) << "read data is granted";
    ASSERT_EQ(json["entries"].size(), 2u) << json.dump();  // Staff's entry is not hers
    EXPECT_EQ(json["entries"][0]["type"], "deny");
    EXPECT_EQ(json["entries"][0]["denies"]["mask"], json["entries"][0]["mask"]);
    EXPECT_EQ(json["entries"][1]["type"], "allow");
    EXPECT_EQ(json["entries"][1]["grants"]["mask"].get<unsigned>() & 0x2u, 0u) << "already denied";
}

TEST_F(AccessCommand, GroupsGrantThroughInheritedEntriesAndNestedMembership) {
    auto json = Access("TESTPC\\bob");
    EXPECT_EQ(json["mask"], 0x1200a9) << json.dump();
    EXPECT_EQ(json["rights"], nlohmann::json::array({"read_execute"}));
    ASSERT_EQ(json["entries"].size(), 1u) << json.dump();
    EXPECT_EQ(json["entries"][0]["trustee"]["sid"], staff);
    EXPECT_EQ(json["entries"][0]["inherited"], true);
    EXPECT_EQ(json["entries"][0]["grants"]["mask"], 0x1200a9);
    // The group itself, and an account of no group but Everyone's.
    EXPECT_EQ(Access("TESTPC\\Staff")["mask"], 0x1200a9);
    auto outsider = Run({"access", "C:\\data\\report.txt", "Guest"});
    ASSERT_EQ(outsider.exitCode, 0) << outsider.err;
    EXPECT_NE(outsider.out.find(": no access (0x00000000)\n   no entry applies"), std::string::npos)
        << outsider.out;
    // Administrators hold everything, and the owner could change the
    // permissions even without an entry.
    EXPECT_EQ(Access("BUILTIN\\Administrators")["mask"], 0x1f01ff);
}

TEST_F(AccessCommand, AnUnknownAccountOrObjectIsNamedWithItsCode) {
    auto account = Run({"access", "C:\\data\\report.txt", "TESTPC\\nobody"});
    EXPECT_EQ(account.exitCode, 6);
    EXPECT_NE(account.err.find("Error: cannot resolve the account 'TESTPC\\nobody'"), std::string::npos) << account.err;
    EXPECT_NE(account.err.find("[6 TRUSTEE_NOT_FOUND]"), std::string::npos) << account.err;
    EXPECT_TRUE(account.out.empty()) << account.out;

    auto object = Run({"access", "C:\\data\\missing.txt", "Guest"});
    EXPECT_EQ(object.exitCode, 5) << object.err;
    EXPECT_NE(object.err.find("<\\\\?\\C:\\data\\missing.txt>"), std::string::npos) << object.err;
}

}  // namespace
}  // namespace tavrik::test
