// The order in which the file-system and registry walks visit objects, and
// how they end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "network_fixture.h"

namespace tavrik::test {
namespace {

namespace admin = winapi::machine;

class RecordingJob : public CTavrik {
public:
    using CTavrik::CTavrik;

    DWORD Record(std::wstring path) {
        visited.push_back(path);
        if (onVisit) onVisit(path);
        return visited.size() == failAt ? failCode : RTN_OK;
    }

    DWORD Walk(const std::wstring& path) {
        return WalkFileSystem(path, static_cast<ObjectCallback>(&RecordingJob::Record));
    }
    DWORD WalkKeys(const std::wstring& path) {
        return WalkRegistry(path, static_cast<ObjectCallback>(&RecordingJob::Record));
    }

    std::vector<std::wstring> visited;
    size_t failAt = 0;  // 1-based visit that fails; 0: none
    DWORD failCode = RTN_ERR_READ_SD;
    std::function<void(const std::wstring&)> onVisit;
};

class WalksTest : public NetworkTest {
protected:
    WalksTest() {
        MakeFile("tree/a.txt");
        MakeFile("tree/B/c.txt");
        MakeDirectory("tree/B/sub");
        MakeFile("tree/d.txt");
        job.m_messageCallback = [this](const std::wstring& line) { messages.push_back(line); };
    }

    std::vector<std::wstring> Visit(DWORD recursion, const std::wstring& path, DWORD expected = RTN_OK) {
        job.visited.clear();
        job.SetRecursion(recursion);
        EXPECT_EQ(job.Walk(path), expected);
        return job.visited;
    }

    RecordingJob job;
    const std::wstring tree = L"\\\\?\\C:\\tree";
};

using Paths = std::vector<std::wstring>;

TEST_F(WalksTest, DirectoriesComeBeforeTheirContentsDepthFirst) {
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree),
              (Paths{tree, tree + L"\\a.txt", tree + L"\\B", tree + L"\\B\\c.txt", tree + L"\\B\\sub",
                     tree + L"\\d.txt"}));
}

TEST_F(WalksTest, EachRecursionBitSelectsItsKind) {
    EXPECT_EQ(Visit(RECURSE_CONTAINERS, tree), (Paths{tree, tree + L"\\B", tree + L"\\B\\sub"}));
    EXPECT_EQ(Visit(RECURSE_OBJECTS, tree), (Paths{tree + L"\\a.txt", tree + L"\\B\\c.txt", tree + L"\\d.txt"}));
    EXPECT_EQ(Visit(RECURSE_NONE | RECURSE_OBJECTS, tree + L"\\\\"), (Paths{tree + L"\\\\"}));
    EXPECT_EQ(Visit(RECURSE_CONTAINERS, tree + L"\\a.txt"), Paths{});
}

TEST_F(WalksTest, WildcardsSelectEntriesAndMatchingDirectoriesAreWalkedWhole) {
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree + L"\\*.txt"),
              (Paths{tree + L"\\a.txt", tree + L"\\d.txt"}));
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree + L"\\b*"),
              (Paths{tree + L"\\B", tree + L"\\B\\c.txt", tree + L"\\B\\sub"}));
}

TEST_F(WalksTest, BareDrivesAreNotRecursedIntoAndRootsComeFirst) {
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, L"\\\\?\\C:"), Paths{L"\\\\?\\C:"});
    EXPECT_TRUE(HasMessage(L"WARNING: Recursion is not possible for local file system roots. You may want to append "
                           L"a backslash ('c:\\')."));
    messages.clear();
    EXPECT_EQ(Visit(RECURSE_NONE, L"\\\\?\\C:"), Paths{L"\\\\?\\C:"});
    EXPECT_TRUE(messages.empty());

    const Paths root = Visit(RECURSE_CONTAINERS, L"\\\\?\\C:\\");
    EXPECT_EQ(root, (Paths{L"\\\\?\\C:\\", L"\\\\?\\C:\\tree", tree + L"\\B", tree + L"\\B\\sub"}));
}

