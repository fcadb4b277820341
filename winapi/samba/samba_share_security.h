// Share descriptors of the local Samba server, kept where smbd and
// `sharesec` keep them: share_info.tdb in its state directory, one record
// "SECDESC/<share in lower case>" holding the NDR-marshalled descriptor.
#pragma once

#include <optional>
#include <string>

#include "winapi/security/bytes.h"

namespace winapi::machine {

// The share's descriptor as smbd reads it (Everyone full control when the
// share has no record); nullopt when the local computer is no Samba server
// or smb.conf has no such share.
std::optional<Bytes> ReadSambaShareDescriptor(const std::wstring& share);
// Stores it for smbd; false when the share is not one of the server's.
// Throws std::runtime_error when share_info.tdb cannot be written.
bool WriteSambaShareDescriptor(const std::wstring& share, const Bytes& selfRelativeSd);

}  // namespace winapi::machine
