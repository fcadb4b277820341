// A tree thousands of levels deep is listed, backed up, restored and
// granted whole: one descriptor per level, no recursion on the stack (the
// sanitizer build runs this too), every object reached once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

constexpr int kDepth = 2000;

// The name and value of the NTACL attribute a write left on `path`.
bool ReadNtAcl(const std::string& path, std::string* name, std::vector<char>* value) {
    for (const char* candidate : {"security.NTACL", "user.NTACL"}) {
        const ssize_t size = ::getxattr(path.c_str(), candidate, nullptr, 0);
        if (size <= 0) continue;
        value->resize(static_cast<size_t>(size));
        if (::getxattr(path.c_str(), candidate, value->data(), value->size()) != size) return false;
        *name = candidate;
        return true;
    }
    return false;
}

size_t Lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

class DeepTree : public ::testing::Test {
protected:
    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine_.DatabasePath()); }
    virtual int Depth() const { return kDepth; }

    // C:\deep\d\d\...\d, each level holding a directory d and a file f, every
    // object with a descriptor whose entries are all inherited (as after
    // reset-children), so that entries do not pile up level after level
    // and each stays within what the file system can store.
    void SetUp() override {
        const std::string drive = machine_.DriveC();
        std::filesystem::create_directories(drive + "/model/sub");
        std::ofstream(drive + "/model/sub/f") << "";
        ASSERT_EQ(Run({"grant", "C:\\model", "BUILTIN\\Users", "read_ex"}).exitCode, 0);
        ASSERT_EQ(Run({"reset-children", "C:\\model"}).exitCode, 0);
        std::string attribute;
        std::vector<char> directorySd, fileSd;
        ASSERT_TRUE(ReadNtAcl(drive + "/model/sub", &attribute, &directorySd));
        ASSERT_TRUE(ReadNtAcl(drive + "/model/sub/f", &attribute, &fileSd));

        ASSERT_EQ(::mkdir((drive + "/deep").c_str(), 0755), 0);
        int level = ::open((drive + "/deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(level, 0);
        ASSERT_EQ(::fsetxattr(level, attribute.c_str(), directorySd.data(), directorySd.size(), 0), 0);
        for (int i = 0; i < Depth(); ++i) {
            ASSERT_EQ(::mkdirat(level, "d", 0755), 0);
            const int file = ::openat(level, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(file, 0);
            ASSERT_EQ(::fsetxattr(file, attribute.c_str(), fileSd.data(), fileSd.size(), 0), 0);
            ::close(file);
            const int next = ::openat(level, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::close(level);
            level = next;
            ASSERT_GE(level, 0);
            ASSERT_EQ(::fsetxattr(level, attribute.c_str(), directorySd.data(), directorySd.size(), 0), 0);
        }
        ::close(level);
    }

    TempMachine machine_;
};

TEST_F(DeepTree, IsGrantedListedBackedUpAndRestoredWhole) {
    auto granted =
        Run({"grant", "C:\\deep", "BUILTIN\\Guests", "read_ex", "--recurse", "--inherit", "none", "--quiet"});
    ASSERT_EQ(granted.exitCode, 0) << granted.err.substr(0, 2000);
    std::string deepest = "C:\\deep";
    for (int i = 1; i < kDepth; ++i) deepest += "\\d";  // the file beside the deepest directory
    auto last = Run({"list", deepest + "\\f", "--format", "sddl", "--quiet"});
    ASSERT_EQ(last.exitCode, 0) << last.err.substr(0, 2000);
    EXPECT_NE(last.out.find(";;;BG)"), std::string::npos) << last.out.substr(0, 2000);

    auto listed = Run({"list", "C:\\deep", "--recurse", "--format", "sddl", "--quiet"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err.substr(0, 2000);
    EXPECT_EQ(Lines(listed.out), static_cast<size_t>(2 * kDepth + 1));
    const std::string backup = machine_.Folder() + "/deep-backup.txt";
    auto saved = Run({"backup", "C:\\deep", backup, "--recurse", "--quiet"});
    ASSERT_EQ(saved.exitCode, 0) << saved.err.substr(0, 2000);

    ASSERT_EQ(Run({"grant", "C:\\deep", "BUILTIN\\Guests", "full", "--recurse", "--inherit", "none", "--quiet"})
                  .exitCode,
              0);
    auto restored = Run({"restore", backup, "--quiet"});
    ASSERT_EQ(restored.exitCode, 0) << restored.err.substr(0, 2000);
    auto again = Run({"list", "C:\\deep", "--recurse", "--format", "sddl", "--quiet"});
    ASSERT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.out == listed.out) << "the restore did not bring every descriptor back";
}

// A recursive grant holds one descriptor per level: the record of what a
// directory owes its children borrows the descriptor of the directory's
// search instead of keeping one of its own. Under a hard limit of open
// files below twice the depth, the whole tree is still granted.
class ShallowDeepTree : public DeepTree {
protected:
    int Depth() const override { return 300; }
};

TEST_F(ShallowDeepTree, RecursiveGrantHoldsOneDescriptorPerLevel) {
    const std::string command = "ulimit -n 450 && TAVRIK_MACHINE='" + machine_.DatabasePath() +
                                "' XDG_STATE_HOME='" + machine_.Folder() + "/state' '" + TAVRIK_BINARY +
                                "' grant 'C:\\deep' 'BUILTIN\\Guests' read_ex --recurse --inherit none --quiet "
                                ">/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::string deepest = "C:\\deep";
    for (int i = 1; i < Depth(); ++i) deepest += "\\d";
    auto last = Run({"list", deepest + "\\f", "--format", "sddl", "--quiet"});
    EXPECT_NE(last.out.find(";;;BG)"), std::string::npos) << last.out.substr(0, 2000);
}

}  // namespace
}  // namespace tavrik::test
