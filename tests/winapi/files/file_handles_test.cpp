// CreateFileW and GetKernelObjectSecurity on files and directories of the
// simulated computer: the access check at open, Windows' buffer sizing,
// only the requested parts, links and damaged attributes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/privileges.h"
#include "support/temp_machine.h"
#include "winapi/files/file_paths.h"
#include "winapi/files/file_xattr.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;
using winapi::Bytes;

Bytes FromSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, &size))
        << std::string(sddl.begin(), sddl.end());
    if (!sd) return {};
    Bytes bytes(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + size);
    LocalFree(sd);
    return bytes;
}

std::wstring ToSddl(const void* sd, SECURITY_INFORMATION info) {
    LPWSTR text = nullptr;
    EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<void*>(sd), SDDL_REVISION_1, info,
                                                                     &text, nullptr));
    std::wstring result = text ? text : L"";
    LocalFree(text);
    return result;
}

constexpr SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

using tavrik::test::EnablePrivilege;

winapi::machine::TokenSpec Token(std::wstring user, std::vector<std::wstring> groups,
                                 std::vector<std::wstring> privileges) {
    winapi::machine::TokenSpec request;
    request.user = std::move(user);
    request.groups = std::move(groups);
    request.privileges = std::move(privileges);
    return request;
}

class FileHandlesTest : public ::testing::Test {
protected:
    void SetUp() override {
        drive_ = machine_.DriveC();
        fs::create_directories(drive_ + "/dir");
        std::ofstream(drive_ + "/dir/file.txt") << "data";
        attribute_ = winapi::machine::FindDrive(winapi::machine::LocalComputer(), L'C')->xattrName;
    }

