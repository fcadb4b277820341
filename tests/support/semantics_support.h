// Descriptors, ACLs and SIDs written as SDDL for the tests of the security
// semantics (access check, inheritance, NTACL), so that expectations read
// the way Windows lists the same objects.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "winapi/security/bytes.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/win32.h"

namespace tavrik::test {

struct LocalDeleter {
    void operator()(void* p) const { LocalFree(p); }
};

inline winapi::Bytes SdFromSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, &size)) {
        throw std::runtime_error("bad SDDL in test");
    }
    std::unique_ptr<void, LocalDeleter> owner(sd);
    const BYTE* p = static_cast<const BYTE*>(sd);
    return winapi::Bytes(p, p + size);
}

inline std::wstring SddlOf(const winapi::Bytes& sd) {
    LPWSTR text = nullptr;
    const SECURITY_INFORMATION all =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (sd.empty() || !ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<BYTE*>(sd.data()),
                                                                           SDDL_REVISION_1, all, &text, nullptr)) {
        return L"<unconvertible>";
    }
    std::unique_ptr<void, LocalDeleter> owner(text);
    return std::wstring(text);
}

inline winapi::Bytes SidFromText(const std::wstring& text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text.c_str(), &sid)) throw std::runtime_error("bad SID in test");
    std::unique_ptr<void, LocalDeleter> owner(sid);
    const BYTE* p = static_cast<const BYTE*>(sid);
    return winapi::Bytes(p, p + GetLengthSid(sid));
}

// The DACL of an SDDL descriptor as standalone ACL bytes, e.g. for a
// caller-supplied ACL; empty for a NULL or absent DACL.
inline winapi::Bytes DaclFromSddl(const std::wstring& sddl) {
    const winapi::Bytes sd = SdFromSddl(sddl);
    winapi::DescriptorParts parts;
    if (winapi::ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) throw std::runtime_error("bad SD");
    return winapi::AclBytes(parts.dacl);
}

inline winapi::Bytes SaclFromSddl(const std::wstring& sddl) {
    const winapi::Bytes sd = SdFromSddl(sddl);
    winapi::DescriptorParts parts;
    if (winapi::ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) throw std::runtime_error("bad SD");
    return winapi::AclBytes(parts.sacl);
}

inline PACL AsAcl(winapi::Bytes& acl) { return acl.empty() ? nullptr : reinterpret_cast<PACL>(acl.data()); }
inline PSID AsSid(winapi::Bytes& sid) { return sid.empty() ? nullptr : static_cast<PSID>(sid.data()); }

}  // namespace tavrik::test
