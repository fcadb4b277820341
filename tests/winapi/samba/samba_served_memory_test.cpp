// Reads of one object in a row reuse what smbd would serve for it; a change
// from the Unix side must still show at the next read, also one that leaves
// the mode and owners as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/privileges.h"
#include "support/sddl_access.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/samba/samba_ids.h"
#include "winapi/samba/samba_server.h"
#include "winapi/win32.h"

namespace tavrik::test {
namespace {

TEST(SambaServedMemoryTest, AnAclChangedFromUnixWithTheSameModeShowsAtTheNextRead) {
    TempMachine machine;
    const std::string conf = machine.Folder() + "/smb.conf";
    std::ofstream(conf) << "[global]\n  netbios name = TESTPC\n[data]\n  path = " << machine.DriveC()
                        << "\n  vfs objects = acl_xattr\n";
    winapi::machine::SetSambaConfiguration(conf);
    const std::string path = machine.DriveC() + "/file";
    std::ofstream(path) << "data\n";
    ASSERT_TRUE(EnablePrivileges({L"SeRestorePrivilege", L"SeBackupPrivilege"}));
    ASSERT_EQ(WriteSddl(L"C:\\file", SE_FILE_OBJECT, L"D:PAI(A;;FR;;;S-1-22-1-30001)(A;;FA;;;S-1-22-1-0)",
                        DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    // Only a change time well behind the clock is trusted.
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    const std::wstring before = ReadSddl(L"C:\\file", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION);
    ASSERT_NE(before.find(L"S-1-22-1-30001"), std::wstring::npos);

    struct stat was {}, now {};
    ASSERT_EQ(::stat(path.c_str(), &was), 0);
    // -n keeps the mask, so the mode stays as it was.
    ProgramResult changed = RunProgram({"setfacl", "-n", "-m", "u:30001:rw-", path});
    ASSERT_EQ(changed.exitCode, 0) << changed.out;
    ASSERT_EQ(::stat(path.c_str(), &now), 0);
    ASSERT_EQ(now.st_mode, was.st_mode);
    ASSERT_EQ(now.st_uid, was.st_uid);

    const std::wstring after = ReadSddl(L"C:\\file", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION);
    EXPECT_NE(after, before);
    winapi::ForgetUnixIdMappings();  // drops every answer kept
    EXPECT_EQ(ReadSddl(L"C:\\file", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION), after);
}

}  // namespace
}  // namespace tavrik::test
