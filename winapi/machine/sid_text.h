// SID strings (S-1-5-21-...) to bytes and back, for the database, which
// keeps SIDs as text, and for names given on the command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "winapi/security/bytes.h"

namespace winapi::machine {

// Bytes of the SID written as "S-1-..." (any case of the S); nullopt when
// the text is not a well-formed SID.
std::optional<Bytes> ParseSidString(std::wstring_view text);
// "S-1-..." of SID bytes; empty when the bytes are not a complete SID.
std::wstring FormatSid(const BYTE* sid, size_t size);
inline std::wstring FormatSid(const Bytes& sid) { return FormatSid(sid.data(), sid.size()); }

// Length of the SID at `sid` when `size` bytes hold a complete one, else 0.
size_t ValidSidLength(const BYTE* sid, size_t size);

// A new random machine or domain SID, S-1-5-21-a-b-c.
std::wstring GenerateAccountDomainSid();

// `domainSid` ("S-1-5-21-a-b-c") followed by one more sub-authority.
std::wstring AppendRid(const std::wstring& domainSid, DWORD rid);
// Splits "S-...-rid" into its domain part and rid; false when there is no rid.
bool SplitRid(const std::wstring& sid, std::wstring* domainSid, DWORD* rid);

}  // namespace winapi::machine
