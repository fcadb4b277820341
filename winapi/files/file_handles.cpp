// CreateFileW over the simulated computer's drives: a handle is an open
// descriptor of the object itself plus the access the check granted at open.
// New files get the descriptor they inherit from their directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "winapi/security/access_check.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/files/step_objects.h"
#include "winapi/files/step_reads.h"
#include "winapi/files/step_write_locks.h"
#include "winapi/files/file_paths.h"
#include "winapi/files/file_security.h"
#include "winapi/files/file_xattr.h"
#include "winapi/base/handles.h"
#include "winapi/security/inheritance.h"
#include "winapi/security/recent_access_checks.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_cache.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/machine/dry_run.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

class FileHandle : public SecuredHandle {
public:
    FileHandle(UniqueFd object, machine::Drive drive, ACCESS_MASK granted)
        : object_(std::move(object)), drive_(std::move(drive)), granted_(granted) {}
    ~FileHandle() override {
        if (name_.empty()) return;
        try {
            where_.object = std::move(object_);
            KeepStepObject(name_, openedInStep_, std::move(where_), std::move(drive_));
        } catch (...) {
            // nothing kept: the next call resolves the name again
        }
    }

    // The name the handle was opened by and the rest of what it resolved
    // to: when the handle closes in the step it was opened in, the next
    // call of that step naming the object takes its descriptor
    // (step_objects.h).
    void KeepWhere(std::wstring name, ResolvedPath where) {
        openedInStep_ = CurrentStepMark();
        if (openedInStep_.step == 0) return;
        name_ = std::move(name);
        where_ = std::move(where);
    }

    // The descriptor read when the handle was opened, kept while the
    // object's change time says it is still current: callers ask for the
    // size first and then for the bytes, and neither should cost another
    // attribute read.
    void Remember(Bytes sd, const struct stat& status) {
        cached_ = std::move(sd);
        cachedChange_ = status.st_ctim;
        cachedInStep_ = CurrentStepMark();
    }

    DWORD ReadSecurity(SECURITY_INFORMATION info, std::vector<BYTE>* sd) override {
        ACCESS_MASK needed = 0;
        if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                    LABEL_SECURITY_INFORMATION)) {
            needed |= READ_CONTROL;
        }
        if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
        if ((granted_ & needed) != needed) return ERROR_ACCESS_DENIED;
        // Within the step the descriptor was read in, with nothing written
        // since, it stands as read (step_reads.h): no status call.
        if (!cached_.empty() && StillInStep(cachedInStep_)) {
            *sd = cached_;
            return ERROR_SUCCESS;
        }
        // The mode may have changed since the open; the derived descriptor
        // follows it as Samba's would.
        struct stat status;
        if (::fstat(object_.Get(), &status) != 0) return ErrorFromErrno(errno);
        if (!cached_.empty() && status.st_ctim.tv_sec == cachedChange_.tv_sec &&
            status.st_ctim.tv_nsec == cachedChange_.tv_nsec) {
            *sd = cached_;
            return ERROR_SUCCESS;
        }
        DWORD error = ReadFileDescriptor(object_.Get(), status, drive_, sd);
        if (error == ERROR_SUCCESS) Remember(*sd, status);
        return error;
    }

private:
    UniqueFd object_;
    machine::Drive drive_;
    ACCESS_MASK granted_;
    Bytes cached_;
    struct timespec cachedChange_ {};
    StepMark cachedInStep_;
    std::wstring name_;
    ResolvedPath where_;
    StepMark openedInStep_;
};

// The access the caller may use on a new object: what it asked for, with
// generic rights mapped (MAXIMUM_ALLOWED means everything).
ACCESS_MASK CreatorAccess(ACCESS_MASK desired) {
    if (desired & MAXIMUM_ALLOWED) return FILE_ALL_ACCESS;
    MapGenericMask(&desired, const_cast<GENERIC_MAPPING*>(&FileGenericMapping()));
    return desired & ~ACCESS_SYSTEM_SECURITY;
}

