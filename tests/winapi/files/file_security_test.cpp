// Descriptors of files and directories by name: the access check, owner
// rules, damaged attributes, a full disk, and the propagation of
// inheritable changes (which descendants are rewritten and which not).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/privileges.h"
#include "support/temp_machine.h"
#include "winapi/files/file_paths.h"
#include "winapi/files/file_security.h"
#include "winapi/files/file_xattr.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_cache.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;
using winapi::Bytes;

constexpr SECURITY_INFORMATION kOgd = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// A descriptor given as SDDL, with pointers to its parts for the set call.
struct Parts {
    Bytes sd;
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr, sacl = nullptr;
};

Parts FromSddl(const std::wstring& sddl) {
    Parts parts;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, &size));
    if (!sd) return parts;
    parts.sd.assign(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + size);
    LocalFree(sd);
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(parts.sd.data(), &parts.owner, &defaulted);
    GetSecurityDescriptorGroup(parts.sd.data(), &parts.group, &defaulted);
    GetSecurityDescriptorDacl(parts.sd.data(), &present, &parts.dacl, &defaulted);
    GetSecurityDescriptorSacl(parts.sd.data(), &present, &parts.sacl, &defaulted);
    return parts;
}

std::wstring ToSddl(Bytes sd, SECURITY_INFORMATION info = kOgd) {
    LPWSTR text = nullptr;
    EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, info, &text, nullptr));
    std::wstring result = text ? text : L"";
    LocalFree(text);
    return result;
}

winapi::machine::TokenSpec Token(std::wstring user, std::vector<std::wstring> groups,
                                 std::vector<std::wstring> privileges = {}) {
    winapi::machine::TokenSpec request;
    request.user = std::move(user);
    request.groups = std::move(groups);
    request.privileges = std::move(privileges);
    return request;
}

using tavrik::test::EnablePrivilege;

// Calls by name mark job steps, as a walk's entries do, while it lives.
struct NamedSteps {
    NamedSteps() { winapi::machine::SetNamedSteps(true); }
    ~NamedSteps() { winapi::machine::SetNamedSteps(false); }
};

class FileSecurityTest : public ::testing::Test {
protected:
    void SetUp() override {
        drive_ = machine_.DriveC();
        attribute_ = winapi::machine::FindDrive(winapi::machine::LocalComputer(), L'C')->xattrName;
    }

    void MakeFile(const std::string& relative) {
        fs::create_directories(fs::path(drive_ + "/" + relative).parent_path());
        std::ofstream(drive_ + "/" + relative) << "x";
    }
    void MakeDirectory(const std::string& relative) { fs::create_directories(drive_ + "/" + relative); }

    DWORD Set(const std::wstring& name, SECURITY_INFORMATION info, const std::wstring& sddl) {
        Parts parts = FromSddl(sddl);
        return winapi::SetFileSecurityByName(name, info, parts.owner, parts.group, parts.dacl, parts.sacl);
    }
    std::wstring Get(const std::wstring& name, SECURITY_INFORMATION info = kOgd) {
        Bytes sd;
        DWORD error = winapi::GetFileSecurityByName(name, info, &sd);
        if (error != ERROR_SUCCESS) return L"error " + std::to_wstring(error);
        return ToSddl(sd, info);
    }
    std::wstring Dacl(const std::wstring& name) { return Get(name, DACL_SECURITY_INFORMATION); }

    Bytes Raw(const std::string& relative) {
        Bytes value(65536);
        ssize_t got = lgetxattr((drive_ + "/" + relative).c_str(), attribute_.c_str(), value.data(), value.size());
        if (got < 0) return {};
        value.resize(static_cast<size_t>(got));
        return value;
    }
    void SetRaw(const std::string& relative, const Bytes& value) {
        ASSERT_EQ(lsetxattr((drive_ + "/" + relative).c_str(), attribute_.c_str(), value.data(), value.size(), 0), 0);
    }
    static Bytes Damaged() { return {1, 0, 1, 0, 0, 0, 2, 0, 1, 0, 4, 0x80, 0xF0, 0xFF, 0, 0}; }

