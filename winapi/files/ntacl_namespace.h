// Which extended-attribute namespace holds the NTACL attribute of a drive:
// `security` where the process may write it, else `user`.
#pragma once

#include <string>

namespace winapi {

// "security.NTACL" or "user.NTACL" for the host directory `directory`.
// Decided without creating or changing anything in the directory (its
// users may race any file we make there): from the process's capabilities,
// and only where those cannot tell, from an attribute write that the
// kernel refuses before it could change anything.
std::string NtAclAttributeName(const std::string& directory);

}  // namespace winapi
