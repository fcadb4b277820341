// Names below the directory of an open search resolve relative to that
// directory as it was listed: a directory or file swapped for a link after
// the listing is refused, never followed, and a directory renamed away is
// not used for its old name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/temp_machine.h"
#include "winapi/files/listed_directories.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;

class ListedDirectoriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        drive_ = machine_.DriveC();
        for (const char* file : {"Users/bob/docs/f1", "Users/alice/f1"}) {
            fs::create_directories(fs::path(drive_ + "/" + file).parent_path());
            std::ofstream(drive_ + "/" + file) << "x";
        }
        chown((drive_ + "/Users/bob/docs/f1").c_str(), 4244, 4244);
        chown((drive_ + "/Users/alice/f1").c_str(), 4243, 4243);
    }
    void TearDown() override {
        for (HANDLE search : searches_) FindClose(search);
        EXPECT_EQ(winapi::ListedDirectoryCount(), 0u);
    }

    // Opens a search as the engine's walk does and steps it to `name`.
    void OpenSearchAt(const std::wstring& pattern, const std::wstring& name) {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW(pattern.c_str(), &data);
        ASSERT_NE(search, INVALID_HANDLE_VALUE) << GetLastError();
        searches_.push_back(search);
        while (name != data.cFileName) ASSERT_TRUE(FindNextFileW(search, &data));
    }

    // Swaps the directory entry `relative` for a link to `target`.
    void SwapForLink(const std::string& relative, const std::string& target) {
        fs::rename(drive_ + "/" + relative, drive_ + "/" + relative + ".moved");
        fs::create_directory_symlink(target, drive_ + "/" + relative);
    }

    DWORD Grant(const std::wstring& name) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &sd,
                                                                           nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        DWORD error = SetNamedSecurityInfoW(const_cast<LPWSTR>(name.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
        LocalFree(sd);
        return error;
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

    bool AliceUntouched() {
        char value[16];
        std::string f1 = drive_ + "/Users/alice/f1";
        return lgetxattr(f1.c_str(), "security.NTACL", value, sizeof value) < 0 &&
               lgetxattr(f1.c_str(), "user.NTACL", value, sizeof value) < 0;
    }

    tavrik::test::TempMachine machine_;
    std::string drive_;
    std::vector<HANDLE> searches_;
};

TEST_F(ListedDirectoriesTest, AListedDirectorySwappedForALinkIsRefusedNotFollowed) {
    OpenSearchAt(L"C:\\Users\\bob\\*.*", L"docs");
    SwapForLink("Users/bob/docs", "../alice");

    EXPECT_EQ(Grant(L"C:\\Users\\bob\\docs\\f1"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    WIN32_FIND_DATAW data;
    EXPECT_EQ(FindFirstFileW(L"C:\\Users\\bob\\docs\\*.*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(AliceUntouched());
}

TEST_F(ListedDirectoriesTest, AnEntrySwappedAfterItWasHandedOutIsRefused) {
    OpenSearchAt(L"C:\\Users\\bob\\docs\\*.*", L"f1");
    fs::rename(drive_ + "/Users/bob/docs/f1", drive_ + "/Users/bob/docs/f1.moved");
    std::ofstream(drive_ + "/Users/bob/docs/f1") << "another";

    DWORD error = 0;
    OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ListedDirectoriesTest, ADirectorySwappedWhileItIsListedIsRefused) {
    // The walk stands in docs when bob swaps it: docs no longer has its
    // name, so what is left of it is refused, and nothing reaches alice's.
    OpenSearchAt(L"C:\\Users\\bob\\*.*", L"docs");
    OpenSearchAt(L"C:\\Users\\bob\\docs\\*.*", L"f1");
    SwapForLink("Users/bob/docs", "../alice");

    DWORD error = 0;
    std::wstring owner = OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error);
    EXPECT_NE(owner, L"S-1-22-1-4243");
    EXPECT_NE(Grant(L"C:\\Users\\bob\\docs\\f1"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(AliceUntouched());
}

// Lookups start where the one before left off: a directory listed after a
// name below it was looked up must still guard the entries it hands out,
// and one closed since must not be used at all.
TEST_F(ListedDirectoriesTest, ADirectoryListedAfterALookupBelowItStillGuardsItsEntries) {
    OpenSearchAt(L"C:\\Users\\*.*", L"bob");
    DWORD error = 0;
    OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error);
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    OpenSearchAt(L"C:\\Users\\bob\\*.*", L"docs");
    // bob puts alice's folder (a plain directory, no link) where docs was.
    fs::rename(drive_ + "/Users/bob/docs", drive_ + "/Users/bob/docs.moved");
    fs::rename(drive_ + "/Users/alice", drive_ + "/Users/bob/docs");

    EXPECT_EQ(Grant(L"C:\\Users\\bob\\docs\\f1"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    FindClose(searches_.back());
    searches_.pop_back();
    fs::rename(drive_ + "/Users/bob/docs", drive_ + "/Users/alice");
    fs::rename(drive_ + "/Users/bob/docs.moved", drive_ + "/Users/bob/docs");
    EXPECT_EQ(OwnerOf(L"C:\\Users\\bob\\docs\\f1", &error), L"S-1-22-1-4244");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(AliceUntouched());
}

TEST_F(ListedDirectoriesTest, NamesBelowNoOpenSearchStillFollowLinksInsideTheDrive) {
    fs::create_directory_symlink("Users/alice", drive_ + "/to-alice");
    DWORD error = 0;
    EXPECT_EQ(OwnerOf(L"C:\\to-alice\\f1", &error), L"S-1-22-1-4243");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
