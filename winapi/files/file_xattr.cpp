#include "winapi/files/file_xattr.h"

#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>

#include "winapi/files/file_paths.h"
#include "winapi/machine/machine.h"
#include "winapi/files/ntacl.h"
#include "winapi/files/recent_ntacls.h"
#include "winapi/files/step_reads.h"
#include "winapi/samba/samba_ntacl.h"
#include "winapi/win32.h"

namespace winapi {

namespace {

constexpr size_t kFirstReadSize = 4096;
// The largest value a Linux extended attribute can hold.
constexpr size_t kMaxAttributeSize = 65536;

// The buffer reads land in, kept from one read to the next: sizing and
// zero-filling a fresh one cost more than the read itself.
Bytes& ReadBuffer(size_t size) {
    thread_local Bytes buffer;
    if (buffer.size() < size) buffer.resize(size);
    return buffer;
}

// Whether the file system holding `fd` has no block left for anyone.
bool FileSystemFull(int fd) {
    struct statvfs space;
    if (::fstatvfs(fd, &space) != 0) return true;
    return space.f_bavail == 0 || space.f_favail == 0;
}

// The attribute calls on one object. A descriptor opened for reading (a
// regular file or a directory, see OpenReadableEntry) takes them itself;
// the kernel refuses an O_PATH descriptor with EBADF, and such an object
// (a link, a device, or one that could not be opened for reading) is
// reached through /proc/self/fd/N, which names the object itself, a link
// rather than its target. The first EBADF settles the way for the object.
class AttributeAccess {
public:
    explicit AttributeAccess(int fd) : fd_(fd) {}

    ssize_t Get(const std::string& attribute, void* value, size_t size) {
        if (path_.empty()) {
            ssize_t got = ::fgetxattr(fd_, attribute.c_str(), value, size);
            if (got >= 0 || errno != EBADF) return got;
            path_ = DescriptorPath(fd_);
        }
        return ::getxattr(path_.c_str(), attribute.c_str(), value, size);
    }

    int Set(const std::string& attribute, const void* value, size_t size) {
        if (path_.empty()) {
            if (::fsetxattr(fd_, attribute.c_str(), value, size, 0) == 0) return 0;
            if (errno != EBADF) return -1;
            path_ = DescriptorPath(fd_);
        }
        return ::setxattr(path_.c_str(), attribute.c_str(), value, size, 0);
    }

