// Choosing the attribute namespace of a drive writes nothing in the drive's
// directory (whose users could swap a link in under any name made there),
// and follows the process's right to write the security namespace.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_machine.h"
#include "winapi/files/ntacl_namespace.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"

namespace {

bool HoldsSysAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return ::syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_SYS_ADMIN)) != 0;
}

TEST(NtAclNamespace, FindingADriveChangesNothingInItsDirectory) {
    tavrik::test::TempMachine machine;
    std::string directory = machine.MakeDirectory("d");
    winapi::machine::MapDrive(winapi::machine::LocalComputer().name, L'D', directory);
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, directory.c_str(), IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MODIFY | IN_MOVED_TO),
              0);

    auto drive = winapi::machine::FindDrive(winapi::machine::LocalComputer(), L'D');
    ASSERT_TRUE(drive);
    EXPECT_EQ(drive->xattrName, HoldsSysAdmin() ? "security.NTACL" : "user.NTACL");
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "the directory was changed while its drive was found";
    close(watch);
}

TEST(NtAclNamespace, WithoutSysAdminTheUserNamespaceHoldsTheAttribute) {
    if (!HoldsSysAdmin()) GTEST_SKIP() << "needs CAP_SYS_ADMIN to drop it";
    tavrik::test::TempMachine machine;
    std::string directory = machine.MakeDirectory("d");
    ASSERT_EQ(winapi::NtAclAttributeName(directory), "security.NTACL");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) != 0) _exit(2);
        data[0].effective &= ~(1u << CAP_SYS_ADMIN);
        if (::syscall(SYS_capset, &header, data) != 0) _exit(2);
        _exit(winapi::NtAclAttributeName(directory) == "user.NTACL" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
