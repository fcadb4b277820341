// `tavrik machine ...` building a network from the command line, checked
// through the administration and Win32 views of the same database.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/inventory.h"
#include "winapi/machine/machine.h"
#include "winapi/win32.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

class MachineCommand : public ::testing::Test {
protected:
    CommandResult Machine(std::vector<std::string> args) {
        args.insert(args.begin(), "machine");
        return RunTavrik(args, machine.DatabasePath());
    }
    // Re-reads the database after the child process wrote it.
    void Reopen() {
        winapi::machine::CloseMachine();
        winapi::machine::OpenMachine(machine.DatabasePath());
    }
    TempMachine machine{L"WS01"};
};

TEST_F(MachineCommand, InitFillsAFreshDatabaseNamedByTheGlobalOption) {
    std::string db = machine.Folder() + "/lab.db";
    std::string driveC = machine.Folder() + "/lab-c";
    auto r = Machine({"--machine", db, "init", "--name", "LAB", "--drive-c", driveC});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::is_directory(driveC));
    auto shown = Machine({"--machine", db, "show"});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("Computer LAB (local)"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Spooler"), std::string::npos);
    // A second init must not stack a second computer on the first.
    auto again = Machine({"--machine", db, "init", "--name", "LAB2"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("already has computers"), std::string::npos) << again.err;
}

TEST_F(MachineCommand, ComputersDomainsAndAccountsReachTheWin32View) {
    ASSERT_EQ(Machine({"add-computer", "DC01", "--version", "6.1"}).exitCode, 0);
    ASSERT_EQ(Machine({"add-domain", "CORP", "--dns", "corp.example", "--controller", "DC01"}).exitCode, 0);
    auto account = Machine({"add-account", "CORP", "dave", "--rid", "1500"});
    ASSERT_EQ(account.exitCode, 0) << account.err;
    EXPECT_NE(account.out.find("-1500"), std::string::npos) << "prints the new SID: " << account.out;
    ASSERT_EQ(Machine({"add-computer", "OLD", "--unreachable"}).exitCode, 0);

    Reopen();
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid, domainSize = 32;
    wchar_t domain[32];
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountNameW(L"DC01", L"dave", sid, &sidSize, domain, &domainSize, &use));
    EXPECT_EQ(std::wstring(domain), L"CORP");
    EXPECT_FALSE(LookupAccountNameW(L"OLD", L"dave", sid, &sidSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST_F(MachineCommand, KeysServicesPrintersSharesAndDrives) {
    std::string data = machine.MakeDirectory("srv-data");
    ASSERT_EQ(Machine({"add-key", "MACHINE\\SOFTWARE\\Vendor\\App", "--sddl", "O:BAG:SYD:PAI(A;CI;KA;;;BA)"}).exitCode,
              0);
    ASSERT_EQ(Machine({"add-service", "Backup"}).exitCode, 0);
    ASSERT_EQ(Machine({"add-printer", "Floor 2"}).exitCode, 0);
    ASSERT_EQ(Machine({"add-share", "data", "--dir", data}).exitCode, 0);
    ASSERT_EQ(Machine({"map-drive", "d:", data}).exitCode, 0);
    ASSERT_EQ(Machine({"map-network-drive", "Z", "\\\\SRV\\data"}).exitCode, 0);

    Reopen();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VENDOR\\app", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(L"Floor 2", SE_PRINTER, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(sd);
    auto local = winapi::machine::LocalComputer();
    ASSERT_TRUE(winapi::machine::FindDrive(local, L'D').has_value());
    EXPECT_EQ(fs::path(winapi::machine::FindDrive(local, L'd')->directory), fs::canonical(data));
    ASSERT_TRUE(winapi::machine::FindFileShare(local, L"data").has_value());
    bool mapped = false;
    for (const auto& drive : winapi::machine::Drives()) mapped |= drive.letter == L'Z' && drive.remote == L"\\\\SRV\\data";
    EXPECT_TRUE(mapped);
}

TEST_F(MachineCommand, TokenSetByOneProcessIsTheTokenOfTheNext) {
    // Each --group takes one value: the user after it stays the user.
    ASSERT_EQ(Machine({"set-token", "--group", "Users", "alice", "--privilege", "SeBackupPrivilege"}).exitCode, 0);
    Reopen();
    winapi::AccessToken token = winapi::machine::CurrentToken();
    EXPECT_EQ(token.heldPrivileges, std::set<std::wstring>{L"SeBackupPrivilege"});
    wchar_t name[64], domain[64];
    DWORD nameSize = 64, domainSize = 64;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountSidW(nullptr, token.user.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(std::wstring(name), L"alice");
    ASSERT_EQ(token.groups.size(), 2u) << "Users and Everyone";
    auto shown = Machine({"show"});
    EXPECT_NE(shown.out.find("SeBackupPrivilege"), std::string::npos) << shown.out;
    ASSERT_EQ(Machine({"set-token", "--reset"}).exitCode, 0);
    Reopen();
    EXPECT_GT(winapi::machine::CurrentToken().heldPrivileges.size(), 1u) << "back to root's default";
}

TEST_F(MachineCommand, ComputerStateAndFaultsForLaterProcesses) {
    ASSERT_EQ(Machine({"add-computer", "SRV02"}).exitCode, 0);
    ASSERT_EQ(Machine({"set-computer", "SRV02", "--unreachable"}).exitCode, 0);
    ASSERT_EQ(Machine({"set-computer", "WS01", "--version", "4.0"}).exitCode, 0);
    ASSERT_EQ(Machine({"inject-fault", "GetNamedSecurityInfoW", "1450", "--object", "spooler", "--count", "1"}).exitCode,
              0);
    ASSERT_EQ(Machine({"disk-full", "on"}).exitCode, 0);
    EXPECT_NE(Machine({"set-computer", "SRV02", "--reachable", "--unreachable"}).exitCode, 0);

    Reopen();
    EXPECT_FALSE(winapi::machine::FindComputer(L"SRV02")->reachable);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(version.dwMajorVersion, 4u);
    EXPECT_TRUE(winapi::machine::DiskFullInjected());
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_EQ(GetNamedSecurityInfoW(L"Spooler", SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &sd),
              static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    ASSERT_EQ(Machine({"clear-faults"}).exitCode, 0);
    EXPECT_FALSE(winapi::machine::DiskFullInjected());
}

TEST_F(MachineCommand, SambaSharesWhosePathDependsOnTheClientAreNamedAndLeftOut) {
    const std::string conf = machine.Folder() + "/smb.conf";
    std::ofstream(conf) << "[global]\n  netbios name = FILES\n[data]\n  path = " << machine.Folder()
                        << "/%L\n[private]\n  path = /home/%U\n";
    std::string db = machine.Folder() + "/samba.db";
    auto r = Machine({"--machine", db, "init", "--from-samba", conf});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("[private] left out: its path /home/%U depends on %U"), std::string::npos) << r.err;
    auto shown = Machine({"--machine", db, "show"});
    EXPECT_NE(shown.out.find(machine.Folder() + "/FILES"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("/home/"), std::string::npos) << shown.out;
    auto again = Machine({"samba-config", conf});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.err.find("[private] left out"), std::string::npos) << again.err;
}

TEST_F(MachineCommand, MistakesGiveAMessageAndStatusOne) {
    auto badRoot = Machine({"add-key", "HKLM\\SOFTWARE"});
    EXPECT_EQ(badRoot.exitCode, 1);
    EXPECT_NE(badRoot.err.find("MACHINE"), std::string::npos) << badRoot.err;
    auto badSddl = Machine({"add-service", "X", "--sddl", "D:(nonsense"});
    EXPECT_EQ(badSddl.exitCode, 1);
    auto noComputer = Machine({"map-drive", "E", machine.Folder(), "--computer", "NOWHERE"});
    EXPECT_EQ(noComputer.exitCode, 1);
    EXPECT_NE(noComputer.err.find("NOWHERE"), std::string::npos);
    auto badLetter = Machine({"map-drive", "EE", machine.Folder()});
    EXPECT_EQ(badLetter.exitCode, 1);
    auto badPrivilege = Machine({"set-token", "alice", "--privilege", "SeNothing"});
    EXPECT_EQ(badPrivilege.exitCode, 1);
    EXPECT_NE(Machine({"frobnicate"}).exitCode, 0);
}

TEST_F(MachineCommand, EverySubcommandHasHelpWithAnExample) {
    for (const char* sub : {"init", "show", "add-computer", "add-domain", "add-account", "map-drive",
                            "map-network-drive", "add-key", "add-service", "add-printer", "add-share", "set-token",
                            "set-computer", "inject-fault", "clear-faults", "disk-full"}) {
        auto r = Machine({sub, "--help"});
        EXPECT_EQ(r.exitCode, 0) << sub;
        EXPECT_NE(r.out.find("Example"), std::string::npos) << sub << ":\n" << r.out;
    }
}

}  // namespace
}  // namespace tavrik::test
