// While names come from a file (a restore), a name is opened below the
// directories the name before passed through; a directory renamed or
// replaced since is never used for the name it no longer has.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/temp_machine.h"
#include "winapi/files/link_policy.h"
#include "winapi/files/recent_directories.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;

class RecentDirectoriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        drive_ = machine_.DriveC();
        for (const char* file : {"Users/bob/docs/f1", "Users/alice/f1"}) {
            fs::create_directories(fs::path(drive_ + "/" + file).parent_path());
            std::ofstream(drive_ + "/" + file) << "x";
        }
        chown((drive_ + "/Users/bob/docs/f1").c_str(), 4244, 4244);
        chown((drive_ + "/Users/alice/f1").c_str(), 4243, 4243);
        winapi::SetDirectoryLinksRefused(true);
    }
    void TearDown() override {
        winapi::SetDirectoryLinksRefused(false);
        winapi::ForgetRecentDirectories();
    }

    std::wstring OwnerOf(const std::wstring& name, DWORD* error) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PSID owner = nullptr;
        *error = GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                       nullptr, nullptr, &sd);
        std::wstring text;
        LPWSTR sid = nullptr;
        if (*error == ERROR_SUCCESS && ConvertSidToStringSidW(owner, &sid)) text = sid;
        LocalFree(sid);
        LocalFree(sd);
        return text;
    }

    tavrik::test::TempMachine machine_;
    std::string drive_;
};

TEST_F(RecentDirectoriesTest, ADirectoryReplacedSinceTheNameBeforeIsNeverUsedForItsOldName) {
    DWORD error = 0;
    EXPECT_EQ(OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error), L"S-1-22-1-4244");
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));

    // Another directory under the name: the name reaches it, not the one kept.
    fs::rename(drive_ + "/Users/bob/docs", drive_ + "/Users/bob/docs.moved");
    fs::rename(drive_ + "/Users/alice", drive_ + "/Users/bob/docs");
    EXPECT_EQ(OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error), L"S-1-22-1-4243");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));

    // A link under the name (and in a directory above it): refused, not followed.
    fs::rename(drive_ + "/Users/bob/docs", drive_ + "/Users/alice");
    fs::create_directory_symlink("../alice", drive_ + "/Users/bob/docs");
    OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    fs::rename(drive_ + "/Users/bob", drive_ + "/Users/bob.moved");
    fs::create_directory_symlink("alice", drive_ + "/Users/bob");
    OwnerOf(L"C:\\Users\\bob\\f1", &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // Names the walk from the root gives errors for give the same ones.
    EXPECT_EQ(OwnerOf(L"C:\\Users\\alice\\f1", &error), L"S-1-22-1-4243");
    OwnerOf(L"C:\\Users\\alice\\missing", &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    OwnerOf(L"C:\\Users\\alice\\missing\\f1", &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    OwnerOf(L"C:\\Users\\alice\\f1\\f1", &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(RecentDirectoriesTest, ADriveMovedAwayIsLeftWhenTheNamesComeToAnotherDirectory) {
    DWORD error = 0;
    EXPECT_EQ(OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error), L"S-1-22-1-4244");
    // The drive's directory is moved and another tree takes its path: the
    // next directory the names come to is found in the new tree.
    fs::rename(drive_, drive_ + ".moved");
    fs::create_directories(drive_ + "/Users/alice");
    std::ofstream(drive_ + "/Users/alice/f1") << "x";
    chown((drive_ + "/Users/alice/f1").c_str(), 4245, 4245);
    EXPECT_EQ(OwnerOf(L"C:\\Users\\alice\\f1", &error), L"S-1-22-1-4245");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    fs::remove_all(drive_ + ".moved");
}

}  // namespace
