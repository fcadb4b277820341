// Resolution of names below a drive's directory: case, `..`, symbolic links
// inside and outside the drive, and a link swapped in while walks run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/temp_machine.h"
#include "winapi/files/file_paths.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;
using winapi::FinalLink;
using winapi::ResolveBelowRoot;
using winapi::ResolvedPath;

// <tmp>/drive is the drive's directory; <tmp>/outside lies next to it.
class FilePathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavrik-paths-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        drive_ = base_ + "/drive";
        outside_ = base_ + "/outside";
        fs::create_directories(drive_ + "/Sub/Deeper");
        fs::create_directories(outside_);
        Write(drive_ + "/Sub/MixedCase.txt");
        Write(outside_ + "/secret");
        root_ = winapi::UniqueFd(open(drive_.c_str(), O_PATH | O_DIRECTORY));
        ASSERT_TRUE(root_.Valid());
    }
    void TearDown() override { fs::remove_all(base_); }

    static void Write(const std::string& path) { std::ofstream(path) << "x"; }

    DWORD Resolve(const std::vector<std::wstring>& components, ResolvedPath* out,
                  FinalLink link = FinalLink::Keep) {
        return ResolveBelowRoot(root_.Get(), drive_, components, link, out);
    }
    static ino_t Inode(const std::string& path) {
        struct stat status;
        EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
        return status.st_ino;
    }

    std::string base_, drive_, outside_;
    winapi::UniqueFd root_;
};