    tavrik::test::TempMachine machine_;
    std::string drive_;
    std::string attribute_;
};

TEST_F(FileSecurityTest, ReadsAndWritesThroughEveryNameForm) {
    MakeFile("Data/Report.txt");
    ASSERT_EQ(Set(L"C:\\data\\report.TXT", kOgd | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"O:BAG:SYD:(A;;FA;;;BA)(A;;FR;;;WD)"),
              ERROR_SUCCESS);
    const std::wstring expected = L"O:BAG:SYD:PAI(A;;FA;;;BA)(A;;FR;;;WD)";
    EXPECT_EQ(Get(L"C:\\Data\\Report.txt"), expected);
    EXPECT_EQ(Get(L"\\\\?\\c:\\DATA\\report.txt"), expected);
    EXPECT_EQ(Get(L"\\\\TESTPC\\C$\\Data\\Report.txt"), expected);
    EXPECT_EQ(Get(L"\\\\?\\UNC\\localhost\\c$\\data\\REPORT.txt"), expected);
    EXPECT_EQ(Get(L"C:/Data/./x/../Report.txt"), L"error 3");
    EXPECT_EQ(Get(L"C:/Data/./../Data/Report.txt"), expected);
}

// The reads of one job step share what the first one found; a write
// through the layer is seen at once, another process's write from the
// next step on.
TEST_F(FileSecurityTest, ReadsOfOneStepShareTheFirstUntilAWriteOrTheNextStep) {
    MakeFile("Data/a.txt");
    const std::wstring a = L"C:\\Data\\a.txt";
    constexpr SECURITY_INFORMATION kDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    ASSERT_EQ(Set(a, kDacl, L"D:(A;;FR;;;WD)"), ERROR_SUCCESS);
    const Bytes byOthers = Raw("Data/a.txt");
    ASSERT_EQ(Set(a, kDacl, L"D:(A;;FA;;;BA)"), ERROR_SUCCESS);

    NamedSteps steps;
    winapi::machine::BeginNamedStep(a);
    EXPECT_EQ(Dacl(a), L"D:PAI(A;;FA;;;BA)");
    SetRaw("Data/a.txt", byOthers);
    EXPECT_EQ(Dacl(a), L"D:PAI(A;;FA;;;BA)");
    ASSERT_EQ(Set(a, kDacl, L"D:(A;;FA;;;SY)"), ERROR_SUCCESS);
    EXPECT_EQ(Dacl(a), L"D:PAI(A;;FA;;;SY)");
    SetRaw("Data/a.txt", byOthers);
    winapi::machine::BeginNamedStep(L"C:\\Data");
    winapi::machine::BeginNamedStep(a);
    EXPECT_EQ(Dacl(a), L"D:PAI(A;;FR;;;WD)");
}

