// FindFirstFileW / FindNextFileW / FindClose on a drive of the simulated
// computer: Windows' wildcards, NTFS order, "." and "..", links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "support/machine_test_helpers.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
    std::wstring name;
    DWORD attributes;
};

class FileSearchTest : public ::testing::Test {
protected:
    void SetUp() override { drive_ = machine_.DriveC(); }

    void File(const std::string& relative, const std::string& content = "x") {
        fs::create_directories(fs::path(drive_ + "/" + relative).parent_path());
        std::ofstream(drive_ + "/" + relative) << content;
    }
    void Directory(const std::string& relative) { fs::create_directories(drive_ + "/" + relative); }

    // Every entry a search returns, in order; the error when it fails.
    std::vector<Entry> Search(const std::wstring& pattern, DWORD* error = nullptr) {
        std::vector<Entry> entries;
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW(pattern.c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) {
            if (error) *error = GetLastError();
            return entries;
        }
        do {
            entries.push_back({data.cFileName, data.dwFileAttributes});
        } while (FindNextFileW(search, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(search));
        if (error) *error = ERROR_SUCCESS;
        return entries;
    }
    std::vector<std::wstring> Names(const std::wstring& pattern) {
        std::vector<std::wstring> names;
        for (const auto& entry : Search(pattern)) names.push_back(entry.name);
        return names;
    }

    tavrik::test::TempMachine machine_;
    std::string drive_;
};

TEST_F(FileSearchTest, EntriesComeInCaseInsensitiveOrderWithDotsFirst) {
    for (const char* name : {"beta", "Alpha", "_under", "gamma.TXT", "Delta"}) File(std::string("d/") + name);
    Directory("d/Charlie");
    EXPECT_EQ(Names(L"C:\\d\\*"),
              (std::vector<std::wstring>{L".", L"..", L"Alpha", L"beta", L"Charlie", L"Delta", L"gamma.TXT",
                                         L"_under"}));
}

// ASCII names are keyed from their bytes, the others through their wide
// form: both kinds in one directory still come in one order, and names equal
// but for case keep their host order.
TEST_F(FileSearchTest, AsciiAndOtherNamesShareOneOrder) {
    for (const char* name : {"zeta", "\xc3\x89" "clair", "abc", "ABC", "_x", "b\xc3\xa9" "ta", "bz"}) {
        File(std::string("m/") + name);
    }
    using V = std::vector<std::wstring>;
    EXPECT_EQ(Names(L"C:\\m\\*"),
              (V{L".", L"..", L"ABC", L"abc", L"bz", L"b\u00e9ta", L"zeta", L"_x", L"\u00c9clair"}));
    EXPECT_EQ(Names(L"C:\\m\\B*"), (V{L"bz", L"b\u00e9ta"}));
}

TEST_F(FileSearchTest, StarDotStarMatchesEveryNameAndTheRootHasNoDots) {
    File("noext");
    File("with.ext");
    File("two.dots.here");
    Directory("folder");
    auto names = Names(L"\\\\?\\C:\\*.*");
    EXPECT_EQ(names, Names(L"C:\\*"));
    for (const wchar_t* expected : {L"noext", L"with.ext", L"two.dots.here", L"folder"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
    EXPECT_EQ(std::find(names.begin(), names.end(), L"."), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), L".."), names.end());
}

TEST_F(FileSearchTest, WildcardsHaveWindowsMeaning) {
    for (const char* name : {"a", "ab", "abc", "abcd", "a.txt", "b.TXT", "a.b.txt", "a.txt.bak", "readme", "x.y"})
        File(std::string("w/") + name);
    using V = std::vector<std::wstring>;
    EXPECT_EQ(Names(L"C:\\w\\*.txt"), (V{L"a.b.txt", L"a.txt", L"b.TXT"}));
    // `?` also matches nothing at the end of a name.
    EXPECT_EQ(Names(L"C:\\w\\a??"), (V{L"a", L"ab", L"abc"}));
    // "*." finds the names without an extension ("." and ".." among them, as `dir *.` shows).
    EXPECT_EQ(Names(L"C:\\w\\*."), (V{L".", L"..", L"a", L"ab", L"abc", L"abcd", L"readme"}));
    // "name.*" finds the name with or without an extension.
    EXPECT_EQ(Names(L"C:\\w\\a.*"), (V{L"a", L"a.b.txt", L"a.txt", L"a.txt.bak"}));
    // "." matches too: `?` gives way at the dot, which the dot then takes.
    EXPECT_EQ(Names(L"C:\\w\\?.???"), (V{L".", L"a", L"a.txt", L"b.TXT", L"x.y"}));
    EXPECT_EQ(Names(L"C:\\w\\*B*"), (V{L"a.b.txt", L"a.txt.bak", L"ab", L"abc", L"abcd", L"b.TXT"}));
}

TEST_F(FileSearchTest, APatternWithoutWildcardsFindsThatEntry) {
    File("dir/Report.DOC");
    Directory("dir/Sub");
    auto found = Search(L"c:\\DIR\\report.doc");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, L"Report.DOC");
    EXPECT_FALSE(found[0].attributes & FILE_ATTRIBUTE_DIRECTORY);
    found = Search(L"C:\\dir");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, L"dir");
    EXPECT_TRUE(found[0].attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FileSearchTest, MissingNamesAndDirectoriesFailAsOnWindows) {
    File("dir/file");
    DWORD error = 0;
    EXPECT_TRUE(Search(L"C:\\dir\\nothing", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Search(L"C:\\dir\\*.none", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Search(L"C:\\nowhere\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(Search(L"C:\\dir\\file\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(Search(L"Q:\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(Search(L"\\\\NOSUCHPC\\share\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_TRUE(Search(L"C:\\d*r\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST_F(FileSearchTest, LinksAreReparsePointsAndDirectoryLinksAreDirectories) {
    Directory("real/inner");
    File("real/file.txt");
    ASSERT_EQ(symlink("real", (drive_ + "/dirlink").c_str()), 0);
    ASSERT_EQ(symlink("real/file.txt", (drive_ + "/filelink").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (drive_ + "/outlink").c_str()), 0);
    std::map<std::wstring, DWORD> attributes;
    for (const auto& entry : Search(L"C:\\*")) attributes[entry.name] = entry.attributes;

    EXPECT_EQ(attributes[L"dirlink"] & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(attributes[L"filelink"] & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              FILE_ATTRIBUTE_REPARSE_POINT);
    // A link leading off the drive is never described as what it points to.
    EXPECT_EQ(attributes[L"outlink"] & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(attributes[L"real"] & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              FILE_ATTRIBUTE_DIRECTORY);

    // Searching through a directory link inside the drive lists its target.
    EXPECT_EQ(Names(L"C:\\dirlink\\*"), (std::vector<std::wstring>{L".", L"..", L"file.txt", L"inner"}));
    DWORD error = 0;
    EXPECT_TRUE(Search(L"C:\\outlink\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
}

TEST_F(FileSearchTest, SharesAndUncFormsListTheSameDirectory) {
    File("data/one");
    File("data/two");
    std::string shared = machine_.MakeDirectory("shared");
    std::ofstream(shared + "/three") << "x";
    winapi::machine::AddShare(L"TESTPC", L"Stuff", shared);

    auto local = Names(L"C:\\data\\*");
    EXPECT_EQ(Names(L"\\\\TESTPC\\C$\\data\\*"), local);
    EXPECT_EQ(Names(L"\\\\?\\UNC\\testpc\\c$\\DATA\\*"), local);
    EXPECT_EQ(Names(L"\\\\testpc\\stuff\\*"), (std::vector<std::wstring>{L"three"}));
    DWORD error = 0;
    EXPECT_TRUE(Search(L"\\\\TESTPC\\NoShare\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_NET_NAME));
}

TEST_F(FileSearchTest, FileDataDescribesTheEntry) {
    File("sized.bin", std::string(5000, 'z'));
    chmod((drive_ + "/sized.bin").c_str(), 0444);
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(L"C:\\SIZED.BIN", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.nFileSizeLow, 5000u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
    // A write time after 2000-01-01 in Windows' 100 ns ticks since 1601.
    uint64_t written = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                       data.ftLastWriteTime.dwLowDateTime;
    EXPECT_GT(written, 125911584000000000ULL);
    EXPECT_FALSE(FindNextFileW(search, &data));
    EXPECT_TRUE(FindClose(search));
}

TEST_F(FileSearchTest, HandlesAreCheckedAndEntriesRemovedMeanwhileAreSkipped) {
    File("s/a");
    File("s/b");
    File("s/c");
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(L"C:\\s\\?", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(data.cFileName), L"a");
    fs::remove(drive_ + "/s/b");
    ASSERT_TRUE(FindNextFileW(search, &data));
    EXPECT_EQ(std::wstring(data.cFileName), L"c");
    EXPECT_FALSE(FindNextFileW(search, &data));
    EXPECT_TRUE(FindClose(search));

    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Listing needs FILE_LIST_DIRECTORY for the caller's token, or an enabled
// backup privilege (FindFirstFileW opens with backup intent on Windows).
TEST_F(FileSearchTest, ListingNeedsListDirectoryForTheCallersToken) {
    File("Locked/inside.txt");
    File("Open/seen.txt");
    auto protect = [](const wchar_t* path, const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
        std::wstring name = path;
        EXPECT_EQ(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, dacl, nullptr),
                  static_cast<DWORD>(ERROR_SUCCESS));
        LocalFree(sd);
    };
    // Everyone may traverse and read attributes of Locked, only SYSTEM list it.
    protect(L"C:\\Locked", L"D:P(A;;FA;;;SY)(A;;0x1000a0;;;WD)");
    protect(L"C:\\Open", L"D:P(A;OICI;FA;;;WD)");
    winapi::machine::SetToken({L"alice", {L"Users"}, {L"SeBackupPrivilege"}});
    DWORD error = 0;
    EXPECT_TRUE(Search(L"C:\\Locked\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Search(L"C:\\Locked\\inside.txt", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Names(L"C:\\Open\\*"), (std::vector<std::wstring>{L".", L"..", L"seen.txt"}));
    // Held is not enough; enabled, the privilege lists what the DACL does not grant.
    ASSERT_EQ(machine_test::SwitchPrivilege(L"SeBackupPrivilege", true), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Names(L"C:\\Locked\\*"), (std::vector<std::wstring>{L".", L"..", L"inside.txt"}));
    winapi::machine::ResetToken();
}

TEST_F(FileSearchTest, InjectedFailuresReachTheCaller) {
    File("f/x");
    winapi::machine::InjectFault("FindFirstFileW", ERROR_ACCESS_DENIED, 1);
    DWORD error = 0;
    EXPECT_TRUE(Search(L"C:\\f\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Names(L"C:\\f\\*").size(), 3u);
}

}  // namespace
