// --verbose says on stderr what the job does to each object and how long
// it took; error and warning lines are coloured on a terminal only, and
// never with NO_COLOR.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

class VerboseAndColour : public ::testing::Test {
protected:
    VerboseAndColour() {
        fs::create_directories(machine.DriveC() + "/data/sub");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    }
    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); }

    // Runs tavrik with stdout and stderr on a new terminal; what it wrote
    // there, both streams mixed. `noColor` is NO_COLOR's value, or null.
    std::string RunOnTerminal(const std::vector<std::string>& args, const char* noColor) {
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            setenv("TAVRIK_MACHINE", machine.DatabasePath().c_str(), 1);
            setenv("TERM", "xterm", 1);
            if (noColor != nullptr) {
                setenv("NO_COLOR", noColor, 1);
            } else {
                unsetenv("NO_COLOR");
            }
            std::vector<std::string> text{TAVRIK_BINARY};
            text.insert(text.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : text) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
        std::string out;
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                out.append(buffer, static_cast<size_t>(got));
            } else if (got < 0 && errno == EINTR) {
                continue;
            } else {
                break;  // EIO once the program has ended and closed the terminal
            }
        }
        close(master);
        int status = 0;
        waitpid(pid, &status, 0);
        return out;
    }

    TempMachine machine;
};

TEST_F(VerboseAndColour, VerboseDescribesTheJobEachObjectAndTheTimings) {
    auto grant = Run({"grant", "C:\\data", "Everyone", "read", "--inherit", "ci,oi", "--recurse", "--verbose"});
    ASSERT_EQ(grant.exitCode, 0) << grant.err;
    EXPECT_NE(grant.err.find("verbose: job: grant 'Everyone' read (inherit ci,oi); object "), std::string::npos)
        << grant.err;
    for (const char* object : {"", "\\report.txt", "\\sub", "\\sub\\notes.txt"}) {
        EXPECT_NE(grant.err.find("verbose: <\\\\?\\C:\\data" + std::string(object) + ">: processed\n"),
                  std::string::npos)
            << object << "\n" << grant.err;
    }
    const std::regex timings(
        "verbose: timings: 4 objects \\(0 failed\\) in [0-9]+\\.[0-9]{3} s, [0-9]+\\.[0-9]{3} ms per object, "
        "[0-9]+ objects/s\n$");
    EXPECT_TRUE(std::regex_search(grant.err, timings)) << grant.err;
    // The lines are stderr's: stdout is what it is without --verbose.
    EXPECT_EQ(grant.out.find("verbose:"), std::string::npos) << grant.out;

    // A listing that cannot read one object names it as failed and goes on.
    const std::string damaged = machine.DriveC() + "/data/report.txt";
    ASSERT_TRUE(setxattr(damaged.c_str(), "security.NTACL", "\x01", 1, 0) == 0 ||
                setxattr(damaged.c_str(), "user.NTACL", "\x01", 1, 0) == 0);
    auto list = Run({"list", "C:\\data", "--recurse", "--ignore-errors", "--format", "text", "--quiet", "-v"});
    EXPECT_EQ(list.exitCode, 1) << list.err;
    EXPECT_NE(list.err.find("verbose: <\\\\?\\C:\\data\\report.txt>: failed\n"), std::string::npos) << list.err;
    EXPECT_NE(list.err.find("verbose: <\\\\?\\C:\\data\\sub\\notes.txt>: listed\n"), std::string::npos) << list.err;
    EXPECT_NE(list.err.find("verbose: timings: 4 objects (1 failed) in "), std::string::npos) << list.err;
    EXPECT_EQ(list.out.find("verbose:"), std::string::npos) << list.out;
}

TEST_F(VerboseAndColour, ErrorLinesAreColouredOnATerminalUnlessNoColorIsSet) {
    const std::vector<std::string> failing = {"grant", "C:\\nowhere", "Everyone", "read"};
    const std::string red = "\033[31m";

    const std::string coloured = RunOnTerminal(failing, nullptr);
    EXPECT_NE(coloured.find(red + "Error: "), std::string::npos) << coloured;
    EXPECT_NE(coloured.find(red + "Tavrik finished with error(s): [5 READ_SD_FAILED]"), std::string::npos)
        << coloured;
    // An empty NO_COLOR does not count as set.
    EXPECT_NE(RunOnTerminal(failing, "").find(red), std::string::npos);

    const std::string plain = RunOnTerminal(failing, "1");
    EXPECT_NE(plain.find("Error: "), std::string::npos) << plain;
    EXPECT_EQ(plain.find('\033'), std::string::npos) << plain;

    // Not a terminal: never any escape code.
    auto piped = Run(failing);
    EXPECT_NE(piped.err.find("Error: "), std::string::npos) << piped.err;
    EXPECT_EQ((piped.out + piped.err).find('\033'), std::string::npos) << piped.err;
}

}  // namespace
}  // namespace tavrik::test