// A write that would leave a file as the step's read found it stores
// nothing and reads nothing again: it counts as made at that read, before
// another process's later write, which stays. The caller's access is still
// checked.
TEST_F(FileSecurityTest, AWriteThatLeavesAFileAsItsStepReadFoundItIsMadeAtThatRead) {
    MakeFile("Data/a.txt");
    const std::wstring a = L"C:\\Data\\a.txt";
    constexpr SECURITY_INFORMATION kDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    ASSERT_EQ(Set(a, kDacl, L"D:(A;;FR;;;WD)"), ERROR_SUCCESS);
    const Bytes byOthers = Raw("Data/a.txt");
    ASSERT_EQ(Set(a, kDacl, L"D:(A;;FA;;;BA)"), ERROR_SUCCESS);

    NamedSteps steps;
    winapi::machine::BeginNamedStep(a);
    EXPECT_EQ(Dacl(a), L"D:PAI(A;;FA;;;BA)");
    SetRaw("Data/a.txt", byOthers);
    ASSERT_EQ(Set(a, kDacl, L"D:(A;;FA;;;BA)"), ERROR_SUCCESS);
    EXPECT_EQ(Raw("Data/a.txt"), byOthers);

    winapi::machine::BeginNamedStep(L"C:\\Data");
    winapi::machine::BeginNamedStep(a);
    winapi::machine::SetToken(Token(L"S-1-5-21-1-2-3-1001", {L"S-1-1-0"}));
    EXPECT_EQ(Dacl(a), L"D:PAI(A;;FR;;;WD)");
    EXPECT_EQ(Set(a, kDacl, L"D:(A;;FR;;;WD)"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Raw("Data/a.txt"), byOthers);
}

// A step whose file is to change (the step before changed its own) reads
// it under the write lock its write needs, and keeps the lock until that
// write: another writer waits, and the write made from the step's read
// loses nothing the other wrote.
TEST_F(FileSecurityTest, AStepReadingUnderTheWriteLockKeepsOtherWritersOutUntilItsWrite) {
    MakeFile("Data/a.txt");
    MakeFile("Data/b.txt");
    MakeFile("Data/c.txt");
    MakeDirectory("Data/sub");
    constexpr SECURITY_INFORMATION kDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    auto readByHandle = [](const std::wstring& name) {
        HANDLE file = CreateFileW(name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    };
    // The step before wrote a file; then a file, or a directory, is read
    // and written while another thread writes it too.
    const std::pair<std::wstring, std::wstring> steps[] = {{L"C:\\Data\\a.txt", L"C:\\Data\\b.txt"},
                                                           {L"C:\\Data\\c.txt", L"C:\\Data\\sub"}};
    for (const auto& step : steps) {
        const std::wstring& a = step.first;
        const std::wstring& b = step.second;
        SCOPED_TRACE(std::string(b.begin(), b.end()));
        NamedSteps named;
        winapi::machine::BeginNamedStep(a);
        readByHandle(a);
        ASSERT_EQ(Set(a, kDacl, L"D:(A;;FA;;;BA)"), ERROR_SUCCESS);

        winapi::machine::BeginNamedStep(b);
        readByHandle(b);
        std::chrono::steady_clock::duration waited{};
        std::thread other([&] {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(Set(b, GROUP_SECURITY_INFORMATION, L"G:BA"), ERROR_SUCCESS);
            waited = std::chrono::steady_clock::now() - start;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(Set(b, kDacl, L"D:(A;;FA;;;BA)(A;;FR;;;BU)"), ERROR_SUCCESS);
        other.join();
        EXPECT_GE(waited, std::chrono::milliseconds(100));
        EXPECT_EQ(Get(b, GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
                  L"G:BAD:PAI(A;;FA;;;BA)(A;;FR;;;BU)");
    }
}

TEST_F(FileSecurityTest, InheritableAcesReachEveryUnprotectedDescendant) {
    MakeFile("top/a.txt");
    MakeFile("top/sub/b.txt");
    MakeFile("top/sub/deep/c.txt");
    ASSERT_EQ(Set(L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;BA)(A;;FR;;;AU)"),
              ERROR_SUCCESS);
    EXPECT_EQ(Dacl(L"C:\\top"), L"D:PAI(A;OICI;FA;;;BA)(A;;FR;;;AU)");
    for (const wchar_t* file : {L"C:\\top\\a.txt", L"C:\\top\\sub\\b.txt", L"C:\\top\\sub\\deep\\c.txt"}) {
        std::wstring dacl = Dacl(file);
        EXPECT_NE(dacl.find(L"(A;ID;FA;;;BA)"), std::wstring::npos) << std::string(dacl.begin(), dacl.end());
        EXPECT_EQ(dacl.find(L";;;AU)"), std::wstring::npos) << "a non-inheritable ACE was handed down";
    }
    for (const wchar_t* dir : {L"C:\\top\\sub", L"C:\\top\\sub\\deep"}) {
        std::wstring dacl = Dacl(dir);
        EXPECT_NE(dacl.find(L"(A;OICIID;FA;;;BA)"), std::wstring::npos) << std::string(dacl.begin(), dacl.end());
    }
}

TEST_F(FileSecurityTest, ProtectedDescendantsAndTheirSubtreesAreLeftAlone) {
    MakeFile("top/open/x.txt");
    MakeFile("top/closed/inner/y.txt");
    ASSERT_EQ(Set(L"C:\\top\\closed", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;SY)"),
              ERROR_SUCCESS);
    // Below a protected directory: a damaged attribute that a visit would trip over.
    SetRaw("top/closed/inner/y.txt", Damaged());
    Bytes closedBefore = Raw("top/closed");

    ASSERT_EQ(Set(L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;BA)"),
              ERROR_SUCCESS);
    EXPECT_NE(Dacl(L"C:\\top\\open\\x.txt").find(L"(A;ID;FA;;;BA)"), std::wstring::npos);
    EXPECT_EQ(Raw("top/closed"), closedBefore);
    EXPECT_EQ(Raw("top/closed/inner/y.txt"), Damaged());
}

TEST_F(FileSecurityTest, UnchangedInheritablePartsRewriteNothingBelow) {
    MakeFile("top/sub/file.txt");
    ASSERT_EQ(Set(L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;BA)"),
              ERROR_SUCCESS);
    Bytes subBefore = Raw("top/sub");
    SetRaw("top/sub/file.txt", Damaged());

    // Only a non-inheritable ACE changes: nothing below needs a visit.
    ASSERT_EQ(Set(L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;BA)(A;;FR;;;WD)"),
              ERROR_SUCCESS);
    EXPECT_EQ(Raw("top/sub"), subBefore);
    EXPECT_EQ(Raw("top/sub/file.txt"), Damaged());
    // Owner changes are not inheritable either.
    ASSERT_EQ(Set(L"C:\\top", OWNER_SECURITY_INFORMATION, L"O:BA"), ERROR_SUCCESS);
    EXPECT_EQ(Raw("top/sub/file.txt"), Damaged());
}

TEST_F(FileSecurityTest, ADescendantThatFailsIsReportedAndItsSiblingsStillUpdated) {
    MakeFile("top/a/1.txt");
    MakeFile("top/b.txt");
    MakeFile("top/c/2.txt");
    SetRaw("top/b.txt", Damaged());
    DWORD error = Set(L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                      L"D:(A;OICI;FA;;;BA)");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_EQ(Raw("top/b.txt"), Damaged());
    EXPECT_NE(Dacl(L"C:\\top\\a\\1.txt").find(L"(A;ID;FA;;;BA)"), std::wstring::npos);
    EXPECT_NE(Dacl(L"C:\\top\\c\\2.txt").find(L"(A;ID;FA;;;BA)"), std::wstring::npos);
}

// Propagation goes down a tree far deeper than a call per level could
// (it runs here on a thread with a 512 KiB stack, which a recursion through
// 5,000 levels overflows in any build) and reaches its bottom.
TEST_F(FileSecurityTest, PropagationReachesTheBottomOfATreeTooDeepToRecurseThrough) {
    constexpr int kDepth = 5000;
    // Every level holds a descriptor of inherited entries only, as below a
    // directory written before, so that nothing piles up level by level.
    MakeDirectory("model/sub");
    ASSERT_EQ(Set(L"C:\\model", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;SY)"),
              ERROR_SUCCESS);
    ASSERT_EQ(Set(L"C:\\model\\sub", DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, L"D:"),
              ERROR_SUCCESS);
    ASSERT_EQ(Dacl(L"C:\\model\\sub"), L"D:AI(A;OICIID;FA;;;SY)");
    const Bytes inherited = Raw("model/sub");
    ASSERT_FALSE(inherited.empty());
    MakeDirectory("top");
    int level = ::open((drive_ + "/top").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < kDepth && level >= 0; ++i) {
        ASSERT_EQ(::mkdirat(level, "d", 0755), 0);
        const int next = ::openat(level, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(level);
        level = next;
        ASSERT_EQ(::fsetxattr(level, attribute_.c_str(), inherited.data(), inherited.size(), 0), 0);
    }
    ASSERT_GE(level, 0);
    ::close(::openat(level, "leaf.txt", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ::close(level);

    struct Call {
        Parts parts = FromSddl(L"D:(A;OICI;FA;;;BA)");
        DWORD error = ERROR_GEN_FAILURE;
    } call;
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 512 << 10), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* argument) -> void* {
                      auto* call = static_cast<Call*>(argument);
                      call->error = winapi::SetFileSecurityByName(
                          L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, call->parts.dacl, nullptr);
                      return nullptr;
                  },
                  &call),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_SUCCESS));
    std::wstring leaf = L"\\\\?\\C:\\top";
    for (int i = 0; i < kDepth; ++i) leaf += L"\\d";
    EXPECT_NE(Dacl(leaf + L"\\leaf.txt").find(L"(A;ID;FA;;;BA)"), std::wstring::npos);
    std::system(("rm -rf '" + drive_ + "/top'").c_str());
}

TEST_F(FileSecurityTest, PropagationNeverFollowsLinks) {
    MakeFile("top/file.txt");
    MakeFile("elsewhere/target.txt");
    std::string outside = machine_.MakeDirectory("outside");
    std::ofstream(outside + "/victim.txt") << "x";
    ASSERT_EQ(symlink(outside.c_str(), (drive_ + "/top/out").c_str()), 0);
    ASSERT_EQ(symlink("../elsewhere", (drive_ + "/top/in").c_str()), 0);

    ASSERT_EQ(Set(L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;BA)"),
              ERROR_SUCCESS);
    EXPECT_NE(Dacl(L"C:\\top\\file.txt").find(L"(A;ID;FA;;;BA)"), std::wstring::npos);
    Bytes none(65536);
    EXPECT_LT(lgetxattr((outside + "/victim.txt").c_str(), attribute_.c_str(), none.data(), none.size()), 0);
    EXPECT_LT(lgetxattr(outside.c_str(), attribute_.c_str(), none.data(), none.size()), 0);
    EXPECT_TRUE(Raw("elsewhere/target.txt").empty());
    EXPECT_TRUE(Raw("elsewhere").empty());
}

TEST_F(FileSecurityTest, TheDriveRootHasNoParentToInheritFrom) {
    ASSERT_EQ(Set(L"C:\\", DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;BA)(A;ID;FA;;;WD)"),
              ERROR_SUCCESS);
    std::wstring dacl = Dacl(L"C:\\");
    EXPECT_NE(dacl.find(L"(A;OICI;FA;;;BA)"), std::wstring::npos);
    EXPECT_EQ(dacl.find(L"WD"), std::wstring::npos) << "inherited ACEs supplied by the caller are dropped";
}

// A share of a folder is that folder: writing its root through the share
// keeps what it inherits from the folder above, as on the server itself.
TEST_F(FileSecurityTest, AShareRootInheritsFromTheFolderAboveIt) {
    MakeFile("data/inside.txt");
    winapi::machine::AddShare(L"TESTPC", L"Data", drive_ + "/data");
    ASSERT_EQ(Set(L"C:\\", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, L"D:(A;OICI;FA;;;BA)"),
              ERROR_SUCCESS);
    ASSERT_EQ(Set(L"\\\\TESTPC\\Data", DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FR;;;AU)"),
              ERROR_SUCCESS);
    EXPECT_EQ(Dacl(L"C:\\data"), L"D:AI(A;OICI;FR;;;AU)(A;OICIID;FA;;;BA)");
    std::wstring file = Dacl(L"\\\\TESTPC\\Data\\inside.txt");
    EXPECT_NE(file.find(L"(A;ID;FR;;;AU)"), std::wstring::npos) << std::string(file.begin(), file.end());
    EXPECT_NE(file.find(L"(A;ID;FA;;;BA)"), std::wstring::npos) << std::string(file.begin(), file.end());

    // The administrative share is the drive's root: nothing above it.
    ASSERT_EQ(Set(L"\\\\TESTPC\\C$", DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;SY)"),
              ERROR_SUCCESS);
    EXPECT_EQ(Dacl(L"C:\\"), L"D:AI(A;OICI;FA;;;SY)");
}

TEST_F(FileSecurityTest, WritingNeedsTheRightAccessAndLeavesDeniedObjectsUnchanged) {
    MakeFile("f.txt");
    ASSERT_EQ(Set(L"C:\\f.txt", kOgd | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"O:BAG:SYD:(A;;FR;;;S-1-5-21-1-2-3-1001)(A;;FA;;;BA)"),
              ERROR_SUCCESS);
    Bytes before = Raw("f.txt");
    winapi::machine::SetToken(Token(L"S-1-5-21-1-2-3-1001", {L"S-1-1-0"}));

    EXPECT_EQ(Set(L"C:\\f.txt", DACL_SECURITY_INFORMATION, L"D:(A;;FA;;;WD)"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(L"C:\\f.txt", OWNER_SECURITY_INFORMATION, L"O:S-1-5-21-1-2-3-1001"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Raw("f.txt"), before);
    EXPECT_EQ(Get(L"C:\\f.txt"), L"O:BAG:SYD:PAI(A;;FR;;;S-1-5-21-1-2-3-1001)(A;;FA;;;BA)");
    EXPECT_EQ(Get(L"C:\\f.txt", SACL_SECURITY_INFORMATION), L"error 1314");
}

TEST_F(FileSecurityTest, ANewOwnerMustBeOneOfTheTokensSidsWithoutRestorePrivilege) {
    MakeFile("f.txt");
    ASSERT_EQ(Set(L"C:\\f.txt", kOgd, L"O:BAG:SYD:(A;;FA;;;S-1-5-21-1-2-3-1001)"), ERROR_SUCCESS);
    winapi::machine::SetToken(Token(L"S-1-5-21-1-2-3-1001", {L"S-1-1-0"}, {L"SeRestorePrivilege"}));
    EXPECT_EQ(Set(L"C:\\f.txt", OWNER_SECURITY_INFORMATION, L"O:SY"), ERROR_INVALID_OWNER);
    ASSERT_EQ(Set(L"C:\\f.txt", OWNER_SECURITY_INFORMATION, L"O:S-1-5-21-1-2-3-1001"), ERROR_SUCCESS);
    EXPECT_EQ(Get(L"C:\\f.txt", OWNER_SECURITY_INFORMATION), L"O:S-1-5-21-1-2-3-1001");
    ASSERT_TRUE(EnablePrivilege(L"SeRestorePrivilege"));
    ASSERT_EQ(Set(L"C:\\f.txt", OWNER_SECURITY_INFORMATION, L"O:SY"), ERROR_SUCCESS);
    EXPECT_EQ(Get(L"C:\\f.txt", OWNER_SECURITY_INFORMATION), L"O:SY");
}

TEST_F(FileSecurityTest, AMalformedOwnerIsRefusedBeforeAnythingIsWritten) {
    MakeFile("f.txt");
    ASSERT_EQ(Set(L"C:\\f.txt", kOgd, L"O:BAG:SYD:(A;;FA;;;BA)"), ERROR_SUCCESS);
    Bytes before = Raw("f.txt");
    // Revision 9 and 200 sub-authorities claimed in a 12-byte buffer.
    std::vector<BYTE> bogus = {9, 200, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0};
    EXPECT_EQ(winapi::SetFileSecurityByName(L"C:\\f.txt", OWNER_SECURITY_INFORMATION, bogus.data(), nullptr, nullptr,
                                            nullptr),
              ERROR_INVALID_SID);
    EXPECT_EQ(Raw("f.txt"), before);
}

TEST_F(FileSecurityTest, AFullDiskFailsTheWriteAndChangesNothing) {
    MakeFile("top/f.txt");
    ASSERT_EQ(Set(L"C:\\top", kOgd | PROTECTED_DACL_SECURITY_INFORMATION, L"O:BAG:SYD:(A;OICI;FA;;;BA)"),
              ERROR_SUCCESS);
    Bytes top = Raw("top"), file = Raw("top/f.txt");
    winapi::machine::SetDiskFull(true);
    EXPECT_EQ(Set(L"C:\\top", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                  L"D:(A;OICI;FA;;;WD)"),
              ERROR_DISK_FULL);
    winapi::machine::SetDiskFull(false);
    EXPECT_EQ(Raw("top"), top);
    EXPECT_EQ(Raw("top/f.txt"), file);
}

TEST_F(FileSecurityTest, ADamagedDescriptorIsReplacedOnlyByACompleteWrite) {
    MakeFile("bad.txt");
    SetRaw("bad.txt", Damaged());
    EXPECT_EQ(Get(L"C:\\bad.txt"), L"error 1338");
    EXPECT_EQ(Set(L"C:\\bad.txt", DACL_SECURITY_INFORMATION, L"D:(A;;FA;;;BA)"), ERROR_INVALID_SECURITY_DESCR);
    EXPECT_EQ(Raw("bad.txt"), Damaged());

    // Without a readable descriptor only the restore privilege can rewrite it.
    winapi::machine::SetToken(Token(L"S-1-5-21-1-2-3-1001", {L"S-1-5-32-544"}, {L"SeRestorePrivilege"}));
    EXPECT_EQ(Set(L"C:\\bad.txt", kOgd, L"O:BAG:SYD:(A;;FA;;;BA)"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Raw("bad.txt"), Damaged());
    ASSERT_TRUE(EnablePrivilege(L"SeRestorePrivilege"));
    ASSERT_EQ(Set(L"C:\\bad.txt", kOgd | PROTECTED_DACL_SECURITY_INFORMATION, L"O:BAG:SYD:(A;;FA;;;BA)"),
              ERROR_SUCCESS);
    EXPECT_EQ(Get(L"C:\\bad.txt"), L"O:BAG:SYD:PAI(A;;FA;;;BA)");
}

TEST_F(FileSecurityTest, MissingObjectsAndEscapesAreErrors) {
    EXPECT_EQ(Get(L"C:\\nothing.txt"), L"error 2");
    EXPECT_EQ(Get(L"C:\\no\\thing.txt"), L"error 3");
    EXPECT_EQ(Get(L"C:\\..\\machine.db"), L"error 5");
    EXPECT_EQ(Set(L"C:\\..\\machine.db", DACL_SECURITY_INFORMATION, L"D:(A;;FA;;;WD)"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get(L"\\\\GHOST\\C$\\x"), L"error 53");
}

}  // namespace

namespace {

// A revoke cut short (the job killed between the directory's write and a
// child's) heals when the same revoke runs again, although what the
// directory hands down does not change the second time.
TEST_F(FileSecurityTest, RewritingADirectoryHealsChildrenAnEarlierPropagationMissed) {
    MakeFile("top/sub/file.txt");
    const SECURITY_INFORMATION protectedDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    ASSERT_EQ(Set(L"C:\\top", protectedDacl, L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;AU)"), ERROR_SUCCESS);
    const Bytes subWithUsers = Raw("top/sub");
    ASSERT_EQ(Set(L"C:\\top", protectedDacl, L"D:(A;OICI;FA;;;BA)"), ERROR_SUCCESS);
    SetRaw("top/sub", subWithUsers);  // as if the revoke had been killed before reaching sub

    ASSERT_EQ(Set(L"C:\\top", protectedDacl, L"D:(A;OICI;FA;;;BA)"), ERROR_SUCCESS);
    EXPECT_EQ(Dacl(L"C:\\top\\sub").find(L";;;AU)"), std::wstring::npos);
    EXPECT_EQ(Dacl(L"C:\\top\\sub\\file.txt").find(L";;;AU)"), std::wstring::npos);
}

}  // namespace

namespace {

// Writers of one descriptor take turns: a write waits while another writer
// holds the object's lock (here the test, for 150 ms), so neither's change
// is lost to the other's read-modify-write.
TEST_F(FileSecurityTest, WritesOfOneDescriptorWaitForEachOther) {
    MakeFile("shared.txt");
    int held = open((drive_ + "/shared.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::thread release([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        close(held);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Set(L"C:\\shared.txt", DACL_SECURITY_INFORMATION, L"D:(A;;FA;;;BA)"), ERROR_SUCCESS);
    const auto waited = std::chrono::steady_clock::now() - start;
    release.join();
    EXPECT_GE(waited, std::chrono::milliseconds(100));
}

}  // namespace

namespace {

// During an announced recursive walk a directory's write leaves its
// children for the walk: a child reads as propagated before it is written,
// and when the walk ends every object holds the very bytes it holds after
// the same writes made without the announcement.
TEST_F(FileSecurityTest, AnAnnouncedWalkEndsWithTheDescriptorsOfAnImmediatePropagation) {
    const SECURITY_INFORMATION protectedDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    const char* objects[] = {"top", "top/a.txt", "top/sub", "top/sub/b.txt", "top/sub/deep", "top/sub/deep/c.txt",
                             "top/z.txt"};
    for (const char* tree : {"walked", "plain"}) {
        MakeFile(std::string(tree) + "/top/a.txt");
        MakeFile(std::string(tree) + "/top/sub/deep/c.txt");
        MakeFile(std::string(tree) + "/top/sub/b.txt");
        MakeFile(std::string(tree) + "/top/z.txt");
    }
    auto writes = [&](const std::wstring& tree, bool announced) {
        const std::wstring top = L"C:\\" + tree + L"\\top";
        if (announced) AnnounceRecursiveWalk(TRUE);
        ASSERT_EQ(Set(top, protectedDacl, L"D:(A;OICI;FA;;;BA)(A;OICI;FR;;;AU)"), ERROR_SUCCESS);
        if (announced) {
            EXPECT_TRUE(Raw(std::string(tree.begin(), tree.end()) + "/top/z.txt").empty());
        }
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((top + L"\\*").c_str(), &data);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        EXPECT_NE(Dacl(top + L"\\a.txt").find(L"(A;ID;FR;;;AU)"), std::wstring::npos);
        ASSERT_EQ(Set(top + L"\\a.txt", DACL_SECURITY_INFORMATION, L"D:(A;;FA;;;WD)"), ERROR_SUCCESS);
        ASSERT_EQ(Set(top + L"\\sub", DACL_SECURITY_INFORMATION, L"D:(A;OICI;FW;;;WD)"), ERROR_SUCCESS);
        HANDLE inner = FindFirstFileW((top + L"\\sub\\*").c_str(), &data);
        ASSERT_NE(inner, INVALID_HANDLE_VALUE);
        ASSERT_EQ(Set(top + L"\\sub\\b.txt", GROUP_SECURITY_INFORMATION, L"G:BA"), ERROR_SUCCESS);
        // deep and deep\c.txt are left to the close of the search; z.txt to
        // the close of the search above.
        EXPECT_TRUE(FindClose(inner));
        EXPECT_TRUE(FindClose(search));
        if (announced) AnnounceRecursiveWalk(FALSE);
    };
    writes(L"walked", true);
    writes(L"plain", false);
    for (const char* object : objects) {
        EXPECT_EQ(Raw(std::string("walked/") + object), Raw(std::string("plain/") + object)) << object;
    }
    EXPECT_NE(Dacl(L"C:\\walked\\top\\sub\\deep\\c.txt").find(L";ID;FW;;;WD)"), std::wstring::npos);
}

// A walk killed after a directory's write leaves its children as they
// were; nothing records the debt, and the next write of the directory pays
// it (here the walk's thread ends without its announcement ending).
TEST_F(FileSecurityTest, AWalkKilledAfterADirectorysWriteIsHealedByTheNextWrite) {
    MakeFile("top/sub/file.txt");
    const SECURITY_INFORMATION protectedDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    ASSERT_EQ(Set(L"C:\\top", protectedDacl, L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;AU)"), ERROR_SUCCESS);
    const Bytes fileWithUsers = Raw("top/sub/file.txt");
    std::thread killed([&] {
        AnnounceRecursiveWalk(TRUE);
        EXPECT_EQ(Set(L"C:\\top", protectedDacl, L"D:(A;OICI;FA;;;BA)"), ERROR_SUCCESS);
    });
    killed.join();
    EXPECT_EQ(Raw("top/sub/file.txt"), fileWithUsers);

    ASSERT_EQ(Set(L"C:\\top", protectedDacl, L"D:(A;OICI;FA;;;BA)"), ERROR_SUCCESS);
    EXPECT_EQ(Dacl(L"C:\\top\\sub").find(L";;;AU)"), std::wstring::npos);
    EXPECT_EQ(Dacl(L"C:\\top\\sub\\file.txt").find(L";;;AU)"), std::wstring::npos);
}

}  // namespace
