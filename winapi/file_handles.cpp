// CreateFileW over the simulated computer's drives: a handle is an open
// descriptor of the object itself plus the access the check granted at open.
#include <sys/stat.h>

#include <string>

#include "winapi/access_check.h"
#include "winapi/file_paths.h"
#include "winapi/file_xattr.h"
#include "winapi/handles.h"
#include "winapi/inheritance.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

class FileHandle : public SecuredHandle {
public:
    FileHandle(UniqueFd object, std::string attribute, ACCESS_MASK granted)
        : object_(std::move(object)), attribute_(std::move(attribute)), granted_(granted) {}

    DWORD ReadSecurity(SECURITY_INFORMATION info, std::vector<BYTE>* sd) override {
        ACCESS_MASK needed = 0;
        if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                    LABEL_SECURITY_INFORMATION)) {
            needed |= READ_CONTROL;
        }
        if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
        if ((granted_ & needed) != needed) return ERROR_ACCESS_DENIED;
        // The mode may have changed since the open; the derived descriptor
        // follows it as Samba's would.
        struct stat status;
        if (::fstat(object_.Get(), &status) != 0) return ErrorFromErrno(errno);
        return ReadFileDescriptor(object_.Get(), status, attribute_, sd);
    }

private:
    UniqueFd object_;
    std::string attribute_;
    ACCESS_MASK granted_;
};

DWORD OpenFile(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
               HANDLE* handle) {
    if (!lpFileName) return ERROR_INVALID_PARAMETER;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        return ERROR_INVALID_PARAMETER;
    }
    if (DWORD injected = machine::InjectedFailure("CreateFileW", lpFileName)) return injected;

    // Names of links open the link itself: a descriptor is never reached
    // through a link's target.
    ResolvedPath resolved;
    machine::Drive drive;
    DWORD error = ResolveFileName(lpFileName, FinalLink::Keep, &resolved, &drive);
    if (error == ERROR_FILE_NOT_FOUND &&
        (dwCreationDisposition == CREATE_NEW || dwCreationDisposition == CREATE_ALWAYS ||
         dwCreationDisposition == OPEN_ALWAYS)) {
        // The simulated drives are inspected, not written to through handles.
        return ERROR_ACCESS_DENIED;
    }
    if (error != ERROR_SUCCESS) return error;
    if (dwCreationDisposition == CREATE_NEW) return ERROR_FILE_EXISTS;
    if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING) {
        return ERROR_ACCESS_DENIED;
    }

    bool backupSemantics = (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    if (S_ISDIR(resolved.status.st_mode) && !backupSemantics) return ERROR_ACCESS_DENIED;

    ACCESS_MASK granted = 0;
    if (dwDesiredAccess != 0) {
        Bytes sd;
        error = ReadFileDescriptor(resolved.object.Get(), resolved.status, drive.xattrName, &sd);
        if (error != ERROR_SUCCESS) return error;
        AccessToken token = machine::CurrentToken();
        error = CheckAccess(sd.data(), sd.size(), token, dwDesiredAccess, FileGenericMapping(), backupSemantics,
                            &granted);
        if (error != ERROR_SUCCESS) return error;
    }

    *handle = RegisterHandle(
        std::make_unique<FileHandle>(std::move(resolved.object), std::move(drive.xattrName), granted));
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace winapi

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = winapi::machine::GuardedCall([&] {
        return winapi::OpenFile(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes, &handle);
    });
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(dwCreationDisposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}
