// GetKernelObjectSecurity over any handle whose object carries a descriptor
// (files and directories, registry keys).
#include <cstring>

#include "winapi/security/descriptor_parts.h"
#include "winapi/base/handles.h"
#include "winapi/machine/dry_run.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

// The descriptor reduced to the parts `info` asks for, with only the
// control bits that describe those parts.
DWORD SelectParts(const Bytes& sd, SECURITY_INFORMATION info, Bytes* selected) {
    DescriptorParts parts;
    DWORD error = ParseSelfRelative(sd.data(), sd.size(), &parts);
    if (error != ERROR_SUCCESS) return error;
    SECURITY_DESCRIPTOR_CONTROL control = SE_SELF_RELATIVE;
    const SID* owner = nullptr;
    const SID* group = nullptr;
    const ACL* dacl = nullptr;
    const ACL* sacl = nullptr;
    if (info & OWNER_SECURITY_INFORMATION) {
        owner = parts.owner;
        control |= parts.control & SE_OWNER_DEFAULTED;
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        group = parts.group;
        control |= parts.control & SE_GROUP_DEFAULTED;
    }
    if (info & DACL_SECURITY_INFORMATION) {
        dacl = parts.dacl;
        control |= parts.control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_UNTRUSTED |
                                    SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED);
    }
    if (info & SACL_SECURITY_INFORMATION) {
        sacl = parts.sacl;
        control |= parts.control & (SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERIT_REQ |
                                    SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED);
    }
    BuildSelfRelative(control, owner, group, sacl, dacl, selected);
    return ERROR_SUCCESS;
}

DWORD ReadKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info, void* buffer, DWORD length,
                               LPDWORD needed) {
    if (!needed) return ERROR_NOACCESS;
    if (!buffer && length != 0) return ERROR_NOACCESS;
    auto* object = LookupHandleAs<SecuredHandle>(handle);
    if (!object) return ERROR_INVALID_HANDLE;
    if (DWORD injected = machine::InjectedFailure("GetKernelObjectSecurity")) return injected;

    // Buffers kept on the thread from read to read: a walk reads one
    // descriptor an object.
    thread_local Bytes whole, selected;
    DWORD error = object->ReadSecurity(info, &whole);
    if (error != ERROR_SUCCESS) return error;
    if (!object->plannedName.empty()) {
        machine::ApplyPlannedWrite(object->plannedName, static_cast<SE_OBJECT_TYPE>(object->plannedType), &whole);
    }
    error = SelectParts(whole, info, &selected);
    if (error != ERROR_SUCCESS) return error;

    *needed = static_cast<DWORD>(selected.size());
    if (length < selected.size()) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, selected.data(), selected.size());
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace winapi

BOOL GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation, void* pSecurityDescriptor,
                             DWORD nLength, LPDWORD lpnLengthNeeded) {
    return winapi::machine::BoolResult(winapi::machine::GuardedCall([&] {
        return winapi::ReadKernelObjectSecurity(Handle, RequestedInformation, pSecurityDescriptor, nLength,
                                                lpnLengthNeeded);
    }));
}
