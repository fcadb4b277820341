// The network's database: what survives closing it, schema versions,
// damaged files, transactions, the default location and injected faults.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/machine_test_helpers.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/inventory.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_cache.h"
#include "winapi/sddl/sddl_context.h"

namespace {

namespace fs = std::filesystem;
using namespace machine_test;

int UserVersion(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr);
    int version = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return version;
}

void SetUserVersion(const std::string& path, int version) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(version)).c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

TEST(StoreTest, TheNetworkSurvivesClosingAndReopening) {
    tavrik::test::TempMachine machine(L"PERSIST");
    winapi::machine::AddKey(L"PERSIST", L"MACHINE\\SOFTWARE\\Kept");
    winapi::machine::AddShare(L"PERSIST", L"data", machine.MakeDirectory("data"));
    winapi::machine::CloseMachine();
    winapi::machine::OpenMachine(machine.DatabasePath());
    EXPECT_EQ(winapi::machine::LocalComputerInfo().name, L"PERSIST");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kept", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    auto local = winapi::machine::LocalComputer();
    auto share = winapi::machine::FindFileShare(local, L"DATA");
    ASSERT_TRUE(share.has_value());
    EXPECT_EQ(fs::path(share->directory), fs::canonical(machine.Folder() + "/data"));
    EXPECT_FALSE(winapi::machine::FindFileShare(local, L"IPC$").has_value()) << "a share without a directory";
    EXPECT_GT(UserVersion(machine.DatabasePath()), 0);
}

