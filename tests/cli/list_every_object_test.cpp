// tavrik list names every object it passes, even one whose entries its
// options hide, so that a tree never looks emptier than it is.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

TEST(ListEveryObject, ObjectsWithOnlyHiddenEntriesStillShowTheirNames) {
    TempMachine machine;
    std::filesystem::create_directories(machine.DriveC() + "/data/sub");
    std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    auto run = [&machine](const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); };
    // Below C:\data only inherited entries remain.
    ASSERT_EQ(run({"grant", "C:\\data", "Everyone", "read"}).exitCode, 0);
    ASSERT_EQ(run({"clear", "C:\\data\\sub", "--recurse"}).exitCode, 0);

    struct Case {
        const char* format;
        std::string subRecord, notesRecord;
    } cases[] = {
        {"csv", "\"\\\\?\\C:\\data\\sub\",1,\"\"\n", "\"\\\\?\\C:\\data\\sub\\notes.txt\",1,\"\"\n"},
        {"text", "\\\\?\\C:\\data\\sub\n\n", "\\\\?\\C:\\data\\sub\\notes.txt\n\n"},
    };
    for (const auto& c : cases) {
        auto listed = run({"list", "C:\\data", "--recurse", "--explicit", "--format", c.format, "--quiet"});
        ASSERT_EQ(listed.exitCode, 0) << listed.err;
        EXPECT_NE(listed.out.find(c.subRecord), std::string::npos) << c.format << "\n" << listed.out;
        EXPECT_NE(listed.out.find(c.notesRecord), std::string::npos) << c.format << "\n" << listed.out;
        EXPECT_NE(listed.out.find("Everyone"), std::string::npos) << "C:\\data's own entry\n" << listed.out;
    }
    // A part the object does not hold at all (no SACL) hides nothing more.
    auto sacl = run({"list", "C:\\data\\sub\\notes.txt", "--what", "sacl", "--quiet"});
    EXPECT_EQ(sacl.out, "\"\\\\?\\C:\\data\\sub\\notes.txt\",1,\"\"\n") << sacl.err;
}

}  // namespace
}  // namespace tavrik::test
