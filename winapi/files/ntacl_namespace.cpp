#include "winapi/files/ntacl_namespace.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "winapi/files/file_paths.h"

namespace winapi {
namespace {

constexpr const char* kSecurityName = "security.NTACL";
constexpr const char* kUserName = "user.NTACL";

// The kernel lets a process write `security.*` attributes when it holds
// CAP_SYS_ADMIN in the user namespace that mounted the file system.
bool HoldsSysAdmin() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_SYS_ADMIN / 32].effective & (1u << (CAP_SYS_ADMIN % 32))) != 0;
}

// The initial user namespace maps every id onto itself; file systems of
// the host were mounted there, so its capabilities count for them.
bool InInitialUserNamespace() {
    FILE* map = std::fopen("/proc/self/uid_map", "re");
    if (!map) return true;  // no /proc: no user namespaces to be inside of either
    unsigned long inside = 0, outside = 0, count = 0;
    int fields = std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count);
    int more = std::fgetc(map);
    while (more == ' ' || more == '\n') more = std::fgetc(map);
    std::fclose(map);
    return fields == 3 && inside == 0 && outside == 0 && count == 4294967295UL && more == EOF;
}

// Inside another user namespace only the file system knows whose
// capability counts. Replacing an attribute that does not exist changes
// nothing, but the kernel checks the right to write the namespace first:
// EPERM says no, ENODATA says yes.
bool SecurityWritableHere(int directoryFd) {
    const char value = 0;
    if (::fsetxattr(directoryFd, "security.tavrik-namespace-check", &value, 1, XATTR_REPLACE) == 0) return true;
    return errno == ENODATA;
}

}  // namespace

std::string NtAclAttributeName(const std::string& directory) {
    if (!HoldsSysAdmin()) return kUserName;
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A file system that keeps no security attributes at all says so to
    // any reader of one.
    if (fd.Valid() && ::fgetxattr(fd.Get(), kSecurityName, nullptr, 0) < 0 &&
        (errno == ENOTSUP || errno == EOPNOTSUPP)) {
        return kUserName;
    }
    if (InInitialUserNamespace() || !fd.Valid()) return kSecurityName;
    return SecurityWritableHere(fd.Get()) ? kSecurityName : kUserName;
}

}  // namespace winapi
