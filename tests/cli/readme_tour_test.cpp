// The README's tour of the tavrik command, run line by line as a newcomer
// would, on the default computer a fresh user gets. The commands are read
// from README.md itself, so that the two cannot drift apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <stdlib.h>

#include "cli/run_tavrik.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

// An empty directory standing for a new user's home, removed afterwards.
class TempFolder {
public:
    TempFolder() : path_((fs::temp_directory_path() / "tavrik-tour-XXXXXX").string()) {
        if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

struct TourCommand {
    std::string line;               // as the README shows it
    std::vector<std::string> args;  // what the shell hands the program, without "tavrik"
    std::string comment;            // the text after '#'
};

// Splits one shell command as bash would for the quoting the README uses:
// single quotes, double quotes, backslash escapes and '#' comments.
TourCommand SplitCommand(const std::string& line) {
    TourCommand command{line, {}, {}};
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\'') {
            const size_t end = line.find('\'', i + 1);
            if (end == std::string::npos) throw std::runtime_error("unclosed quote in: " + line);
            word += line.substr(i + 1, end - i - 1);
            inWord = true;
            i = end;
        } else if (c == '"') {
            inWord = true;
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size() && std::string("\"\\$`").find(line[i + 1]) != std::string::npos)
                    ++i;
                word += line[i];
            }
            if (i >= line.size()) throw std::runtime_error("unclosed quote in: " + line);
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) command.args.push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '#' && !inWord) {
            command.comment = line.substr(i + 1);
            break;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) command.args.push_back(word);
    if (command.args.empty() || command.args.front() != "tavrik")
        throw std::runtime_error("not a tavrik command: " + line);
    command.args.erase(command.args.begin());
    return command;
}

// The commands of the first code block after the tour's heading; a line
// ending in a backslash continues on the next.
std::vector<TourCommand> TourCommands() {
    std::ifstream readme(std::string(TAVRIK_SOURCE_DIR) + "/README.md");
    std::string line;
    bool inTour = false, inBlock = false;
    std::string pending;
    std::vector<TourCommand> commands;
    while (std::getline(readme, line)) {
        if (!inTour) {
            inTour = line.rfind("## A tour of the `tavrik` command", 0) == 0;
        } else if (line.rfind("```", 0) == 0) {
            if (inBlock) break;
            inBlock = true;
        } else if (inBlock) {
            if (!line.empty() && line.back() == '\\') {
                pending += line.substr(0, line.size() - 1);
                continue;
            }
            pending += line;
            if (pending.find_first_not_of(' ') != std::string::npos) commands.push_back(SplitCommand(pending));
            pending.clear();
        }
    }
    return commands;
}

TEST(ReadmeTour, EveryCommandSucceedsInOrderOnAFreshDefaultComputer) {
    const auto commands = TourCommands();
    ASSERT_GE(commands.size(), 15u) << "the tour's code block was not found in README.md";
    // The per-user default computer, created on first use as for a new user.
    TempFolder home;
    const std::string database = home.Path() + "/tavrik/machine.db";
    for (const auto& command : commands) {
        auto result = RunTavrik(command.args, database, home.Path());
        EXPECT_EQ(result.exitCode, 0) << command.line << "\n" << result.out << result.err;
        // A comment that promises output ("prints X") holds.
        const auto prints = command.comment.find("prints ");
        if (prints != std::string::npos) {
            EXPECT_NE(result.out.find(command.comment.substr(prints + 7)), std::string::npos) << command.line;
        }
    }
    EXPECT_TRUE(fs::exists(home.Path() + "/data-acl.txt"));
}

TEST(ReadmeTour, SplitsCommandsAsTheShellDoes) {
    const auto command = SplitCommand(R"(tavrik grant 'C:\Data' "a \"b\"" x\ y --recurse   # note)");
    EXPECT_EQ(command.args, (std::vector<std::string>{"grant", "C:\\Data", "a \"b\"", "x y", "--recurse"}));
    EXPECT_EQ(command.comment, " note");
}

}  // namespace
}  // namespace tavrik::test