// Creates the file `lpFileName` names inside its existing directory, with
// the descriptor it inherits from that directory (and the parts of
// `explicitSd`, when given, on top). A file whose descriptor cannot be
// written is removed again, so no object without its descriptor remains.
DWORD CreateNewFile(LPCWSTR lpFileName, DWORD dwDesiredAccess, const void* explicitSd, HANDLE* handle) {
    FileName parsed;
    DWORD error = ParseFileName(lpFileName, false, &parsed);
    if (error != ERROR_SUCCESS) return error;
    if (parsed.components.empty() || parsed.trailingSeparator) return ERROR_ACCESS_DENIED;
    std::wstring leaf = parsed.components.back();
    if (leaf == L"." || leaf == L"..") return ERROR_ACCESS_DENIED;
    parsed.components.pop_back();
    std::string hostLeaf;
    if (!WideToHostName(leaf, &hostLeaf)) return ERROR_INVALID_NAME;

    ResolvedPath directory;
    error = ResolveParsedFileName(parsed, FinalLink::Follow, &directory);
    if (error == ERROR_FILE_NOT_FOUND) error = ERROR_PATH_NOT_FOUND;
    if (error != ERROR_SUCCESS) return error;
    if (!S_ISDIR(directory.status.st_mode)) return ERROR_PATH_NOT_FOUND;

    Bytes parentSd;
    error = ReadFileDescriptor(directory.object.Get(), directory.status, parsed.drive, &parentSd);
    if (error != ERROR_SUCCESS) return error;
    const auto shared = machine::SharedToken();
    const AccessToken& token = *shared;
    ACCESS_MASK granted = 0;
    error = CheckAccess(parentSd.data(), parentSd.size(), token, FILE_ADD_FILE, FileGenericMapping(), false, &granted);
    if (error != ERROR_SUCCESS) return error;

    const Bytes& group = token.groups.empty() ? token.user : token.groups.front();
    Bytes sd = CreateInheritedDescriptor(parentSd, false, token.user, group, FileGenericMapping());
    if (explicitSd) {
        DescriptorParts parts;
        // The caller's descriptor comes in absolute or self-relative form;
        // turn it into self-relative bytes first.
        DWORD length = 0;
        auto* given = const_cast<void*>(explicitSd);
        MakeSelfRelativeSD(given, nullptr, &length);
        Bytes relative(length);
        if (length == 0 || !MakeSelfRelativeSD(given, relative.data(), &length)) {
            DWORD revision = 0;
            SECURITY_DESCRIPTOR_CONTROL control = 0;
            if (!GetSecurityDescriptorControl(given, &control, &revision) || !(control & SE_SELF_RELATIVE)) {
                return ERROR_INVALID_SECURITY_DESCR;
            }
            relative.assign(static_cast<const BYTE*>(explicitSd),
                            static_cast<const BYTE*>(explicitSd) + GetSecurityDescriptorLength(given));
        }
        error = ParseSelfRelative(relative.data(), relative.size(), &parts);
        if (error != ERROR_SUCCESS) return error;
        SECURITY_INFORMATION info = 0;
        if (parts.owner) info |= OWNER_SECURITY_INFORMATION;
        if (parts.group) info |= GROUP_SECURITY_INFORMATION;
        if (parts.control & SE_DACL_PRESENT) {
            info |= DACL_SECURITY_INFORMATION | ((parts.control & SE_DACL_PROTECTED)
                                                      ? PROTECTED_DACL_SECURITY_INFORMATION
                                                      : UNPROTECTED_DACL_SECURITY_INFORMATION);
        }
        Bytes merged;
        error = ApplySecurityInformation(sd, &parentSd, false, info, const_cast<SID*>(parts.owner),
                                         const_cast<SID*>(parts.group), const_cast<ACL*>(parts.dacl), nullptr,
                                         FileGenericMapping(), &merged);
        if (error != ERROR_SUCCESS) return error;
        sd = std::move(merged);
    }

    int created = ::openat(directory.object.Get(), hostLeaf.c_str(),
                           O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (created < 0) return errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(errno);
    ::close(created);
    UniqueFd object(::openat(directory.object.Get(), hostLeaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    error = object.Valid() ? WriteFileDescriptor(object.Get(), parsed.drive, sd) : ErrorFromErrno(errno);
    if (error != ERROR_SUCCESS) {
        ::unlinkat(directory.object.Get(), hostLeaf.c_str(), 0);
        return error;
    }
    *handle = RegisterHandle(
        std::make_unique<FileHandle>(std::move(object), parsed.drive, CreatorAccess(dwDesiredAccess)));
    return ERROR_SUCCESS;
}

DWORD OpenFile(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
               const void* explicitSd, HANDLE* handle, bool* existed) {
    if (!lpFileName) return ERROR_INVALID_PARAMETER;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        return ERROR_INVALID_PARAMETER;
    }
    if (DWORD injected = machine::InjectedFailure("CreateFileW", lpFileName)) return injected;

    // Names of links open the link itself: a descriptor is never reached
    // through a link's target.
    ResolvedPath resolved;
    machine::Drive drive;
    const bool kept = TakeStepObject(lpFileName, FinalLink::Keep, &resolved, &drive);
    DWORD error = kept ? ERROR_SUCCESS : ResolveFileName(lpFileName, FinalLink::Keep, &resolved, &drive);
    if (error == ERROR_FILE_NOT_FOUND &&
        (dwCreationDisposition == CREATE_NEW || dwCreationDisposition == CREATE_ALWAYS ||
         dwCreationDisposition == OPEN_ALWAYS)) {
        return CreateNewFile(lpFileName, dwDesiredAccess, explicitSd, handle);
    }
    if (error != ERROR_SUCCESS) return error;
    *existed = true;
    if (dwCreationDisposition == CREATE_NEW) return ERROR_FILE_EXISTS;
    // Replacing an existing file's content is not part of this layer.
    if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING) {
        return ERROR_ACCESS_DENIED;
    }

    bool backupSemantics = (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    if (S_ISDIR(resolved.status.st_mode) && !backupSemantics) return ERROR_ACCESS_DENIED;

    ACCESS_MASK granted = 0;
    Bytes sd;
    if (dwDesiredAccess != 0) {
        // A walk whose steps change their objects reads each one under the
        // write lock the step's write will need (step_write_locks.h).
        if (CurrentStepMark().step != 0 && !resolved.lockedForWrite &&
            (S_ISREG(resolved.status.st_mode) || S_ISDIR(resolved.status.st_mode)) && !drive.samba &&
            LockFileAtStepRead()) {
            if (!kept) DropStepObject();  // the lock of an earlier step's file goes first
            resolved.lockedForWrite = TakeFileWriteLock(resolved.object.Get());
        }
        Bytes stored;
        error = ReadFileDescriptor(resolved.object.Get(), resolved.status, drive, &sd, &stored);
        if (error != ERROR_SUCCESS) {
            NoteOwedReadFailure(resolved, error);
            return error;
        }
        const bool plannable = InheritOwed(resolved, &sd) && !drive.samba;
        RememberStepRead(lpFileName, sd, plannable ? &stored : nullptr, &resolved.status);
        error = ThreadRecentAccessChecks().Check(sd, machine::SharedToken(), dwDesiredAccess, FileGenericMapping(),
                                                 backupSemantics, &granted);
        if (error != ERROR_SUCCESS) return error;
    }

    auto object = std::make_unique<FileHandle>(std::move(resolved.object), std::move(drive), granted);
    if (!sd.empty()) object->Remember(std::move(sd), resolved.status);
    object->KeepWhere(lpFileName, std::move(resolved));
    if (machine::DryRunActive()) {
        object->plannedName = lpFileName;
        object->plannedType = SE_FILE_OBJECT;
    }
    *handle = RegisterHandle(std::move(object));
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace winapi

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE /*hTemplateFile*/) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool existed = false;
    const void* explicitSd = lpSecurityAttributes ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
    if (lpFileName) winapi::machine::BeginNamedStep(lpFileName);
    DWORD error = winapi::machine::GuardedCall([&] {
        return winapi::OpenFile(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes, explicitSd,
                                &handle, &existed);
    });
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(existed && dwCreationDisposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}