TEST_F(WalksTest, ShareRootsAreProcessedAndWalked) {
    AddComputer(L"SERVER7", 3, L"");
    admin::AddShare(L"SERVER7", L"data", machine_.MakeDirectory("server7-data"));
    std::filesystem::create_directories(machine_.Folder() + "/server7-data/dir/deeper");
    const std::wstring share = L"\\\\?\\UNC\\SERVER7\\data";
    EXPECT_EQ(Visit(RECURSE_CONTAINERS, share + L"\\"), (Paths{share, share + L"\\dir", share + L"\\dir\\deeper"}));
    EXPECT_EQ(Visit(RECURSE_CONTAINERS, share + L"\\dir"), (Paths{share + L"\\dir", share + L"\\dir\\deeper"}));
}

TEST_F(WalksTest, AMissingStartFailsWithoutACallback) {
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree + L"\\nothing", RTN_ERR_FIND_FILE), Paths{});
    EXPECT_EQ(job.m_lastOsError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(WalksTest, TheFirstFailingCallbackEndsTheWalk) {
    job.failAt = 3;
    EXPECT_EQ(Visit(RECURSE_OBJECTS, tree, RTN_ERR_READ_SD),
              (Paths{tree + L"\\a.txt", tree + L"\\B\\c.txt", tree + L"\\d.txt"}));
    job.failAt = 2;
    EXPECT_EQ(Visit(RECURSE_OBJECTS | RECURSE_CONTAINERS, tree, RTN_ERR_READ_SD), (Paths{tree, tree + L"\\a.txt"}));
}

TEST_F(WalksTest, ADirectoryThatCannotBeListedEndsTheWalk) {
    admin::InjectFault("FindFirstFileW", ERROR_ACCESS_DENIED, -1, tree + L"\\B\\*.*");
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree, RTN_ERR_FIND_FILE),
              (Paths{tree, tree + L"\\a.txt", tree + L"\\B"}));
    EXPECT_EQ(job.m_lastOsError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Run by a user the directory's DACL does not let list it, the walk ends
// there as on Windows, and none of the names inside is visited.
TEST_F(WalksTest, AUserWhoMayNotListADirectoryLearnsNothingInside) {
    ASSERT_EQ(SetSddl(tree + L"\\B", SE_FILE_OBJECT, L"D:P(A;;FA;;;SY)(A;;0x1200a0;;;WD)",
                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    ASSERT_EQ(SetSddl(tree, SE_FILE_OBJECT, L"D:P(A;OICI;FA;;;WD)",
                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    admin::SetToken({L"alice", {L"Users"}, {}});
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree, RTN_ERR_FIND_FILE),
              (Paths{tree, tree + L"\\a.txt", tree + L"\\B"}));
    EXPECT_EQ(job.m_lastOsError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    admin::ResetToken();
}

TEST_F(WalksTest, ADirectoryVanishingMidWalkEndsItCleanly) {
    job.onVisit = [this](const std::wstring& path) {
        if (path == tree + L"\\B") std::filesystem::remove_all(HostPath("tree/B"));
    };
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree, RTN_ERR_FIND_FILE),
              (Paths{tree, tree + L"\\a.txt", tree + L"\\B"}));
}

TEST_F(WalksTest, LinksAreNeverFollowed) {
    std::filesystem::create_directory_symlink(HostPath("tree"), HostPath("tree/B/loop"));
    std::filesystem::create_symlink(HostPath("tree/a.txt"), HostPath("tree/B/link.txt"));
    EXPECT_EQ(Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, tree),
              (Paths{tree, tree + L"\\a.txt", tree + L"\\B", tree + L"\\B\\c.txt", tree + L"\\B\\sub",
                     tree + L"\\d.txt"}));
}

// A deep tree under a low soft limit of open files: the walk holds at most
// one descriptor per level, the layer raises the soft limit to the hard
// one, and the walk loops rather than recursing.
TEST_F(WalksTest, DeepTreesAreWalkedWholeWithOneDescriptorPerLevel) {
    constexpr int kDepth = 400;
    MakeDirectory("deep");
    // Built one level at a time: the whole path is too long for one call.
    int level = open(HostPath("deep").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < kDepth && level >= 0; ++i) {
        ASSERT_EQ(mkdirat(level, "d", 0755), 0);
        int next = openat(level, "d", O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(level);
        level = next;
    }
    ASSERT_GE(level, 0);
    close(openat(level, "leaf.txt", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    close(level);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 2 * kDepth) GTEST_SKIP() << "the hard limit of open files is too low";
    struct rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    auto visited = Visit(RECURSE_CONTAINERS | RECURSE_OBJECTS, L"\\\\?\\C:\\deep");
    setrlimit(RLIMIT_NOFILE, &saved);
    std::system(("rm -rf '" + HostPath("deep") + "'").c_str());
    ASSERT_EQ(visited.size(), static_cast<size_t>(kDepth + 2));
    EXPECT_EQ(visited.back().size(), std::wstring(L"\\\\?\\C:\\deep").size() + 2 * kDepth + 9);
}

class RegistryWalkTest : public WalksTest {
protected:
    RegistryWalkTest() {
        for (const wchar_t* key : {L"MACHINE\\SOFTWARE\\Vendor\\B", L"MACHINE\\SOFTWARE\\Vendor\\A\\C"}) {
            admin::AddKey(L"TESTPC", key);
        }
    }
    std::vector<std::wstring> VisitKeys(DWORD recursion, const std::wstring& path, DWORD expected = RTN_OK) {
        job.visited.clear();
        job.SetRecursion(recursion);
        EXPECT_EQ(job.WalkKeys(path), expected);
        return job.visited;
    }
    const std::wstring vendor = L"machine\\software\\vendor";
};

TEST_F(RegistryWalkTest, KeysComeBeforeTheirSubKeysInEnumerationOrder) {
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, L"HKLM\\software\\vendor\\"),
              (Paths{vendor, vendor + L"\\A", vendor + L"\\A\\C", vendor + L"\\B"}));
    EXPECT_EQ(VisitKeys(RECURSE_OBJECTS, L"hklm\\software\\vendor"),
              (Paths{vendor, vendor + L"\\A", vendor + L"\\A\\C", vendor + L"\\B"}));
    EXPECT_EQ(VisitKeys(RECURSE_NONE | RECURSE_CONTAINERS, L"hklm\\software\\vendor"), Paths{vendor});
}

TEST_F(RegistryWalkTest, StartFailuresAreReturnedAndFailuresBelowEndTheWalkNamingTheKey) {
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, L"hklm\\software\\nothing", RTN_ERR_REG_OPEN), Paths{});
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, L"hkcc\\x", RTN_ERR_REG_PATH), Paths{});

    job.failAt = 1;
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, vendor, RTN_ERR_READ_SD), Paths{vendor});
    job.failAt = 2;
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, vendor, RTN_ERR_READ_SD), (Paths{vendor, vendor + L"\\A"}));
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR processing <" + vendor + L"\\A>: "));
}

