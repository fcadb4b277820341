// GetKernelObjectSecurity over any handle whose object carries a descriptor
// (files and directories, registry keys).
#include <cstring>

#include "winapi/descriptor_parts.h"
#include "winapi/handles.h"
#include "winapi/machine/machine.h"
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
    *selected = BuildSelfRelative(control, owner, group, sacl, dacl);
    return ERROR_SUCCESS;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace
}  // namespace winapi

BOOL GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation, void* pSecurityDescriptor,
                             DWORD nLength, LPDWORD lpnLengthNeeded) {
    using namespace winapi;
    if (!lpnLengthNeeded) return Fail(ERROR_NOACCESS);
    if (!pSecurityDescriptor && nLength != 0) return Fail(ERROR_NOACCESS);
    auto* object = LookupHandleAs<SecuredHandle>(Handle);
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    if (DWORD injected = machine::InjectedFailure("GetKernelObjectSecurity")) return Fail(injected);

    Bytes whole;
    DWORD error = object->ReadSecurity(RequestedInformation, &whole);
    if (error != ERROR_SUCCESS) return Fail(error);
    Bytes selected;
    error = SelectParts(whole, RequestedInformation, &selected);
    if (error != ERROR_SUCCESS) return Fail(error);

    *lpnLengthNeeded = static_cast<DWORD>(selected.size());
    if (nLength < selected.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(pSecurityDescriptor, selected.data(), selected.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