    void Store(const std::string& relative, const std::wstring& sddl) {
        winapi::UniqueFd fd(open((drive_ + "/" + relative).c_str(), O_PATH | O_NOFOLLOW));
        ASSERT_TRUE(fd.Valid()) << relative;
        ASSERT_EQ(winapi::WriteFileDescriptor(fd.Get(), attribute_, FromSddl(sddl)), ERROR_SUCCESS);
    }
    static HANDLE Open(const wchar_t* name, DWORD access, DWORD flags = FILE_FLAG_BACKUP_SEMANTICS) {
        return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    // GetKernelObjectSecurity as callers use it: ask the size, then read.
    static Bytes Read(HANDLE handle, SECURITY_INFORMATION info) {
        DWORD needed = 0;
        EXPECT_FALSE(GetKernelObjectSecurity(handle, info, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        Bytes sd(needed);
        DWORD again = 0;
        EXPECT_TRUE(GetKernelObjectSecurity(handle, info, sd.data(), needed, &again));
        EXPECT_EQ(again, needed);
        return sd;
    }

    tavrik::test::TempMachine machine_;
    std::string drive_;
    std::string attribute_;
};

TEST_F(FileHandlesTest, DirectoriesOpenOnlyWithBackupSemantics) {
    HANDLE handle = Open(L"C:\\dir", READ_CONTROL, 0);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    handle = Open(L"C:\\dir", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(handle));
    handle = Open(L"C:\\dir\\file.txt", READ_CONTROL, 0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(FileHandlesTest, SizingFollowsWindowsAndOnlyRequestedPartsComeBack) {
    Store("dir/file.txt", L"O:BAG:SYD:PAI(A;;FA;;;BA)(A;;FR;;;WD)");
    HANDLE handle = Open(L"\\\\?\\C:\\DIR\\FILE.TXT", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    Bytes all = Read(handle, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    EXPECT_EQ(ToSddl(all.data(), kAll), L"O:BAG:SYD:PAI(A;;FA;;;BA)(A;;FR;;;WD)");

    Bytes daclOnly = Read(handle, DACL_SECURITY_INFORMATION);
    EXPECT_LT(daclOnly.size(), all.size());
    EXPECT_EQ(ToSddl(daclOnly.data(), kAll), L"D:PAI(A;;FA;;;BA)(A;;FR;;;WD)");
    Bytes ownerOnly = Read(handle, OWNER_SECURITY_INFORMATION);
    EXPECT_EQ(ToSddl(ownerOnly.data(), kAll), L"O:BA");

    // One byte short is still too small, and says how much is needed.
    Bytes buffer(all.size() - 1);
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                     DACL_SECURITY_INFORMATION,
                                         buffer.data(), static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, all.size());
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(FileHandlesTest, AnOpenHandleSeesLaterChangesOfTheDescriptor) {
    Store("dir/file.txt", L"O:BAG:SYD:(A;;FA;;;BA)");
    HANDLE handle = Open(L"C:\\dir\\file.txt", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ToSddl(Read(handle, DACL_SECURITY_INFORMATION).data(), kAll), L"D:(A;;FA;;;BA)");
    Store("dir/file.txt", L"O:BAG:SYD:(A;;FA;;;BA)(A;;FR;;;AU)");
    EXPECT_EQ(ToSddl(Read(handle, DACL_SECURITY_INFORMATION).data(), kAll), L"D:(A;;FA;;;BA)(A;;FR;;;AU)");
    CloseHandle(handle);

    // Without an attribute the descriptor follows the mode.
    handle = Open(L"C:\\dir", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::wstring before = ToSddl(Read(handle, DACL_SECURITY_INFORMATION).data(), kAll);
    ASSERT_EQ(chmod((drive_ + "/dir").c_str(), 0700), 0);
    EXPECT_NE(ToSddl(Read(handle, DACL_SECURITY_INFORMATION).data(), kAll), before);
    CloseHandle(handle);
}

TEST_F(FileHandlesTest, TheHandleCarriesOnlyTheAccessItWasOpenedWith) {
    Store("dir/file.txt", L"O:BAG:SYD:(A;;FA;;;BA)S:(AU;SA;FA;;;WD)");
    HANDLE handle = Open(L"C:\\dir\\file.txt", FILE_READ_ATTRIBUTES);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(handle);

    handle = Open(L"C:\\dir\\file.txt", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(GetKernelObjectSecurity(handle, SACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(handle);
}

TEST_F(FileHandlesTest, TheSaclNeedsAnEnabledSecurityPrivilege) {
    Store("dir/file.txt", L"O:BAG:SYD:(A;;FA;;;BA)S:(AU;SA;FA;;;WD)");
    winapi::machine::SetToken(Token(L"S-1-5-21-1-2-3-1001", {L"S-1-5-32-544"}, {L"SeSecurityPrivilege"}));
    HANDLE handle = Open(L"C:\\dir\\file.txt", READ_CONTROL | ACCESS_SYSTEM_SECURITY);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));

    ASSERT_TRUE(EnablePrivilege(L"SeSecurityPrivilege"));
    handle = Open(L"C:\\dir\\file.txt", READ_CONTROL | ACCESS_SYSTEM_SECURITY);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    Bytes sd = Read(handle, SACL_SECURITY_INFORMATION);
    EXPECT_EQ(ToSddl(sd.data(), kAll), L"S:(AU;SA;FA;;;WD)");
    CloseHandle(handle);
}

TEST_F(FileHandlesTest, OpeningIsCheckedAgainstTheDescriptor) {
    Store("dir/file.txt", L"O:BAG:SYD:(D;;RC;;;S-1-5-21-1-2-3-1001)(A;;FA;;;WD)");
    Store("dir", L"O:S-1-5-21-1-2-3-1001G:SYD:(A;;FA;;;BA)");
    winapi::machine::SetToken(Token(L"S-1-5-21-1-2-3-1001", {L"S-1-1-0"}, {}));

    HANDLE handle = Open(L"C:\\dir\\file.txt", READ_CONTROL);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Other rights the deny does not cover are still granted by Everyone.
    handle = Open(L"C:\\dir\\file.txt", FILE_READ_DATA);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    // The owner may read the descriptor although the DACL grants it nothing.
    handle = Open(L"C:\\dir", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    handle = Open(L"C:\\dir", FILE_LIST_DIRECTORY);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FileHandlesTest, ALinkOpensAsItselfAndNeverReachesItsTarget) {
    Store("dir/file.txt", L"O:BAG:SYD:(A;;FA;;;BA)");
    ASSERT_EQ(symlink("file.txt", (drive_ + "/dir/link").c_str()), 0);
    ASSERT_EQ(symlink("/etc/passwd", (drive_ + "/dir/outside").c_str()), 0);
    for (const wchar_t* name : {L"C:\\dir\\link", L"C:\\dir\\outside"}) {
        HANDLE handle = Open(name, READ_CONTROL);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        Bytes sd = Read(handle, DACL_SECURITY_INFORMATION);
        EXPECT_NE(ToSddl(sd.data(), kAll), L"D:(A;;FA;;;BA)");
        CloseHandle(handle);
    }
    // A link in the middle of the name must stay inside the drive.
    HANDLE handle = Open(L"C:\\dir\\outside\\x", READ_CONTROL);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
}

TEST_F(FileHandlesTest, NamesThatLeadNowhereFailWithWindowsCodes) {
    struct Case {
        const wchar_t* name;
        DWORD error;
    } cases[] = {
        {L"C:\\dir\\missing.txt", ERROR_FILE_NOT_FOUND},
        {L"C:\\missing\\file.txt", ERROR_PATH_NOT_FOUND},
        {L"C:\\..\\etc\\passwd", ERROR_ACCESS_DENIED},
        {L"C:\\dir\\..\\..\\x", ERROR_ACCESS_DENIED},
        {L"C:\\dir\\fi*e.txt", ERROR_INVALID_NAME},
        {L"relative.txt", ERROR_INVALID_NAME},
        {L"\\\\NOSUCHPC\\share\\file", ERROR_BAD_NETPATH},
        {L"", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        HANDLE handle = Open(c.name, READ_CONTROL);
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << std::wstring(c.name).size();
        EXPECT_EQ(GetLastError(), c.error) << std::string(c.name, c.name + std::wcslen(c.name));
    }
    EXPECT_EQ(CreateFileW(L"C:\\dir\\file.txt", READ_CONTROL, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(FileHandlesTest, AnUnreachableComputerIsABadNetPath) {
    winapi::machine::ComputerSpec faraway;
    faraway.name = L"FARAWAY";
    winapi::machine::AddComputer(faraway);
    winapi::machine::AddShare(L"FARAWAY", L"docs", machine_.MakeDirectory("far"));
    HANDLE handle = Open(L"\\\\FARAWAY\\docs", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    winapi::machine::SetComputerReachable(L"FARAWAY", false);
    EXPECT_EQ(Open(L"\\\\FARAWAY\\docs", READ_CONTROL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
}

TEST_F(FileHandlesTest, ADamagedAttributeIsReportedNotCrashedOn) {
    const BYTE damaged[] = {1, 0, 1, 0, 0, 0, 2, 0, 1, 0, 4, 0x80, 0xF0, 0xFF, 0, 0};
    ASSERT_EQ(setxattr((drive_ + "/dir/file.txt").c_str(), attribute_.c_str(), damaged, sizeof damaged, 0), 0);
    EXPECT_EQ(Open(L"C:\\dir\\file.txt", READ_CONTROL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

TEST_F(FileHandlesTest, NewFilesInheritFromTheirDirectory) {
    Store("dir", L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICIIO;GR;;;CO)(A;;FR;;;WD)");
    HANDLE handle = CreateFileW(L"C:\\dir\\new.txt", READ_CONTROL, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    Bytes sd = Read(handle, DACL_SECURITY_INFORMATION);
    CloseHandle(handle);
    EXPECT_TRUE(fs::is_regular_file(drive_ + "/dir/new.txt"));
    std::wstring dacl = ToSddl(sd.data(), kAll);
    EXPECT_NE(dacl.find(L"(A;ID;FA;;;BA)"), std::wstring::npos) << std::string(dacl.begin(), dacl.end());
    EXPECT_EQ(dacl.find(L"WD"), std::wstring::npos) << "a non-inheritable ACE reached the new file";
    EXPECT_EQ(dacl.find(L"CO"), std::wstring::npos) << "CREATOR OWNER must become the new owner";

    // It exists now: CREATE_NEW fails, OPEN_ALWAYS opens and says so.
    EXPECT_EQ(CreateFileW(L"C:\\dir\\NEW.txt", READ_CONTROL, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    handle = CreateFileW(L"C:\\dir\\new.txt", READ_CONTROL, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(handle);
    handle = CreateFileW(L"C:\\dir\\other.txt", READ_CONTROL, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(handle);
}

TEST_F(FileHandlesTest, ANewFileTakesTheCallersDescriptorOnTopOfInheritance) {
    Store("dir", L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)");
    PSECURITY_DESCRIPTOR given = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FR;;;AU)", SDDL_REVISION_1, &given,
                                                                     nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), given, FALSE};
    HANDLE handle = CreateFileW(L"C:\\dir\\mine.txt", READ_CONTROL, 0, &attributes, CREATE_NEW, 0, nullptr);
    LocalFree(given);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    Bytes sd = Read(handle, DACL_SECURITY_INFORMATION);
    CloseHandle(handle);
    EXPECT_EQ(ToSddl(sd.data(), kAll), L"D:PAI(A;;FR;;;AU)");
}

TEST_F(FileHandlesTest, ACreationThatFailsLeavesNoFileBehind) {
    winapi::machine::SetDiskFull(true);
    EXPECT_EQ(CreateFileW(L"C:\\dir\\full.txt", READ_CONTROL, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    winapi::machine::SetDiskFull(false);
    EXPECT_FALSE(fs::exists(drive_ + "/dir/full.txt"));

    Store("dir", L"O:BAG:SYD:(A;;FR;;;WD)");
    winapi::machine::SetToken(Token(L"S-1-5-21-1-2-3-1001", {L"S-1-1-0"}, {}));
    EXPECT_EQ(CreateFileW(L"C:\\dir\\denied.txt", READ_CONTROL, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(fs::exists(drive_ + "/dir/denied.txt"));
    EXPECT_EQ(CreateFileW(L"C:\\nodir\\x.txt", READ_CONTROL, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// Registry keys are secured handles too: the same sizing and selection.
TEST_F(FileHandlesTest, RegistryKeysAnswerThroughTheSameCall) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    Bytes dacl = Read(reinterpret_cast<HANDLE>(key), DACL_SECURITY_INFORMATION);
    std::wstring text = ToSddl(dacl.data(), kAll);
    EXPECT_EQ(text.rfind(L"D:", 0), 0u);
    EXPECT_EQ(text.find(L"O:"), std::wstring::npos);
    Bytes owner = Read(reinterpret_cast<HANDLE>(key), OWNER_SECURITY_INFORMATION);
    EXPECT_EQ(ToSddl(owner.data(), kAll).rfind(L"O:", 0), 0u);
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(reinterpret_cast<HANDLE>(key), SACL_SECURITY_INFORMATION, nullptr, 0,
                                         &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(FileHandlesTest, BadHandlesAndBuffersAreRefused) {
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(reinterpret_cast<HANDLE>(0x7ff0), DACL_SECURITY_INFORMATION, nullptr, 0,
                                         &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE handle = Open(L"C:\\dir\\file.txt", READ_CONTROL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, nullptr, 100, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
