// `tavrik sddl` run as a user runs it: Windows' canonical text on standard
// output and status 0, or a message and status 1 for text Windows rejects.
#include <gtest/gtest.h>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

class SddlCommand : public ::testing::Test {
protected:
    CommandResult Run(const std::string& text) { return RunTavrik({"sddl", text}, machine.DatabasePath()); }

    TempMachine machine;
};

TEST_F(SddlCommand, PrintsTheCanonicalForm) {
    struct Case {
        const char* input;
        const char* canonical;
    } cases[] = {
        {"D:(a;;ga;;; wd)", "D:(A;;GA;;;WD)\n"},
        {"S:D:", "D:S:\n"},
        {"  O:AA G:WD  ", "O:AAG:WD\n"},
        {"D:(A;;1179817;;;S-1-5-32-544)", "D:(A;;0x1200a9;;;BA)\n"},
        {"O:S- 1- 2-3", "O:S-1-2-3\n"},
    };
    for (const Case& c : cases) {
        CommandResult r = Run(c.input);
        EXPECT_EQ(r.exitCode, 0) << c.input << ": " << r.err;
        EXPECT_EQ(r.out, c.canonical) << c.input;
    }
}

TEST_F(SddlCommand, RejectsWhatWindowsRejects) {
    for (const char* input : {"d:(A;;GA;;;LG)", "D:(A;;GA ;;;LG)", "O:XX", "D:((A;;GA;;;LG))"}) {
        CommandResult r = Run(input);
        EXPECT_EQ(r.exitCode, 1) << input;
        EXPECT_EQ(r.out, "") << input;
        EXPECT_NE(r.err.find("Windows error 87"), std::string::npos) << input << ": " << r.err;
    }
}

TEST_F(SddlCommand, TextIsRequired) {
    CommandResult r = RunTavrik({"sddl"}, machine.DatabasePath());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out.find("D:"), std::string::npos);
}

}  // namespace
}  // namespace tavrik::test