TEST_F(FilePathsTest, NamesMatchWithoutRegardToCaseAndKeepTheirStoredSpelling) {
    ResolvedPath found;
    ASSERT_EQ(Resolve({L"sub", L"MIXEDCASE.TXT"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.name, "MixedCase.txt");
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub/MixedCase.txt"));
    EXPECT_FALSE(found.isRoot);
    ASSERT_TRUE(found.parent.Valid());
    struct stat parent;
    ASSERT_EQ(fstat(found.parent.Get(), &parent), 0);
    EXPECT_EQ(parent.st_ino, Inode(drive_ + "/Sub"));
}

TEST_F(FilePathsTest, ExactSpellingWinsOverOtherCases) {
    Write(drive_ + "/Sub/mixedcase.txt");
    ResolvedPath found;
    ASSERT_EQ(Resolve({L"Sub", L"mixedcase.txt"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.name, "mixedcase.txt");
    ASSERT_EQ(Resolve({L"Sub", L"MixedCase.txt"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.name, "MixedCase.txt");
}

TEST_F(FilePathsTest, NonAsciiNamesFoldCase) {
    Write(drive_ + "/Sub/Ärger.txt");
    ResolvedPath found;
    ASSERT_EQ(Resolve({L"Sub", L"äRGER.TXT"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.name, "Ärger.txt");
}

TEST_F(FilePathsTest, MissingFileAndMissingDirectoryAreTold) {
    ResolvedPath found;
    EXPECT_EQ(Resolve({L"Sub", L"nothing.txt"}, &found), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Resolve({L"Nowhere", L"nothing.txt"}, &found), ERROR_PATH_NOT_FOUND);
    // A file used as a directory is a missing path, as on NTFS.
    EXPECT_EQ(Resolve({L"Sub", L"MixedCase.txt", L"x"}, &found), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilePathsTest, ExactNamesGiveTheObjectItsDirectoryAndItsName) {
    Write(drive_ + "/Sub/Deeper/leaf.txt");
    ResolvedPath found;
    ASSERT_EQ(Resolve({L"Sub", L"Deeper", L"leaf.txt"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.name, "leaf.txt");
    EXPECT_FALSE(found.isRoot);
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub/Deeper/leaf.txt"));
    struct stat status;
    ASSERT_EQ(fstat(found.parent.Get(), &status), 0);
    EXPECT_EQ(status.st_ino, Inode(drive_ + "/Sub/Deeper"));
    ASSERT_EQ(fstat(found.object.Get(), &status), 0);
    EXPECT_EQ(status.st_ino, Inode(drive_ + "/Sub/Deeper/leaf.txt"));
    // A directory swapped for a link to one outside is refused, spelt exactly or not.
    fs::rename(drive_ + "/Sub/Deeper", drive_ + "/Sub/Moved");
    ASSERT_EQ(symlink(outside_.c_str(), (drive_ + "/Sub/Deeper").c_str()), 0);
    EXPECT_EQ(Resolve({L"Sub", L"Deeper", L"secret"}, &found), ERROR_CANT_ACCESS_FILE);
    EXPECT_EQ(Resolve({L"SUB", L"deeper", L"secret"}, &found), ERROR_CANT_ACCESS_FILE);
}

// Regular files and directories come opened for reading, so that their
// attributes (and their directory's) are read on their own descriptor; links and FIFOs (whatever
// is no file or directory) are never opened, only reached with O_PATH.
TEST_F(FilePathsTest, FilesAndDirectoriesComeOpenedForReadingOtherKindsStayPathOnly) {
    ASSERT_EQ(mkfifo((drive_ + "/Sub/pipe").c_str(), 0600), 0);
    ASSERT_EQ(symlink("MixedCase.txt", (drive_ + "/Sub/link").c_str()), 0);
    const struct {
        std::vector<std::wstring> name;
        bool readable;
    } cases[] = {
        {{L"Sub", L"MixedCase.txt"}, true},  // spelt exactly (one openat2)
        {{L"Sub"}, true},                    // the component walk
        {{L"Sub", L"Deeper"}, true},
        {{L"Sub", L"pipe"}, false},
        {{L"Sub", L"link"}, false},
    };
    for (const auto& c : cases) {
        ResolvedPath found;
        const std::string last(c.name.back().begin(), c.name.back().end());
        ASSERT_EQ(Resolve(c.name, &found), ERROR_SUCCESS) << last;
        const int flags = fcntl(found.object.Get(), F_GETFL);
        ASSERT_GE(flags, 0);
        EXPECT_EQ((flags & O_PATH) == 0, c.readable) << last;
        // The directory it inherits from is read on its own descriptor too.
        if (c.name.size() > 1) {
            EXPECT_EQ(fcntl(found.parent.Get(), F_GETFL) & O_PATH, 0) << last;
        }
        char value[16];
        if (c.readable) {
            EXPECT_EQ(fgetxattr(found.object.Get(), "user.none", value, sizeof value), -1);
            EXPECT_EQ(errno, ENODATA);
        }
    }
}

// The caller's root descriptor is only borrowed: what the result holds
// stays usable after the caller has closed it.
TEST_F(FilePathsTest, ResultsKeepTheirDescriptorsWhenTheRootIsClosed) {
    ResolvedPath underRoot, root, endedOnDirectory;
    ASSERT_EQ(Resolve({L"Sub"}, &underRoot), ERROR_SUCCESS);
    ASSERT_EQ(Resolve({}, &root), ERROR_SUCCESS);
    ASSERT_EQ(Resolve({L"Sub", L"Deeper", L".."}, &endedOnDirectory), ERROR_SUCCESS);
    root_.Reset();

    struct stat status;
    ASSERT_EQ(fstat(underRoot.parent.Get(), &status), 0);
    EXPECT_EQ(status.st_ino, Inode(drive_));
    ASSERT_EQ(fstat(underRoot.object.Get(), &status), 0);
    EXPECT_EQ(status.st_ino, Inode(drive_ + "/Sub"));
    ASSERT_EQ(fstat(root.object.Get(), &status), 0);
    EXPECT_EQ(status.st_ino, Inode(drive_));
    EXPECT_TRUE(root.isRoot);
    EXPECT_FALSE(root.parent.Valid());
    EXPECT_EQ(endedOnDirectory.name, "Sub");
    EXPECT_EQ(endedOnDirectory.status.st_ino, Inode(drive_ + "/Sub"));
    ASSERT_EQ(fstat(endedOnDirectory.parent.Get(), &status), 0);
    EXPECT_EQ(status.st_ino, Inode(drive_));
}

TEST_F(FilePathsTest, TheRootItselfHasNoParent) {
    ResolvedPath found;
    ASSERT_EQ(Resolve({}, &found), ERROR_SUCCESS);
    EXPECT_TRUE(found.isRoot);
    EXPECT_FALSE(found.parent.Valid());
    EXPECT_EQ(found.status.st_ino, Inode(drive_));
    ASSERT_EQ(Resolve({L"Sub", L".."}, &found), ERROR_SUCCESS);
    EXPECT_TRUE(found.isRoot);
}

TEST_F(FilePathsTest, DotDotStaysInsideTheDrive) {
    ResolvedPath found;
    ASSERT_EQ(Resolve({L"Sub", L"Deeper", L"..", L".", L"MixedCase.txt"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub/MixedCase.txt"));
    ASSERT_EQ(Resolve({L"Sub", L"Deeper", L".."}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub"));
    EXPECT_EQ(found.name, "Sub");

    EXPECT_EQ(Resolve({L"..", L"outside", L"secret"}, &found), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Resolve({L"Sub", L"..", L"..", L"outside", L"secret"}, &found), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Resolve({L".."}, &found), ERROR_ACCESS_DENIED);
}

TEST_F(FilePathsTest, LinksInsideTheDriveAreFollowedOnTheWay) {
    ASSERT_EQ(symlink("Sub", (drive_ + "/relative").c_str()), 0);
    ASSERT_EQ(symlink((drive_ + "/Sub/Deeper").c_str(), (drive_ + "/absolute").c_str()), 0);
    ASSERT_EQ(symlink("../MixedCase.txt", (drive_ + "/Sub/Deeper/up").c_str()), 0);

    ResolvedPath found;
    ASSERT_EQ(Resolve({L"RELATIVE", L"mixedcase.txt"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub/MixedCase.txt"));
    ASSERT_EQ(Resolve({L"absolute", L".."}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub"));

    // In the last position a link is the link itself unless asked otherwise.
    ASSERT_EQ(Resolve({L"Sub", L"Deeper", L"up"}, &found), ERROR_SUCCESS);
    EXPECT_TRUE(S_ISLNK(found.status.st_mode));
    EXPECT_EQ(found.name, "up");
    ASSERT_EQ(Resolve({L"Sub", L"Deeper", L"up"}, &found, FinalLink::Follow), ERROR_SUCCESS);
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub/MixedCase.txt"));
}

TEST_F(FilePathsTest, LinksLeadingOutsideAreRefused) {
    ASSERT_EQ(symlink(outside_.c_str(), (drive_ + "/abs_out").c_str()), 0);
    ASSERT_EQ(symlink("../../outside", (drive_ + "/Sub/rel_out").c_str()), 0);
    ASSERT_EQ(symlink("/", (drive_ + "/slash").c_str()), 0);
    ASSERT_EQ(symlink((drive_ + "-other").c_str(), (drive_ + "/prefix_twin").c_str()), 0);
    fs::create_directories(drive_ + "-other");

    ResolvedPath found;
    EXPECT_EQ(Resolve({L"abs_out", L"secret"}, &found), ERROR_CANT_ACCESS_FILE);
    EXPECT_EQ(Resolve({L"Sub", L"rel_out", L"secret"}, &found), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Resolve({L"slash", L"etc"}, &found), ERROR_CANT_ACCESS_FILE);
    EXPECT_EQ(Resolve({L"prefix_twin"}, &found, FinalLink::Follow), ERROR_CANT_ACCESS_FILE);
    // Named in the last position the link itself is reachable; its target is not.
    EXPECT_EQ(Resolve({L"abs_out"}, &found, FinalLink::Follow), ERROR_CANT_ACCESS_FILE);
    ASSERT_EQ(Resolve({L"abs_out"}, &found), ERROR_SUCCESS);
    EXPECT_TRUE(S_ISLNK(found.status.st_mode));
    fs::remove_all(drive_ + "-other");
}

TEST_F(FilePathsTest, LinkLoopsEndWithAnError) {
    ASSERT_EQ(symlink("b", (drive_ + "/a").c_str()), 0);
    ASSERT_EQ(symlink("a", (drive_ + "/b").c_str()), 0);
    ASSERT_EQ(symlink(".", (drive_ + "/self").c_str()), 0);
    ResolvedPath found;
    EXPECT_EQ(Resolve({L"a", L"x"}, &found), ERROR_CANT_RESOLVE_FILENAME);
    // A link to its own directory is legal; going through it many times is not a loop.
    ASSERT_EQ(Resolve({L"self", L"self", L"self", L"Sub"}, &found), ERROR_SUCCESS);
    EXPECT_EQ(found.status.st_ino, Inode(drive_ + "/Sub"));
}

TEST_F(FilePathsTest, NamesThatCannotBeHostNamesAreInvalid) {
    ResolvedPath found;
    std::wstring surrogate(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(Resolve({L"Sub", surrogate}, &found), ERROR_INVALID_NAME);
    std::wstring tooLong(300, L'a');
    EXPECT_EQ(Resolve({tooLong}, &found), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(FilePathsTest, HostNamesRoundTripExactlyEvenWhenNotUtf8) {
    std::string host;
    ASSERT_TRUE(winapi::WideToHostName(L"a\u00e9\u4e2d\U0001F600", &host));
    EXPECT_EQ(host, "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(winapi::HostNameToWide(host), L"a\u00e9\u4e2d\U0001F600");
    // Truncated sequence, overlong encoding, encoded surrogate, lone bytes:
    // each byte that is not UTF-8 has its own code point and comes back.
    struct Case {
        std::string host;
        std::wstring wide;
    } cases[] = {
        {"a\xe4\xb8", L"a\xdce4\xdcb8"},
        {"\xc0\xaf", L"\xdcc0\xdcaf"},
        {"\xed\xa0\x80", L"\xdced\xdca0\xdc80"},
        {"r\xfe", L"r\xdcfe"},
        {"r\xff", L"r\xdcff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(winapi::HostNameToWide(c.host), c.wide);
        ASSERT_TRUE(winapi::WideToHostName(c.wide, &host));
        EXPECT_EQ(host, c.host);
    }
    // Other lone surrogates name nothing on the host.
    EXPECT_FALSE(winapi::WideToHostName(L"\xdc7f", &host));
}

// A second thread keeps exchanging a directory of the drive with a link to
// the outside while walks run through its name: no walk may ever arrive at
// the outside file, whichever state it meets.
TEST_F(FilePathsTest, LinkSwappedDuringWalksNeverLeadsOutside) {
    fs::create_directories(drive_ + "/swap");
    Write(drive_ + "/swap/secret");
    ASSERT_EQ(symlink(outside_.c_str(), (drive_ + "/other").c_str()), 0);
    const ino_t outsideSecret = Inode(outside_ + "/secret");
    const ino_t insideSecret = Inode(drive_ + "/swap/secret");

    std::atomic<bool> stop{false};
    std::atomic<int> exchanges{0};
    std::thread swapper([&] {
        while (!stop) {
            if (renameat2(AT_FDCWD, (drive_ + "/swap").c_str(), AT_FDCWD, (drive_ + "/other").c_str(),
                          RENAME_EXCHANGE) == 0) {
                ++exchanges;
            }
        }
    });
    // On a loaded machine the swapper may not run at all during a short
    // burst of walks: walk until it has swapped many times, within a cap.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int reachedInside = 0, refused = 0;
    for (int i = 0; i < 3000 || (exchanges.load() < 200 && std::chrono::steady_clock::now() < giveUp); ++i) {
        ResolvedPath found;
        DWORD error = Resolve({L"swap", L"secret"}, &found);
        if (error == ERROR_SUCCESS) {
            ASSERT_NE(found.status.st_ino, outsideSecret) << "walk " << i << " escaped the drive";
            EXPECT_EQ(found.status.st_ino, insideSecret);
            ++reachedInside;
        } else {
            ++refused;
        }
    }
    stop = true;
    swapper.join();
    EXPECT_GT(exchanges.load(), 0);
    EXPECT_GT(reachedInside + refused, 0);
}

}  // namespace

// ---- the forms of Windows file names ------------------------------------------------

namespace {

class FileNameFormsTest : public ::testing::Test {
protected:
    void SetUp() override {
        shared_ = machine_.MakeDirectory("shared");
        winapi::machine::AddShare(L"TESTPC", L"Docs", shared_);
        winapi::machine::ComputerSpec other;
        other.name = L"OTHERPC";
        winapi::machine::AddComputer(other);
        winapi::machine::MapDrive(L"OTHERPC", L'D', machine_.MakeDirectory("other-d"));
    }

    tavrik::test::TempMachine machine_;
    std::string shared_;
};

TEST_F(FileNameFormsTest, EveryFormReachesItsDriveOrShare) {
    struct Case {
        const wchar_t* name;
        std::string directory;
        std::vector<std::wstring> components;
        bool isShare;
    } cases[] = {
        {L"C:\\a\\b", machine_.DriveC(), {L"a", L"b"}, false},
        {L"c:/a//b/", machine_.DriveC(), {L"a", L"b"}, false},
        {L"\\\\?\\C:\\a", machine_.DriveC(), {L"a"}, false},
        {L"\\\\.\\c:\\a", machine_.DriveC(), {L"a"}, false},
        {L"C:", machine_.DriveC(), {}, false},
        {L"\\\\?\\c:", machine_.DriveC(), {}, false},
        {L"\\\\TESTPC\\docs\\x\\..\\y", shared_, {L"x", L"..", L"y"}, true},
        {L"\\\\?\\UNC\\testpc\\DOCS", shared_, {}, true},
        {L"\\\\?\\unc\\localhost\\Docs\\z", shared_, {L"z"}, true},
        {L"\\\\OTHERPC\\d$\\q", machine_.Folder() + "/other-d", {L"q"}, true},
    };
    for (const auto& c : cases) {
        winapi::FileName parsed;
        ASSERT_EQ(winapi::ParseFileName(c.name, false, &parsed), ERROR_SUCCESS) << c.directory;
        EXPECT_EQ(parsed.drive.directory, c.directory);
        EXPECT_EQ(parsed.components, c.components);
        EXPECT_EQ(parsed.isShare, c.isShare);
    }
}

// A thread parses name after name into one FileName: nothing of the name
// before (its components, share, computer, drive) may remain in the next.
TEST_F(FileNameFormsTest, OneFileNameParsedAgainHoldsOnlyTheNewName) {
    const wchar_t* names[] = {L"\\\\?\\C:\\a\\b\\c", L"C:\\a", L"\\\\TESTPC\\docs\\x\\y",
                              L"C:", L"C:\\a<b", L"\\\\OTHERPC\\d$\\q\\r\\s\\t", L"\\\\?\\c:\\z",
                              L"\\\\TESTPC\\nosuch\\x", L"c:/a//b/"};
    winapi::FileName reused;
    for (const wchar_t* name : names) {
        SCOPED_TRACE(testing::Message() << std::wstring(name).size() << " characters");
        winapi::FileName fresh;
        const DWORD expected = winapi::ParseFileName(name, false, &fresh);
        ASSERT_EQ(winapi::ParseFileName(name, false, &reused), expected);
        if (expected != ERROR_SUCCESS) continue;
        EXPECT_EQ(reused.components, fresh.components);
        EXPECT_EQ(reused.drive.directory, fresh.drive.directory);
        EXPECT_EQ(reused.drive.xattrName, fresh.drive.xattrName);
        EXPECT_EQ(reused.computer.id, fresh.computer.id);
        EXPECT_EQ(reused.computer.name, fresh.computer.name);
        EXPECT_EQ(reused.isShare, fresh.isShare);
        EXPECT_EQ(reused.share, fresh.share);
        EXPECT_EQ(reused.trailingSeparator, fresh.trailingSeparator);
    }
}

TEST_F(FileNameFormsTest, MalformedAndUnknownNamesGetWindowsCodes) {
    struct Case {
        const wchar_t* name;
        DWORD error;
    } cases[] = {
        {L"", ERROR_PATH_NOT_FOUND},
        {L"relative\\name", ERROR_INVALID_NAME},
        {L"1:\\x", ERROR_INVALID_NAME},
        {L"\\\\?\\", ERROR_INVALID_NAME},
        {L"\\\\?\\relative", ERROR_INVALID_NAME},
        {L"Q:\\x", ERROR_PATH_NOT_FOUND},
        {L"C:\\a<b", ERROR_INVALID_NAME},
        {L"C:\\a|b\\c", ERROR_INVALID_NAME},
        {L"C:\\a\\b:stream", ERROR_INVALID_NAME},
        {L"C:\\*", ERROR_INVALID_NAME},
        {L"\\\\", ERROR_INVALID_NAME},
        {L"\\\\TESTPC", ERROR_BAD_NETPATH},
        {L"\\\\TESTPC\\", ERROR_BAD_NETPATH},
        {L"\\\\NOSUCH\\docs", ERROR_BAD_NETPATH},
        {L"\\\\TESTPC\\nosuch\\x", ERROR_BAD_NET_NAME},
        {L"\\\\TESTPC\\..\\x", ERROR_BAD_NET_NAME},
        {L"\\\\?\\UNC\\", ERROR_INVALID_NAME},
    };
    for (const auto& c : cases) {
        winapi::FileName parsed;
        EXPECT_EQ(winapi::ParseFileName(c.name, false, &parsed), c.error)
            << std::string(c.name, c.name + std::wcslen(c.name));
    }
    winapi::FileName parsed;
    // Control characters are legal in Linux names, which walks hand on.
    EXPECT_EQ(winapi::ParseFileName(L"C:\\a\x01\\b\x1f", false, &parsed), ERROR_SUCCESS);
    EXPECT_EQ(winapi::ParseFileName(L"C:\\dir\\*.t?t", true, &parsed), ERROR_SUCCESS);
    EXPECT_EQ(winapi::ParseFileName(L"C:\\d*r\\x.txt", true, &parsed), ERROR_INVALID_NAME);
    EXPECT_EQ(winapi::ParseFileName(L"C:\\dir\\*\\", true, &parsed), ERROR_INVALID_NAME);
}

TEST_F(FileNameFormsTest, AMappedNetworkDriveOpensItsShare) {
    const std::string data = machine_.MakeDirectory("other-data");
    std::ofstream(data + "/P") << "x";
    winapi::machine::AddShare(L"OTHERPC", L"data", data);
    winapi::machine::MapNetworkDrive(L"TESTPC", L'Z', L"\\\\OTHERPC\\data");
    for (const wchar_t* name : {L"Z:\\P", L"z:/P", L"\\\\?\\Z:\\P", L"\\\\OTHERPC\\data\\P"}) {
        winapi::FileName parsed;
        ASSERT_EQ(winapi::ParseFileName(name, false, &parsed), ERROR_SUCCESS);
        EXPECT_EQ(parsed.drive.directory, data);
        EXPECT_EQ(parsed.components, std::vector<std::wstring>{L"P"});
        EXPECT_TRUE(parsed.isShare);
        EXPECT_EQ(parsed.share, L"data");
        ResolvedPath object;
        ASSERT_EQ(winapi::ResolveFileName(name, FinalLink::Follow, &object, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(object.name, "P");
    }
    winapi::FileName parsed;
    EXPECT_EQ(winapi::ParseFileName(L"Z:\\", false, &parsed), ERROR_SUCCESS);
    EXPECT_TRUE(parsed.components.empty());
    winapi::machine::SetComputerReachable(L"OTHERPC", false);
    EXPECT_EQ(winapi::ParseFileName(L"Z:\\P", false, &parsed), ERROR_BAD_NETPATH);
    winapi::machine::MapNetworkDrive(L"TESTPC", L'Y', L"\\\\TESTPC\\nosuch");
    EXPECT_EQ(winapi::ParseFileName(L"Y:\\P", false, &parsed), ERROR_BAD_NET_NAME);
}

// After \\?\ Windows takes the name as it is: no slash separates, no ".."
// folds, and "C:d" is no drive-relative name.
TEST_F(FileNameFormsTest, LongNamesAreTakenLiterally) {
    struct Case {
        const wchar_t* name;
        DWORD error;
    } refused[] = {
        {L"\\\\?\\C:\\a/b", ERROR_INVALID_NAME},
        {L"\\\\?\\C:\\a\\..\\b", ERROR_INVALID_NAME},
        {L"\\\\?\\C:\\a\\.", ERROR_INVALID_NAME},
        {L"\\\\?\\C:\\a\\\\b", ERROR_INVALID_NAME},
        {L"\\\\?\\UNC\\testpc\\docs\\x/y", ERROR_INVALID_NAME},
        {L"\\\\?\\UNC\\testpc\\docs\\..\\y", ERROR_INVALID_NAME},
        {L"\\\\?\\C:a", ERROR_FILE_NOT_FOUND},
        {L"\\\\?\\C:a\\b", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : refused) {
        winapi::FileName parsed;
        EXPECT_EQ(winapi::ParseFileName(c.name, false, &parsed), c.error)
            << std::string(c.name, c.name + std::wcslen(c.name));
    }
    // The same names without the prefix, or after \\.\, are normalized.
    struct Normalized {
        const wchar_t* name;
        std::vector<std::wstring> components;
    } accepted[] = {
        {L"C:\\a/b", {L"a", L"b"}},
        {L"\\\\.\\C:\\a/b", {L"a", L"b"}},
        {L"C:\\a\\..\\b", {L"a", L"..", L"b"}},
        {L"\\\\?\\C:\\a b\\c.\\", {L"a b", L"c."}},
        // Linux names may hold what Windows names cannot; walks pass them on.
        {L"\\\\?\\C:\\say \"hi\"\\a<b>c:d|e", {L"say \"hi\"", L"a<b>c:d|e"}},
        {L"\\\\?\\C:\\d*r\\f?le", {L"d*r", L"f?le"}},
        {L"\\\\?\\UNC\\testpc\\docs\\q\"uote", {L"q\"uote"}},
    };
    for (const auto& c : accepted) {
        winapi::FileName parsed;
        ASSERT_EQ(winapi::ParseFileName(c.name, false, &parsed), ERROR_SUCCESS);
        EXPECT_EQ(parsed.components, c.components);
    }
    ResolvedPath object;
    EXPECT_EQ(winapi::ResolveFileName(L"\\\\?\\C:\\..\\C", FinalLink::Follow, &object, nullptr), ERROR_INVALID_NAME);
}

TEST_F(FileNameFormsTest, ARemoteComputerThatGoesAwayIsABadNetPath) {
    winapi::FileName parsed;
    ASSERT_EQ(winapi::ParseFileName(L"\\\\OTHERPC\\D$\\x", false, &parsed), ERROR_SUCCESS);
    winapi::machine::SetComputerReachable(L"OTHERPC", false);
    EXPECT_EQ(winapi::ParseFileName(L"\\\\OTHERPC\\D$\\x", false, &parsed), ERROR_BAD_NETPATH);
}

}  // namespace

namespace {

// Names assembled at random from the pieces that matter (separators, dots,
// links in and out, prefixes, wildcards, odd characters): whatever they
// resolve to must lie inside the drive's directory.
TEST_F(FileNameFormsTest, NoAssembledNameResolvesOutsideTheDrive) {
    std::string drive = machine_.DriveC();
    fs::create_directories(drive + "/a/b");
    std::ofstream(drive + "/a/b/f") << "x";
    std::string outside = machine_.MakeDirectory("outside");
    std::ofstream(outside + "/secret") << "x";
    ASSERT_EQ(symlink(outside.c_str(), (drive + "/a/out").c_str()), 0);
    ASSERT_EQ(symlink("../..", (drive + "/a/b/up2").c_str()), 0);
    ASSERT_EQ(symlink("b", (drive + "/a/in").c_str()), 0);
    ASSERT_EQ(symlink((drive + "/a").c_str(), (drive + "/abs_in").c_str()), 0);

    char* resolved = realpath(drive.c_str(), nullptr);
    ASSERT_NE(resolved, nullptr);
    const std::string root = resolved;
    free(resolved);

    const std::vector<std::wstring> prefixes = {L"C:", L"c:", L"\\\\?\\C:", L"\\\\TESTPC\\C$", L"\\\\?\\UNC\\testpc\\c$",
                                                L"\\\\localhost\\C$", L"", L"\\\\", L"C"};
    const std::vector<std::wstring> pieces = {L"a",  L"A",   L"b",  L"f",      L"..",   L".",  L"out",  L"up2",
                                              L"in", L"abs_in", L"*", L"?",    L"secret", L"",  L"x:y", L"\u00e9",
                                              std::wstring(1, static_cast<wchar_t>(0xDC00)), L"...", L"etc"};
    unsigned seed = 12345;
    auto next = [&seed](size_t bound) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<size_t>((seed >> 16) % bound);
    };
    int resolvedCount = 0;
    for (int i = 0; i < 3000; ++i) {
        std::wstring name = prefixes[next(prefixes.size())];
        size_t count = next(7);
        for (size_t k = 0; k < count; ++k) {
            name += next(4) == 0 ? L"/" : L"\\";
            name += pieces[next(pieces.size())];
        }
        for (auto link : {winapi::FinalLink::Keep, winapi::FinalLink::Follow}) {
            winapi::ResolvedPath found;
            if (winapi::ResolveFileName(name, link, &found) != ERROR_SUCCESS) continue;
            ++resolvedCount;
            std::string where = fs::read_symlink(winapi::DescriptorPath(found.object.Get())).string();
            ASSERT_TRUE(where == root || where.rfind(root + "/", 0) == 0)
                << "resolved outside the drive: " << where << " (name " << i << ")";
        }
        winapi::FileName parsed;
        (void)winapi::ParseFileName(name, true, &parsed);
    }
    EXPECT_GT(resolvedCount, 100);
}

}  // namespace