TEST_F(RegistryWalkTest, UnreadableSubKeysAreReportedAndPassedOver) {
    admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\A", L"O:SYG:SYD:P(A;CI;KA;;;SY)");
    admin::SetToken({L"alice", {L"Users"}, {}});
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, vendor), (Paths{vendor, vendor + L"\\B"}));
    EXPECT_TRUE(HasMessageStartingWith(L"ERROR opening registry key <" + vendor + L"\\A>: "));
    EXPECT_EQ(job.GetObjectsNotProcessed(), 1u);
}

TEST_F(RegistryWalkTest, AnEnumerationFailureOnTheStartKeyIsReturned) {
    admin::InjectFault("RegEnumKeyExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, vendor, RTN_ERR_REG_ENUM), Paths{vendor});
    EXPECT_EQ(job.m_lastOsError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(RegistryWalkTest, RemoteTreesAreWalkedOnTheirComputer) {
    AddComputer(L"SERVER7", 3, L"");
    admin::AddKey(L"SERVER7", L"MACHINE\\SOFTWARE\\Remote\\Child");
    const std::wstring remote = L"\\\\SERVER7\\machine\\SOFTWARE\\Remote";
    EXPECT_EQ(VisitKeys(RECURSE_CONTAINERS, L"\\\\SERVER7\\hklm\\SOFTWARE\\Remote"),
              (Paths{remote, remote + L"\\Child"}));
}

}  // namespace
}  // namespace tavrik::test
