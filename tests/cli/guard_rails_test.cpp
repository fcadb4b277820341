// The tavrik command refuses, object by object, a change after which nobody
// could change an object's permissions any more, unless --force is given.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <unistd.h>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

const char kRefusal[] = "> was left as it is: after this change nobody could change its permissions any more";

class GuardRails : public ::testing::Test {
protected:
    GuardRails() {
        fs::create_directories(machine.DriveC() + "/data/sub");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    }
    CommandResult Run(std::vector<std::string> args) { return RunTavrik(args, machine.DatabasePath()); }

    void Seed(const std::vector<std::pair<std::string, std::string>>& records) {
        std::string error;
        ASSERT_TRUE(SeedDescriptors(records, machine.DatabasePath(), machine.Folder(), &error)) << error;
    }
    std::map<std::string, std::string> Tree() { return ListDescriptors("C:\\data", "dacl,owner,group", machine.DatabasePath()); }

    TempMachine machine;
};

// Administrators hold full control and OWNER RIGHTS entries leave the owner
// only READ_CONTROL: taking the administrators' right away leaves nobody.
const std::vector<std::pair<std::string, std::string>> kOwnerRightsTree = {
    {"C:\\data", "O:BUG:BUD:PAI(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;RC;;;OW)"},
    {"C:\\data\\sub", "O:BUG:BUD:AI(A;;RC;;;OW)"},
};

TEST_F(GuardRails, ChangesThatLeaveNobodyInChargeAreRefusedPerObjectUnlessForced) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> refused;  // left as they were, each named
        std::vector<std::string> changed;  // the job's other objects
    } cases[] = {
        {{"set", "C:\\data", "BUILTIN\\Administrators", "read"}, {"C:\\data"}, {}},
        {{"revoke", "C:\\data", "BUILTIN\\Administrators"}, {"C:\\data"}, {}},
        {{"deny", "C:\\data", "Everyone", "full"}, {"C:\\data"}, {}},
        // A tree root whose inherited entries were all that let anyone in.
        {{"protect", "C:\\data\\sub", "--dacl", "remove"}, {"C:\\data\\sub"}, {}},
        // Per object: the objects that inherit OWNER RIGHTS are refused,
        // those below the protected sub (whose owner keeps its own right)
        // are changed.
        {{"deny", "C:\\data", "Everyone", "full", "--recurse"},
         {"C:\\data", "C:\\data\\report.txt"},
         {"C:\\data\\sub", "C:\\data\\sub\\notes.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Seed(kOwnerRightsTree);
        if (c.args.back() == "--recurse") Seed({{"C:\\data\\sub", "O:BUG:BUD:PAI(A;OICI;FA;;;BA)"}});
        const auto before = Tree();
        auto r = Run(c.args);
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        const auto after = Tree();
        for (const auto& object : c.refused) {
            EXPECT_NE(r.err.find("ERROR: <\\\\?\\" + object + kRefusal), std::string::npos) << r.err;
            EXPECT_EQ(after.at(object), before.at(object));
        }
        for (const auto& object : c.changed) EXPECT_NE(after.at(object), before.at(object)) << object;
        EXPECT_NE(r.err.find("Give --force to make the change anyway."), std::string::npos);
        EXPECT_NE(r.err.find(std::to_string(c.refused.size()) +
                             (c.refused.size() == 1 ? " object was" : " objects were") + " not processed"),
                  std::string::npos)
            << r.err;

        // A dry run says the same and plans nothing for those objects.
        auto dry = c.args;
        dry.push_back("--dry-run");
        r = Run(dry);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(kRefusal), std::string::npos) << r.err;

        auto forced = c.args;
        forced.push_back("--force");
        Seed(kOwnerRightsTree);
        if (c.args.back() == "--recurse") Seed({{"C:\\data\\sub", "O:BUG:BUD:PAI(A;OICI;FA;;;BA)"}});
        r = Run(forced);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err.find(kRefusal), std::string::npos) << r.err;
        const auto forcedTree = Tree();
        for (const auto& object : c.refused) EXPECT_NE(forcedTree.at(object), before.at(object)) << object;
    }
}

// Linux trees grant full control only to the Unix root account and the
// owner; owners keep their own right to change permissions unless OWNER
// RIGHTS entries withhold it; an object nobody could manage before is no
// worse for a change that leaves it so.
TEST_F(GuardRails, EverydayChangesAreNeverRefused) {
    const std::vector<std::vector<std::string>> onLinuxTree = {
        {"grant", "C:\\data", "BUILTIN\\Users", "read_ex", "--recurse"},
        {"set", "C:\\data", "BUILTIN\\Administrators", "read"},
        {"deny", "C:\\data", "Everyone", "full"},
        {"revoke", "C:\\data", "Everyone"},
        {"protect", "C:\\data\\sub", "--dacl", "remove"},
        {"owner", "C:\\data", "BUILTIN\\Administrators", "--recurse"},
        {"reset-children", "C:\\data"},
        {"clear", "C:\\data", "--dacl", "--recurse"},
        {"protect", "C:\\data", "--dacl", "inherit"},
    };
    for (const auto& args : onLinuxTree) {
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << "\n" << r.err;
    }
    const std::vector<std::vector<std::string>> onOwnerRightsTree = {
        {"deny", "C:\\data", "Guest", "full", "--recurse"},
        {"grant", "C:\\data", "BUILTIN\\Users", "change", "--recurse"},
        {"set", "C:\\data", "SYSTEM", "full"},
        {"set", "C:\\data", "BUILTIN\\Administrators", "read"},  // SYSTEM has it now
        {"deny", "C:\\data\\sub", "Everyone", "full", "--force"},
        {"grant", "C:\\data\\sub", "Guest", "read"},  // was locked already
        {"protect", "C:\\data\\sub", "--dacl", "keep"},
    };
    Seed(kOwnerRightsTree);
    for (const auto& args : onOwnerRightsTree) {
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << " " << args[1] << "\n" << r.err;
    }
}

// Completion reads the options from --help, as the manual page does.
TEST(GuardRailsOption, ForceIsCompletedForEveryChangingCommand) {
    for (const char* command : {"grant", "set", "deny", "revoke", "owner", "protect", "clear", "reset-children",
                                "run", "orphans", "trustee replace", "domain migrate"}) {
        const std::string script = std::string("source ") + TAVRIK_SOURCE_DIR +
                                   "/cli/completion/tavrik.bash; COMP_WORDS=(" + TAVRIK_BINARY + " " + command +
                                   " --forc); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tavrik; echo \"${COMPREPLY[*]}\"";
        const std::string file = ::testing::TempDir() + "/complete-force-" + std::to_string(getpid()) + ".sh";
        std::ofstream(file) << script << "\n";
        FILE* pipe = popen(("bash " + file).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[256] = {};
        const std::string offered = fgets(buffer, sizeof buffer, pipe) ? buffer : "";
        pclose(pipe);
        fs::remove(file);
        EXPECT_EQ(offered, "--force\n") << command;
    }
}

}  // namespace
}  // namespace tavrik::test