    int Remove(const std::string& attribute) {
        if (path_.empty()) {
            if (::fremovexattr(fd_, attribute.c_str()) == 0) return 0;
            if (errno != EBADF) return -1;
            path_ = DescriptorPath(fd_);
        }
        return ::removexattr(path_.c_str(), attribute.c_str());
    }

private:
    int fd_;
    std::string path_;
};

}  // namespace

DWORD ReadNtAclAttribute(int objectFd, const std::string& attribute, Bytes* blob, bool* present) {
    *present = false;
    blob->clear();
    AttributeAccess access(objectFd);
    // Most descriptors fit the first buffer, so a read is one call; a larger
    // one costs a second call with the size the kernel reports.
    size_t size = kFirstReadSize;
    for (int attempt = 0; attempt < 4; ++attempt) {
        Bytes& buffer = ReadBuffer(size);
        ssize_t got = access.Get(attribute, buffer.data(), buffer.size());
        if (got >= 0) {
            blob->assign(buffer.begin(), buffer.begin() + got);
            *present = true;
            return ERROR_SUCCESS;
        }
        int error = errno;
        if (error == ENODATA || error == ENOTSUP) {
            blob->clear();
            return ERROR_SUCCESS;
        }
        if (error != ERANGE) {
            blob->clear();
            if (error == ENOENT || error == EBADF) return ERROR_FILE_NOT_FOUND;
            if (error == EIO) return ERROR_READ_FAULT;
            return ErrorFromErrno(error);
        }
        ssize_t needed = access.Get(attribute, nullptr, 0);
        if (needed < 0) continue;  // changed under us; try again
        size = std::max<size_t>(static_cast<size_t>(needed), 1);
        if (size > kMaxAttributeSize) size = kMaxAttributeSize;
    }
    blob->clear();
    return ERROR_READ_FAULT;
}

DWORD ReadFileDescriptor(int objectFd, const struct stat& status, const std::string& attribute, Bytes* sd,
                         Bytes* stored) {
    Bytes local;
    Bytes& blob = stored ? *stored : local;
    bool present = false;
    DWORD error = ReadNtAclAttribute(objectFd, attribute, &blob, &present);
    if (error != ERROR_SUCCESS) return error;
    if (!present) {
        *sd = ModeDerivedDescriptor(status.st_mode, status.st_uid, status.st_gid, S_ISDIR(status.st_mode));
        return ERROR_SUCCESS;
    }
    return ThreadRecentNtAcls().Decode(blob, sd);
}

DWORD WriteFileDescriptor(int objectFd, const std::string& attribute, const Bytes& sd, const Bytes* stored) {
    ForgetStepReads();
    if (machine::DiskFullInjected()) return ERROR_DISK_FULL;
    // Writing the bytes the attribute already holds would change nothing
    // but the object's change time.
    if (stored && IsEncodedNtAcl(*stored, sd)) return ERROR_SUCCESS;
    // One buffer for the attribute's bytes, kept from write to write.
    thread_local Bytes blob;
    EncodeNtAcl(sd, &blob);
    if (blob.empty()) return ERROR_INVALID_SECURITY_DESCR;
    if (AttributeAccess(objectFd).Set(attribute, blob.data(), blob.size()) == 0) return ERROR_SUCCESS;
    switch (int error = errno) {
        case ENOSPC:
            // ext4 says ENOSPC when one file's attributes outgrow the room
            // it keeps for them (about 4 KB), with the disk far from full:
            // that is a descriptor too large for this file system.
            if (!FileSystemFull(objectFd)) return ERROR_ALLOTTED_SPACE_EXCEEDED;
            return ERROR_DISK_FULL;
        case EDQUOT: return ERROR_DISK_FULL;
        case E2BIG:
        case ERANGE: return ERROR_ALLOTTED_SPACE_EXCEEDED;
        case ENOENT:
        case EBADF: return ERROR_FILE_NOT_FOUND;
        case EIO: return ERROR_WRITE_FAULT;
        default: return ErrorFromErrno(error);
    }
}

DWORD RemoveFileDescriptor(int objectFd, const std::string& attribute) {
    ForgetStepReads();
    if (AttributeAccess(objectFd).Remove(attribute) == 0) return ERROR_SUCCESS;
    switch (int error = errno) {
        case ENODATA: return ERROR_SUCCESS;  // gone already: the object reads as wanted
        case ENOENT:
        case EBADF: return ERROR_FILE_NOT_FOUND;
        case EIO: return ERROR_WRITE_FAULT;
        default: return ErrorFromErrno(error);
    }
}

DWORD ReadFileDescriptor(int objectFd, const struct stat& status, const machine::Drive& drive, Bytes* sd,
                         Bytes* stored) {
    if (drive.samba) {
        if (stored) stored->clear();
        return ReadDescriptorAsSmbd(objectFd, status, drive.xattrName, *drive.samba, sd);
    }
    return ReadFileDescriptor(objectFd, status, drive.xattrName, sd, stored);
}

DWORD ReadFileDescriptorAskingStatus(int objectFd, const machine::Drive& drive, Bytes* sd) {
    if (!drive.samba) {
        Bytes blob;
        bool present = false;
        DWORD error = ReadNtAclAttribute(objectFd, drive.xattrName, &blob, &present);
        if (error != ERROR_SUCCESS) return error;
        if (present) return ThreadRecentNtAcls().Decode(blob, sd);
    }
    struct stat status;
    if (::fstat(objectFd, &status) != 0) return ErrorFromErrno(errno);
    return ReadFileDescriptor(objectFd, status, drive, sd);
}

DWORD WriteFileDescriptor(int objectFd, const machine::Drive& drive, const Bytes& sd, const Bytes* stored,
                          const struct stat* status) {
    ForgetStepReads();
    if (drive.samba) return WriteDescriptorAsSmbd(objectFd, drive.xattrName, *drive.samba, sd, status);
    return WriteFileDescriptor(objectFd, drive.xattrName, sd, stored);
}

}  // namespace winapi
