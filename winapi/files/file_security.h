// Descriptors of files and directories by name, for the named-object
// security calls (GetNamedSecurityInfoW, SetNamedSecurityInfoW).
#pragma once

#include <string>

#include "winapi/security/bytes.h"
#include "winapi/security.h"

namespace winapi {

// Reads the whole self-relative descriptor of a file or directory named in
// any of Windows' forms (C:\x, \\?\C:\x, \\server\share\x, \\?\UNC\...).
// The access check asks for what `info` needs. Returns a Win32 error code.
DWORD GetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, Bytes* sd);

// Writes the parts of `info`, keeping Windows' inheritance rules and
// propagating inheritable changes to the descendants. Returns a Win32 error.
DWORD SetFileSecurityByName(const std::wstring& name, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                            PACL sacl);

}  // namespace winapi
