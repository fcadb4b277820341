// Jobs run as root on a tree whose users swap directories and files for
// symbolic links while the job runs. An attacker thread exchanges bob's
// folder `docs` (and one of its files) with links to alice's folder, to a
// folder outside every drive and to files there, as fast as it can; each
// job runs again and again for a bounded time under that attack. Nothing
// outside the walked tree (alice's files, the drive's upper directories,
// the folder outside the drive) may be written, and no job may list or
// back up a descriptor read from there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Each job is repeated under attack for this long.
constexpr auto kAttackTime = std::chrono::milliseconds(1500);

// Owners whose SIDs mark descriptors that lie outside the walked tree.
constexpr uid_t kBob = 4244, kAlice = 4243, kStranger = 4242;
const char* const kForeignSids[] = {"S-1-22-1-4243", "S-1-22-1-4242"};

// What a write would change about an object: its attributes and its status.
struct Trace {
    std::string security, user;
    uid_t uid = 0;
    mode_t mode = 0;
    struct timespec ctime {};
    bool operator==(const Trace& o) const {
        return security == o.security && user == o.user && uid == o.uid && mode == o.mode &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

std::string Attribute(const std::string& path, const char* name) {
    char value[65536];
    ssize_t size = lgetxattr(path.c_str(), name, value, sizeof value);
    return size < 0 ? std::string() : std::string(value, static_cast<size_t>(size));
}

Trace TraceOf(const std::string& path) {
    Trace trace;
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) {
        trace.uid = status.st_uid;
        trace.mode = status.st_mode;
        trace.ctime = status.st_ctim;
    }
    trace.security = Attribute(path, "security.NTACL");
    trace.user = Attribute(path, "user.NTACL");
    return trace;
}

void MakeTree(const std::string& top, uid_t owner) {
    fs::create_directories(top + "/sub");
    for (const char* name : {"f1", "f2", "f3", "sub/g1", "sub/g2"}) std::ofstream(top + "/" + name) << name;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        ASSERT_EQ(lchown(entry.path().c_str(), owner, owner), 0);
    }
    ASSERT_EQ(lchown(top.c_str(), owner, owner), 0);
}

class LinkRace : public ::testing::Test {
protected:
    LinkRace() {
        drive_ = machine_.DriveC();
        bob_ = drive_ + "/Users/bob";
        alice_ = drive_ + "/Users/alice";
        outside_ = machine_.MakeDirectory("outside");
        MakeTree(bob_ + "/docs", kBob);
        std::ofstream(bob_ + "/top.txt") << "top";
        lchown((bob_ + "/top.txt").c_str(), kBob, kBob);
        lchown(bob_.c_str(), kBob, kBob);
        MakeTree(alice_, kAlice);
        MakeTree(outside_, kStranger);
        // The attacker's links, ready to be exchanged with the real entries.
        symlink("../alice", (bob_ + "/.to-alice").c_str());
        symlink(outside_.c_str(), (bob_ + "/.to-outside").c_str());
        symlink("../../alice/f1", (bob_ + "/docs/.f1-to-alice").c_str());
        symlink((outside_ + "/f2").c_str(), (bob_ + "/docs/.f2-to-outside").c_str());
    }

    // Every object outside the walked tree that a job could reach.
    std::map<std::string, Trace> OutsideTraces() {
        std::map<std::string, Trace> traces;
        for (const std::string& top : {alice_, outside_}) {
            traces[top] = TraceOf(top);
            for (const auto& entry : fs::recursive_directory_iterator(top)) traces[entry.path()] = TraceOf(entry.path());
        }
        for (const std::string& upper : {drive_, drive_ + "/Users"}) traces[upper] = TraceOf(upper);
        return traces;
    }

    // Runs `job` again and again while the attacker swaps; `check` looks at
    // each run's result. Returns how many runs there were.
    template <typename Job>
    int UnderAttack(Job job) {
        std::atomic<bool> stop{false};
        std::thread attacker([&] {
            const int bob = open(bob_.c_str(), O_PATH | O_DIRECTORY);
            const int docs = open((bob_ + "/docs").c_str(), O_PATH | O_DIRECTORY);
            while (!stop.load(std::memory_order_relaxed)) {
                for (const char* link : {".to-alice", ".to-outside"}) {
                    renameat2(bob, "docs", bob, link, RENAME_EXCHANGE);
                    renameat2(bob, "docs", bob, link, RENAME_EXCHANGE);
                }
                renameat2(docs, "f1", docs, ".f1-to-alice", RENAME_EXCHANGE);
                renameat2(docs, "f2", docs, ".f2-to-outside", RENAME_EXCHANGE);
            }
            close(docs);
            close(bob);
        });
        int runs = 0;
        const auto end = Clock::now() + kAttackTime;
        while (Clock::now() < end || runs == 0) {
            job();
            ++runs;
        }
        stop = true;
        attacker.join();
        return runs;
    }

    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine_.DatabasePath()); }

    TempMachine machine_;
    std::string drive_, bob_, alice_, outside_;
};