TEST(StoreTest, AnOlderDatabaseIsMigratedWhenOpened) {
    tavrik::test::TempMachine machine(L"OLDER");
    winapi::machine::AddKey(L"OLDER", L"MACHINE\\SOFTWARE\\FromBefore");
    winapi::machine::CloseMachine();
    {
        sqlite3* db = nullptr;
        sqlite3_open(machine.DatabasePath().c_str(), &db);
        ASSERT_EQ(sqlite3_exec(db, "DROP INDEX keys_by_parent_name; PRAGMA user_version = 1", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    winapi::machine::OpenMachine(machine.DatabasePath());
    EXPECT_GT(UserVersion(machine.DatabasePath()), 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\FromBefore", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    sqlite3* db = nullptr;
    sqlite3_open(machine.DatabasePath().c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE name = 'keys_by_parent_name'", -1, &statement,
                       nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 1);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

TEST(StoreTest, ADatabaseFromANewerProgramIsRefusedUntouched) {
    tavrik::test::TempMachine machine;
    winapi::machine::CloseMachine();
    SetUserVersion(machine.DatabasePath(), 999);
    EXPECT_THROW(winapi::machine::OpenMachine(machine.DatabasePath()), std::runtime_error);
    EXPECT_EQ(UserVersion(machine.DatabasePath()), 999);
}

TEST(StoreTest, AFileThatIsNoDatabaseGivesAnErrorNotACrash) {
    tavrik::test::TempMachine machine;
    std::string junk = machine.Folder() + "/junk.db";
    std::ofstream(junk) << std::string(4096, 'x');
    EXPECT_THROW(winapi::machine::OpenMachine(junk), std::runtime_error);
    // The Win32 calls report a failure instead of throwing through C.
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_NE(GetNamedSecurityInfoW(L"Spooler", SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(sd, nullptr);
}

TEST(StoreTest, AFailedAdministrationStepLeavesNothingBehind) {
    tavrik::test::TempMachine machine(L"ATOMIC");
    // The key path is created before the descriptor is known to be bad:
    // none of it may remain.
    EXPECT_THROW(winapi::machine::AddKey(L"ATOMIC", L"MACHINE\\SOFTWARE\\New\\Deep", L"D:(bogus"),
                 std::runtime_error);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_THROW(winapi::machine::InitializeDefaultComputer(L"SECOND", machine.DriveC()), std::runtime_error);
    EXPECT_THROW(winapi::machine::AddComputer(ComputerNamed(L"atomic")), std::runtime_error) << "names ignore case";
    EXPECT_THROW(winapi::machine::AddComputer(ComputerNamed(L"BAD\\NAME")), std::runtime_error);
    EXPECT_THROW(winapi::machine::AddComputer(ComputerNamed(L"ROLE", 9)), std::runtime_error);
    EXPECT_THROW(winapi::machine::AddDomain(DomainNamed(L"D", L"", L"NOSUCHDC")), std::runtime_error);
    EXPECT_THROW(winapi::machine::MapDrive(L"ATOMIC", L'1', machine.DriveC()), std::runtime_error);
    EXPECT_THROW(winapi::machine::MapNetworkDrive(L"ATOMIC", L'Z', L"server\\share"), std::runtime_error);
    EXPECT_THROW(winapi::machine::AddKey(L"ATOMIC", L"HKLM\\SOFTWARE"), std::runtime_error);
}

TEST(StoreTest, MakingAnotherComputerLocalMovesTheLocalRole) {
    tavrik::test::TempMachine machine(L"FIRST");
    auto request = ComputerNamed(L"SECOND");
    request.local = true;
    winapi::machine::AddComputer(request);
    EXPECT_EQ(winapi::machine::LocalComputer().name, L"SECOND");
    auto first = winapi::machine::FindComputer(L"\\\\first");
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(first->isLocal);
    EXPECT_FALSE(winapi::machine::FindComputer(L"THIRD").has_value());
    EXPECT_EQ(winapi::machine::FindComputer(L"")->name, L"SECOND");
}

TEST(StoreTest, SddlAliasesFollowTheOpenComputer) {
    tavrik::test::TempMachine machine(L"ALIASES");
    winapi::machine::AddComputer(ComputerNamed(L"DC01"));
    winapi::machine::AddDomain(DomainNamed(L"CORP", L"corp.example", L"DC01"));
    PSID sid = nullptr;
    DWORD sidSize = SECURITY_MAX_SID_SIZE, domainSize = 64;
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    wchar_t domain[64];
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountNameW(nullptr, L"Administrator", buffer, &sidSize, domain, &domainSize, &use));
    LocalBlock sd = DescriptorOf(L"O:LA");
    ASSERT_TRUE(sd);
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd.get(), &sid, &defaulted));
    EXPECT_EQ(SidText(sid), SidText(buffer));
    EXPECT_TRUE(winapi::CurrentSddlDomainContext().domainSid.empty()) << "ALIASES is in no domain";
}

// The same descriptor bytes converted again after each change of the local
// computer: the alias of its Administrator holds only while FIRST is local.
TEST(StoreTest, SddlTextFollowsTheLocalComputerFromOneConversionToTheNext) {
    std::wstring firstAdministrator;
    {
        tavrik::test::TempMachine machine(L"FIRST");
        LocalBlock sd = DescriptorOf(L"O:LA");
        ASSERT_TRUE(sd);
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted));
        firstAdministrator = SidText(owner);
        EXPECT_EQ(SddlOf(sd.get(), OWNER_SECURITY_INFORMATION), L"O:LA");

        auto second = ComputerNamed(L"SECOND");
        second.local = true;
        winapi::machine::AddComputer(second);
        EXPECT_EQ(SddlOf(sd.get(), OWNER_SECURITY_INFORMATION), L"O:" + firstAdministrator);
    }
    tavrik::test::TempMachine other(L"FIRST");
    LocalBlock sd = DescriptorOf((L"O:" + firstAdministrator).c_str());
    ASSERT_TRUE(sd);
    EXPECT_EQ(SddlOf(sd.get(), OWNER_SECURITY_INFORMATION), L"O:" + firstAdministrator)
        << "another database's FIRST has a SID of its own";
    LocalBlock own = DescriptorOf(L"O:LA");
    ASSERT_TRUE(own);
    EXPECT_EQ(SddlOf(own.get(), OWNER_SECURITY_INFORMATION), L"O:LA");
}

TEST(StoreTest, DefaultDatabaseIsCreatedWithADefaultComputerBesideItsDriveC) {
    tavrik::test::TempMachine scratch;
    winapi::machine::CloseMachine();
    std::string data = scratch.MakeDirectory("xdg");
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const char* oldMachine = std::getenv("TAVRIK_MACHINE");
    std::string savedXdg = oldXdg ? oldXdg : "", savedMachine = oldMachine ? oldMachine : "";
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    unsetenv("TAVRIK_MACHINE");
    winapi::machine::OpenMachine();
    EXPECT_EQ(winapi::machine::CurrentMachinePath(), data + "/tavrik/machine.db");
    auto drives = winapi::machine::Drives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(fs::path(drives[0].directory), fs::canonical(data + "/tavrik/C"));
    EXPECT_FALSE(winapi::machine::LocalComputerInfo().name.empty());
    if (oldXdg) setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
    if (oldMachine) setenv("TAVRIK_MACHINE", savedMachine.c_str(), 1);
}

TEST(StoreTest, ProcessesCreatingTheDefaultDatabaseTogetherFillItOnce) {
    tavrik::test::TempMachine scratch;
    winapi::machine::CloseMachine();
    std::string db = scratch.Folder() + "/shared/machine.db";
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("TAVRIK_MACHINE", db.c_str(), 1);
            int status = 0;
            try {
                winapi::machine::OpenMachine();
                status = winapi::machine::LocalComputerInfo().name.empty() ? 2 : 0;
                winapi::machine::CloseMachine();
            } catch (const std::exception& e) {
                fprintf(stderr, "child: %s\n", e.what());
                status = 1;
            }
            _exit(status);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }
    winapi::machine::OpenMachine(db);
    auto drives = winapi::machine::Drives();
    EXPECT_EQ(drives.size(), 1u) << "one default computer with one drive C:";
}

TEST(StoreTest, FaultsAreCountedPerObjectAndSharedThroughTheDatabase) {
    tavrik::test::TempMachine machine;
    winapi::machine::InjectFault("GetNamedSecurityInfoW", ERROR_NOT_ENOUGH_MEMORY, 2);
    winapi::machine::InjectFault("GetNamedSecurityInfoW", ERROR_ACCESS_DENIED, -1, L"w32time");
    EXPECT_EQ(winapi::machine::InjectedFailure("GetNamedSecurityInfoW", L"W32TIME"),
              static_cast<DWORD>(ERROR_ACCESS_DENIED))
        << "a fault for the object wins over one for every object";
    EXPECT_EQ(winapi::machine::InjectedFailure("GetNamedSecurityInfoW", L"Spooler"),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    // Another process sees the count where this one left it.
    winapi::machine::CloseMachine();
    winapi::machine::OpenMachine(machine.DatabasePath());
    EXPECT_EQ(winapi::machine::InjectedFailure("GetNamedSecurityInfoW", L"Spooler"),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(winapi::machine::InjectedFailure("GetNamedSecurityInfoW", L"Spooler"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(winapi::machine::InjectedFailure("GetNamedSecurityInfoW", L"w32time"),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(winapi::machine::InjectedFailure("SetNamedSecurityInfoW", L"w32time"), static_cast<DWORD>(ERROR_SUCCESS));

    EXPECT_FALSE(winapi::machine::DiskFullInjected());
    winapi::machine::SetDiskFull(true);
    EXPECT_TRUE(winapi::machine::DiskFullInjected());
    winapi::machine::ClearFaults();
    EXPECT_FALSE(winapi::machine::DiskFullInjected());
    EXPECT_EQ(winapi::machine::InjectedFailure("GetNamedSecurityInfoW", L"w32time"), static_cast<DWORD>(ERROR_SUCCESS));
}

// The rows every call reads are kept in memory; a write by another
// connection (another tavrik process) must still reach the next call.
TEST(StoreTest, WritesByAnotherConnectionReachTheNextCall) {
    tavrik::test::TempMachine machine;
    std::string elsewhere = machine.MakeDirectory("elsewhere");
    std::ofstream(elsewhere + "/only-here.txt") << "x";
    auto local = winapi::machine::LocalComputer();
    ASSERT_TRUE(winapi::machine::FindDrive(local, L'C').has_value());
    EXPECT_FALSE(winapi::machine::FindDrive(local, L'E').has_value());
    EXPECT_EQ(winapi::machine::InjectedFailure("SetNamedSecurityInfoW"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(winapi::machine::DiskFullInjected());

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(machine.DatabasePath().c_str(), &other), SQLITE_OK);
    std::string sql = "INSERT INTO drives (computer_id, letter, directory, remote) VALUES (" +
                      std::to_string(local.id) + ", 'E', '" + fs::canonical(elsewhere).string() +
                      "', '');"
                      "INSERT INTO faults (call, error, remaining, object_key) VALUES ('SetNamedSecurityInfoW', 5, -1, '');"
                      "INSERT INTO settings (name, value) VALUES ('disk_full', '1');";
    ASSERT_EQ(sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);

    auto drive = winapi::machine::FindDrive(local, L'E');
    ASSERT_TRUE(drive.has_value());
    EXPECT_EQ(fs::path(drive->directory), fs::canonical(elsewhere));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(GetNamedSecurityInfoW(L"E:\\only-here.txt", SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(descriptor);
    EXPECT_EQ(winapi::machine::InjectedFailure("SetNamedSecurityInfoW"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(winapi::machine::DiskFullInjected());

    ASSERT_EQ(sqlite3_exec(other, "DELETE FROM drives WHERE letter = 'E'; DELETE FROM faults;", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    EXPECT_FALSE(winapi::machine::FindDrive(local, L'E').has_value());
    EXPECT_EQ(GetNamedSecurityInfoW(L"E:\\only-here.txt", SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(winapi::machine::InjectedFailure("SetNamedSecurityInfoW"), static_cast<DWORD>(ERROR_SUCCESS));
}

// While a walk runs, the calls made for one entry share one look at the
// database; a commit by another connection still reaches the walk's next
// entry, and every call once the walk is over.
TEST(StoreTest, WritesByAnotherConnectionReachTheNextEntryOfAWalk) {
    tavrik::test::TempMachine machine;
    const std::string drive = machine.DriveC();
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) std::ofstream(drive + "/" + name) << "x";
    std::wstring file = L"C:\\a.txt";
    auto writeOwner = [&] {
        PSECURITY_DESCRIPTOR sd = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1, &sd, nullptr));
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        GetSecurityDescriptorOwner(sd, &owner, &defaulted);
        DWORD error = SetNamedSecurityInfoW(file.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr,
                                            nullptr, nullptr);
        LocalFree(sd);
        return error;
    };
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(machine.DatabasePath().c_str(), &other), SQLITE_OK);
    auto exec = [&](const char* sql) { ASSERT_EQ(sqlite3_exec(other, sql, nullptr, nullptr, nullptr), SQLITE_OK); };

    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(L"C:\\*.txt", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(writeOwner(), static_cast<DWORD>(ERROR_SUCCESS));
    exec("INSERT INTO faults (call, error, remaining, object_key) VALUES ('SetNamedSecurityInfoW', 5, -1, '');");
    ASSERT_TRUE(FindNextFileW(search, &data));
    EXPECT_EQ(writeOwner(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    exec("DELETE FROM faults;");
    ASSERT_TRUE(FindNextFileW(search, &data));
    EXPECT_EQ(writeOwner(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(FindClose(search));

    exec("INSERT INTO faults (call, error, remaining, object_key) VALUES ('SetNamedSecurityInfoW', 5, -1, '');");
    EXPECT_EQ(writeOwner(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    exec("DELETE FROM faults;");
    EXPECT_EQ(writeOwner(), static_cast<DWORD>(ERROR_SUCCESS));
    sqlite3_close(other);
}

// Names read from a file (a restore) mark the steps by the object they
// name: the calls for one object share one look, the next object sees
// another connection's commit.
TEST(StoreTest, WritesByAnotherConnectionReachTheNextNamedObject) {
    tavrik::test::TempMachine machine;
    const std::string drive = machine.DriveC();
    for (const char* name : {"a.txt", "b.txt"}) std::ofstream(drive + "/" + name) << "x";
    auto writeOwner = [](std::wstring file) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1, &sd, nullptr));
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        GetSecurityDescriptorOwner(sd, &owner, &defaulted);
        DWORD error = SetNamedSecurityInfoW(file.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr,
                                            nullptr, nullptr);
        LocalFree(sd);
        return error;
    };
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(machine.DatabasePath().c_str(), &other), SQLITE_OK);
    auto exec = [&](const char* sql) { ASSERT_EQ(sqlite3_exec(other, sql, nullptr, nullptr, nullptr), SQLITE_OK); };

    winapi::machine::SetNamedSteps(true);
    EXPECT_EQ(writeOwner(L"C:\\a.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    exec("INSERT INTO faults (call, error, remaining, object_key) VALUES ('SetNamedSecurityInfoW', 5, -1, '');");
    EXPECT_EQ(writeOwner(L"C:\\a.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(writeOwner(L"C:\\b.txt"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    exec("DELETE FROM faults;");
    EXPECT_EQ(writeOwner(L"C:\\a.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    winapi::machine::SetNamedSteps(false);
    exec("INSERT INTO faults (call, error, remaining, object_key) VALUES ('SetNamedSecurityInfoW', 5, -1, '');");
    EXPECT_EQ(writeOwner(L"C:\\a.txt"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sqlite3_close(other);
}

// Within one call the rows are looked at once, but a change this process
// makes to them (here straight through its connection, with no cache
// dropped) is read back by the next question of the same call.
TEST(StoreTest, ThisProcessesOwnChangesReachTheSameCall) {
    tavrik::test::TempMachine machine;
    const std::string elsewhere = fs::canonical(machine.MakeDirectory("elsewhere")).string();
    winapi::machine::NetworkCallScope call;
    const auto local = winapi::machine::LocalComputer();
    EXPECT_FALSE(winapi::machine::FindDrive(local, L'E').has_value());
    EXPECT_EQ(winapi::machine::InjectedFailure("SetNamedSecurityInfoW"), static_cast<DWORD>(ERROR_SUCCESS));
    {
        std::lock_guard guard(winapi::machine::MachineLock());
        auto& store = winapi::machine::CurrentStore();
        store.Prepare("INSERT INTO drives (computer_id, letter, directory, remote) VALUES (?1, 'E', ?2, '')")
            .Bind(1, local.id)
            .Bind(2, elsewhere)
            .Run();
        store.Prepare("INSERT INTO faults (call, error, remaining, object_key) VALUES ('SetNamedSecurityInfoW', 5, -1, '')")
            .Run();
    }
    auto drive = winapi::machine::FindDrive(local, L'E');
    ASSERT_TRUE(drive.has_value());
    EXPECT_EQ(drive->directory, elsewhere);
    EXPECT_EQ(winapi::machine::InjectedFailure("SetNamedSecurityInfoW"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(StoreTest, InventoryDescribesTheLocalComputer) {
    tavrik::test::TempMachine machine(L"INV");
    winapi::machine::AddComputer(ComputerNamed(L"DC01"));
    winapi::machine::AddDomain(DomainNamed(L"CORP", L"", L"DC01"));
    auto info = winapi::machine::LocalComputerInfo();
    EXPECT_EQ(info.domain, L"WORKGROUP");
    auto services = winapi::machine::Services();
    ASSERT_FALSE(services.empty());
    bool spooler = false;
    for (const auto& s : services) spooler |= s.name == L"Spooler";
    EXPECT_TRUE(spooler);
    bool alice = false, admins = false, domainAccount = false;
    for (const auto& a : winapi::machine::Accounts()) {
        alice |= a.name == L"alice" && a.domain == L"INV" && !a.isGroup && a.local;
        admins |= a.name == L"Administrators" && a.isGroup;
        domainAccount |= a.domain == L"CORP";
    }
    EXPECT_TRUE(alice);
    EXPECT_TRUE(admins);
    EXPECT_FALSE(domainAccount) << "INV is not a member of CORP";
}

}  // namespace
