// SIDs as text (S-R-I-S-S...) inside the Windows layer: shared by
// ConvertStringSidToSidW / ConvertSidToStringSidW and the SDDL converters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "winapi/security/bytes.h"
#include "winapi/security.h"

namespace winapi {

// Bytes of a SID with the given identifier authority (48 bits) and
// sub-authorities (at most 15).
Bytes MakeSid(uint64_t authority, const DWORD* subAuthorities, size_t count);

// Reads "S-1-..." from the start of `text` and stops after its last number;
// `consumed` receives how many characters it took. Numbers are read as
// Windows reads them (see sddl_numbers.h): decimal, or hex after "0x" or
// after a revision written in hex; a sub-authority over 32 bits saturates.
// Blanks may precede the revision and the authority, never a
// sub-authority. Fails (nullopt) on a wrong revision, an identifier
// authority over 48 bits, more than 15 sub-authorities, or a dash not
// followed by a number.
std::optional<Bytes> ParseSidPrefix(std::wstring_view text, size_t* consumed);

// ParseSidPrefix that must consume all of `text`.
std::optional<Bytes> ParseSidText(std::wstring_view text);

// "S-1-5-32-544" for a well-formed SID; authorities of 2^32 and more are
// written in hex, "S-1-0x12A05F200-30-40".
std::wstring SidText(const SID* sid);

// SidText appended to `text` without a temporary string.
void AppendSidText(std::wstring& text, const SID* sid);

// The longest SidText: "S-1-", an authority of at most 14 characters ("0x"
// and 12 hex digits), then 15 sub-authorities of at most 11 each.
constexpr size_t kMaxSidTextLength = 4 + 14 + 11 * 15;

// SidText written at `out`, which has room for kMaxSidTextLength
// characters; returns the end of what was written.
wchar_t* PutSidText(wchar_t* out, const SID* sid);

// Appends `value` in decimal: SID text is written for every entry of every
// listed descriptor, and this costs no temporary string.
void AppendDecimal(std::wstring& text, uint64_t value);

}  // namespace winapi