void ExpectNoForeignDescriptor(const std::string& text, const std::string& what) {
    for (const char* sid : kForeignSids) EXPECT_EQ(text.find(sid), std::string::npos) << what << " shows " << sid;
}

// UTF-16LE backup text as ASCII (every SID is ASCII).
std::string Narrow(const std::string& utf16) {
    std::string narrow;
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) narrow.push_back(utf16[i + 1] == 0 ? utf16[i] : '?');
    return narrow;
}

TEST_F(LinkRace, ListingAndBackupShowNothingFromOutsideTheTree) {
    const std::string backup = machine_.Folder() + "/bob.bak";
    int runs = UnderAttack([&] {
        auto listed = Run({"list", "C:\\Users\\bob", "--recurse", "--format", "sddl", "--what", "owner,dacl"});
        EXPECT_LT(listed.exitCode, 128) << listed.err;
        ExpectNoForeignDescriptor(listed.out, "list");
        fs::remove(backup);
        auto saved = Run({"backup", "C:\\Users\\bob", backup, "--recurse"});
        EXPECT_LT(saved.exitCode, 128) << saved.err;
        std::ifstream in(backup, std::ios::binary);
        ExpectNoForeignDescriptor(Narrow(std::string(std::istreambuf_iterator<char>(in), {})), "backup");
    });
    EXPECT_GT(runs, 0);
}

TEST_F(LinkRace, WritingJobsTouchNothingOutsideTheTree) {
    const std::string backup = machine_.Folder() + "/bob.bak";
    ASSERT_EQ(Run({"backup", "C:\\Users\\bob", backup, "--recurse"}).exitCode, 0);
    const auto before = OutsideTraces();
    const std::vector<std::vector<std::string>> jobs = {
        {"grant", "C:\\Users\\bob", "S-1-5-32-545", "full", "--recurse"},
        {"owner", "C:\\Users\\bob", "S-1-5-32-544", "--recurse"},
        {"reset-children", "C:\\Users\\bob"},
        {"restore", backup},
    };
    for (const auto& args : jobs) {
        int runs = UnderAttack([&] {
            auto r = Run(args);
            EXPECT_LT(r.exitCode, 128) << args[0] << ": " << r.err;
        });
        EXPECT_GT(runs, 0);
        const auto after = OutsideTraces();
        for (const auto& [path, trace] : before) {
            EXPECT_TRUE(after.at(path) == trace) << args[0] << " touched " << path << " (" << runs << " runs)";
        }
    }
    // The attack left the tree usable: the real folder is back in place.
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(bob_ + "/docs")));
}

// The attribute namespace of a new drive is decided without creating a
// file there; an attacker renaming a link over any name the layer might
// create meanwhile reaches nothing.
TEST_F(LinkRace, FindingDrivesWritesNothingThroughALink) {
    const std::string victim = outside_ + "/f3";
    std::vector<std::string> directories;
    for (int i = 0; i < 40; ++i) {
        std::wstring share = L"race" + std::to_wstring(i);
        directories.push_back(machine_.MakeDirectory("shares/" + std::to_string(i)));
        winapi::machine::AddShare(winapi::machine::LocalComputer().name, share, directories.back());
    }
    std::atomic<bool> stop{false};
    std::thread attacker([&] {
        const std::string probe = "/.tavrik-xattr-probe-" + std::to_string(getpid());
        while (!stop.load(std::memory_order_relaxed)) {
            for (const auto& directory : directories) {
                std::string staged = directory + "/.staged";
                symlink(victim.c_str(), staged.c_str());
                rename(staged.c_str(), (directory + probe).c_str());
            }
        }
    });
    for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(winapi::machine::FindFileShare(winapi::machine::LocalComputer(), L"race" + std::to_wstring(i)));
    }
    stop = true;
    attacker.join();
    EXPECT_EQ(Attribute(victim, "security.NTACL"), "");
    EXPECT_EQ(Attribute(victim, "user.NTACL"), "");
}

}  // namespace
}  // namespace tavrik::test
