// File names that Linux allows and Windows does not ('"', '<', ':', '*'...)
// are objects like any other: every job lists and changes them, and only a
// backup, whose records quote names, refuses the ones it cannot hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

// The SDDL record of `name` (below C:\data) in a listing, or "".
std::string RecordOf(const std::string& listing, const std::string& name) {
    const std::string start = "\"\\\\?\\C:\\data\\" + name + "\",1,\"";
    const size_t at = listing.find(start);
    return at == std::string::npos ? std::string() : listing.substr(at, listing.find('\n', at) - at);
}

TEST(QuotedFileNames, EveryJobProcessesThemAndABackupRefusesOnlyWhatItCannotHoldByName) {
    TempMachine machine;
    const std::string data = machine.DriveC() + "/data";
    fs::create_directories(data + "/d*r");
    // Each name below reached the file layer as an invalid name and stopped
    // the whole job; the last one holds the backup record's own separator.
    const std::vector<std::string> names = {"say \"hi\"", "d*r/in\"ner", "a<b>c:d|e?", "x\",y"};
    for (const auto& name : names) std::ofstream(data + "/" + name) << name;
    auto run = [&machine](const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); };

    auto grant = run({"grant", "C:\\data", "Everyone", "read", "--recurse"});
    ASSERT_EQ(grant.exitCode, 0) << grant.out << grant.err;
    for (const auto& name : {"say \"hi\"", "d*r\\in\"ner", "a<b>c:d|e?", "x\",y"})
        EXPECT_NE(grant.out.find("Processing ACL of: <\\\\?\\C:\\data\\" + std::string(name) + ">"), std::string::npos)
            << name << "\n" << grant.out;

    auto list = run({"list", "C:\\data", "--recurse", "--format", "sddl", "--quiet"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    for (const auto& name : {"say \"hi\"", "d*r\\in\"ner", "a<b>c:d|e?", "x\",y"})
        EXPECT_NE(RecordOf(list.out, name).find("(A;ID;FR;;;WD)"), std::string::npos) << name << "\n" << list.out;

    // A name holding '",' would read back as another name: that object
    // alone is left out, by name, and the job goes on to the end.
    const std::string backup = machine.Folder() + "/quoted.bak";
    auto saved = run({"backup", "C:\\data", backup, "--recurse"});
    EXPECT_EQ(saved.exitCode, 1) << saved.out << saved.err;
    EXPECT_NE(saved.err.find("ERROR writing backup of <\\\\?\\C:\\data\\x\",y>: the name cannot be stored"),
              std::string::npos)
        << saved.err;
    EXPECT_NE(saved.err.find("1 object was not processed"), std::string::npos) << saved.err;

    // The others round-trip: cleared, then restored from the backup.
    ASSERT_EQ(run({"clear", "C:\\data", "--dacl", "--recurse"}).exitCode, 0);
    auto restore = run({"restore", backup});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    auto again = run({"list", "C:\\data", "--recurse", "--format", "sddl", "--quiet"});
    for (const auto& name : {"say \"hi\"", "d*r\\in\"ner", "a<b>c:d|e?"})
        EXPECT_NE(RecordOf(again.out, name).find("(A;ID;FR;;;WD)"), std::string::npos) << name << "\n" << again.out;
}

}  // namespace
}  // namespace tavrik::test
