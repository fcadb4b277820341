// Arbitrary attribute bytes into the NTACL reader. Whatever it accepts must
// be a descriptor the rest of the layer can parse, survive a write and read
// back unchanged, and go through the access check and inheritance safely.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "winapi/security/access_check.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/errors.h"
#include "winapi/security/inheritance.h"
#include "winapi/files/ntacl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized copy, so any read past the end is caught.
    std::unique_ptr<BYTE[]> copy(new BYTE[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);

    winapi::Bytes sd;
    if (winapi::DecodeNtAcl(copy.get(), size, &sd) != ERROR_SUCCESS) return 0;

    winapi::DescriptorParts parts;
    if (winapi::ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) std::abort();

    const winapi::Bytes blob = winapi::EncodeNtAcl(sd);
    winapi::Bytes again;
    if (winapi::DecodeNtAcl(blob.data(), blob.size(), &again) != ERROR_SUCCESS || again != sd) std::abort();

    winapi::AccessToken token;
    token.user = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};  // Everyone as the user
    token.enabledPrivileges = {SE_SECURITY_NAME};
    ACCESS_MASK granted = 0;
    winapi::CheckAccess(sd.data(), sd.size(), token, MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY,
                        winapi::FileGenericMapping(), false, &granted);

    const winapi::Bytes owner = token.user;
    const winapi::Bytes child = winapi::CreateInheritedDescriptor(sd, true, owner, owner, winapi::FileGenericMapping());
    if (!child.empty() && winapi::ParseSelfRelative(child.data(), child.size(), &parts) != ERROR_SUCCESS) std::abort();
    winapi::Bytes reinherited;
    if (winapi::Reinherit(child, sd, true, winapi::FileGenericMapping(), &reinherited) &&
        winapi::ParseSelfRelative(reinherited.data(), reinherited.size(), &parts) != ERROR_SUCCESS) {
        std::abort();
    }
    return 0;
}
