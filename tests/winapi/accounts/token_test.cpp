// The process token, privileges, GetVersionExW and domain information.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/machine_test_helpers.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/process_token.h"

namespace {

using namespace machine_test;

class TokenTest : public ::testing::Test {
protected:
    tavrik::test::TempMachine machine{L"WS01"};
};

TEST_F(TokenTest, RootIsAnAdministratorHoldingEveryPrivilegeButEnablingNoneBeyondChangeNotify) {
    winapi::machine::ScopedCallerIdentity root(0, 0);
    winapi::AccessToken token = winapi::machine::CurrentToken();
    EXPECT_EQ(token.user, SidBytes(L"S-1-22-1-0"));
    EXPECT_TRUE(winapi::TokenHasSid(token, SidBytes(L"S-1-5-32-544").data()));
    EXPECT_TRUE(token.heldPrivileges.count(SE_SECURITY_NAME));
    EXPECT_FALSE(token.HasEnabled(SE_SECURITY_NAME));
    EXPECT_EQ(SwitchPrivilege(SE_SECURITY_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(winapi::machine::CurrentToken().HasEnabled(SE_SECURITY_NAME));
    EXPECT_EQ(SwitchPrivilege(SE_SECURITY_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(winapi::machine::CurrentToken().HasEnabled(SE_SECURITY_NAME));
}

TEST_F(TokenTest, OrdinaryUserHoldsOnlyChangeNotify) {
    winapi::machine::ScopedCallerIdentity user(4242, 4343);
    winapi::AccessToken token = winapi::machine::CurrentToken();
    EXPECT_EQ(token.user, SidBytes(L"S-1-22-1-4242"));
    EXPECT_TRUE(winapi::TokenHasSid(token, SidBytes(L"S-1-5-32-545").data()));
    EXPECT_TRUE(winapi::TokenHasSid(token, SidBytes(L"S-1-5-11").data()));
    EXPECT_FALSE(winapi::TokenHasSid(token, SidBytes(L"S-1-5-32-544").data()));
    EXPECT_EQ(token.heldPrivileges.size(), 1u);
    // Windows reports the missing privilege only through the last error.
    EXPECT_EQ(SwitchPrivilege(SE_SECURITY_NAME, true), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(winapi::machine::CurrentToken().HasEnabled(SE_SECURITY_NAME));
}

TEST_F(TokenTest, PrivilegeNamesAndLuids) {
    LUID luid{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"sebackupprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 17u);
    ASSERT_TRUE(LookupPrivilegeValueW(L"", SE_SECURITY_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 8u);
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, L"SeMadeUpPrivilege", &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_TRUE(LookupPrivilegeValueW(L"\\\\WS01", SE_RESTORE_NAME, &luid));
    EXPECT_FALSE(LookupPrivilegeValueW(L"\\\\ELSEWHERE", SE_RESTORE_NAME, &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST_F(TokenTest, AdjustReportsPreviousStateAndChecksTheHandle) {
    winapi::machine::ScopedCallerIdentity root(0, 0);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES change{};
    change.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &change.Privileges[0].Luid));
    change.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, sizeof previous, &previous, &length));
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Attributes, 0u) << "it was disabled before";
    ASSERT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(winapi::machine::CurrentToken().HasEnabled(SE_BACKUP_NAME));
    ASSERT_TRUE(CloseHandle(token));
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryOnly));
    EXPECT_FALSE(AdjustTokenPrivileges(queryOnly, FALSE, &change, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(queryOnly);
}

TEST_F(TokenTest, SetTokenPersistsButEnabledPrivilegesBelongToTheProcess) {
    std::wstring alice;
    winapi::machine::SetToken(winapi::machine::TokenSpec{L"alice", {L"Backup Operators"}, {L"SeBackupPrivilege"}});
    winapi::AccessToken token = winapi::machine::CurrentToken();
    EXPECT_TRUE(winapi::TokenHasSid(token, SidBytes(L"S-1-5-32-551").data()));
    EXPECT_TRUE(winapi::TokenHasSid(token, SidBytes(L"S-1-1-0").data())) << "every logon is in Everyone";
    EXPECT_EQ(SwitchPrivilege(SE_BACKUP_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(SwitchPrivilege(SE_RESTORE_NAME, true), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));

    // Another process (here: the database opened afresh) sees the same
    // token, with its privileges not yet enabled.
    std::string path = machine.DatabasePath();
    winapi::machine::CloseMachine();
    winapi::machine::OpenMachine(path);
    token = winapi::machine::CurrentToken();
    EXPECT_TRUE(token.heldPrivileges.count(SE_BACKUP_NAME));
    EXPECT_FALSE(token.HasEnabled(SE_BACKUP_NAME));
    wchar_t name[64], domain[64];
    DWORD nameSize = 64, domainSize = 64;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountSidW(nullptr, token.user.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(std::wstring(name), L"alice");

    winapi::machine::ResetToken();
    EXPECT_EQ(winapi::machine::CurrentToken().user, SidBytes((L"S-1-22-1-" + std::to_wstring(geteuid())).c_str()));
    EXPECT_THROW(winapi::machine::SetToken({L"nobody-like-this", {}, {}}), std::runtime_error);
    EXPECT_THROW(winapi::machine::SetToken({L"alice", {}, {L"SeFlyingPrivilege"}}), std::runtime_error);
}

TEST_F(TokenTest, VersionComesFromTheLocalComputer) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    winapi::machine::SetComputerVersion(L"WS01", 4, 0, VER_PLATFORM_WIN32_NT);
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, 4u);
    info.dwOSVersionInfoSize = sizeof info - 4;
    EXPECT_FALSE(GetVersionExW(&info));
}

TEST_F(TokenTest, DomainControllersAndRoles) {
    using namespace winapi::machine;
    AddComputer(ComputerNamed(L"DC01"));
    AddDomain(DomainNamed(L"CORP", L"corp.example", L"DC01"));
    AddComputer(ComputerNamed(L"SRV02", 3, L"CORP"));

    PDOMAIN_CONTROLLER_INFOW info = nullptr;
    ASSERT_EQ(DsGetDcNameW(nullptr, L"corp.example", nullptr, nullptr, DS_RETURN_FLAT_NAME, &info),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(std::wstring(info->DomainControllerName), L"\\\\DC01");
    EXPECT_EQ(std::wstring(info->DomainName), L"CORP");
    NetApiBufferFree(info);
    EXPECT_EQ(DsGetDcNameW(nullptr, L"NOPE", nullptr, nullptr, DS_RETURN_FLAT_NAME, &info),
              static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN));
    EXPECT_EQ(info, nullptr);
    SetComputerReachable(L"DC01", false);
    EXPECT_EQ(DsGetDcNameW(nullptr, L"CORP", nullptr, nullptr, DS_RETURN_FLAT_NAME, &info),
              static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN));

    PBYTE buffer = nullptr;
    ASSERT_EQ(DsRoleGetPrimaryDomainInformation(L"SRV02", DsRolePrimaryDomainInfoBasic, &buffer),
              static_cast<DWORD>(ERROR_SUCCESS));
    auto* basic = reinterpret_cast<PDSROLE_PRIMARY_DOMAIN_INFO_BASIC>(buffer);
    EXPECT_EQ(basic->MachineRole, DsRole_RoleMemberServer);
    EXPECT_EQ(std::wstring(basic->DomainNameFlat), L"CORP");
    DsRoleFreeMemory(buffer);
    EXPECT_EQ(DsRoleGetPrimaryDomainInformation(L"DC01", DsRolePrimaryDomainInfoBasic, &buffer),
              static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    SetComputerReachable(L"DC01", true);
    ASSERT_EQ(DsRoleGetPrimaryDomainInformation(L"\\\\dc01", DsRolePrimaryDomainInfoBasic, &buffer),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(reinterpret_cast<PDSROLE_PRIMARY_DOMAIN_INFO_BASIC>(buffer)->MachineRole,
              DsRole_RolePrimaryDomainController);
    DsRoleFreeMemory(buffer);
}

TEST_F(TokenTest, MappedNetworkDrivesAreEnumeratedOneAtATime) {
    winapi::machine::MapNetworkDrive(L"WS01", L'z', L"\\\\server7\\data");
    winapi::machine::MapNetworkDrive(L"WS01", L'Y', L"\\\\server7\\home");
    HANDLE enumeration = nullptr;
    ASSERT_EQ(WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_DISK, 0, nullptr, &enumeration),
              static_cast<DWORD>(NO_ERROR));
    std::vector<std::pair<std::wstring, std::wstring>> seen;
    alignas(8) BYTE buffer[16384];
    while (true) {
        DWORD count = 1, size = sizeof buffer;
        DWORD result = WNetEnumResourceW(enumeration, &count, buffer, &size);
        if (result != NO_ERROR) {
            EXPECT_EQ(result, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        ASSERT_EQ(count, 1u);
        auto* resource = reinterpret_cast<NETRESOURCEW*>(buffer);
        seen.emplace_back(resource->lpLocalName, resource->lpRemoteName);
    }
    EXPECT_EQ(WNetCloseEnum(enumeration), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(seen.size(), 2u) << "drive C: is local and not listed";
    EXPECT_EQ(seen[0].first, L"Y:");
    EXPECT_EQ(seen[1].second, L"\\\\server7\\data");

    ASSERT_EQ(WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_DISK, 0, nullptr, &enumeration),
              static_cast<DWORD>(NO_ERROR));
    DWORD count = 1, size = 8;
    EXPECT_EQ(WNetEnumResourceW(enumeration, &count, buffer, &size), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_GT(size, 8u);
    WNetCloseEnum(enumeration);
    EXPECT_EQ(WNetCloseEnum(enumeration), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
