// SIDs to and from the S-R-I-S-S... notation, and ConvertStringSidToSidW /
// ConvertSidToStringSidW over them.
#include "winapi/security/string_sid.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "winapi/sddl/sddl_aliases.h"
#include "winapi/sddl/sddl_characters.h"
#include "winapi/sddl/sddl_context.h"
#include "winapi/sddl/sddl_numbers.h"
#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr uint64_t kMaxAuthority = (uint64_t{1} << 48) - 1;
constexpr uint64_t kMaxDword = 0xFFFFFFFFu;

bool StartsWithHexPrefix(std::wstring_view text, size_t pos) {
    return pos + 1 < text.size() && text[pos] == L'0' && (text[pos + 1] == L'x' || text[pos + 1] == L'X');
}

// Where a SID written inside a longer text must end at the latest: before
// a section tag such as "D:". Windows stops there even inside hex digits,
// so "O:S-1-2-0x200D:" is the SID S-1-2-512 followed by a DACL.
size_t SidTextLimit(std::wstring_view text) {
    for (size_t i = 2; i + 1 < text.size(); ++i) {
        wchar_t c = text[i];
        if (text[i + 1] == L':' && (c == L'D' || c == L'G' || c == L'O' || c == L'S')) return i;
    }
    return text.size();
}

}  // namespace

Bytes MakeSid(uint64_t authority, const DWORD* subAuthorities, size_t count) {
    Bytes sid;
    sid.reserve(8 + 4 * count);
    sid.push_back(SID_REVISION);
    sid.push_back(static_cast<BYTE>(count));
    // The identifier authority is stored big-endian, the sub-authorities little-endian.
    for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(authority >> shift));
    for (size_t i = 0; i < count; ++i) {
        for (int b = 0; b < 4; ++b) sid.push_back(static_cast<BYTE>(subAuthorities[i] >> (8 * b)));
    }
    return sid;
}

std::optional<Bytes> ParseSidPrefix(std::wstring_view text, size_t* consumed) {
    if (text.size() < 2 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return std::nullopt;
    text = text.substr(0, SidTextLimit(text));
    // A revision written in hex ("S-0x1-...") makes every later number hex
    // too, "0x" or not; otherwise each number is decimal unless it starts
    // with "0x". Windows looks for the prefix right after the dash, before
    // the blanks the number reader itself skips.
    const int base = StartsWithHexPrefix(text, 2) ? 16 : 10;
    auto revision = ReadCNumber(text, 2, base, kMaxDword);
    if (!revision || revision->value != SID_REVISION) return std::nullopt;
    size_t pos = revision->end;
    if (pos >= text.size() || text[pos] != L'-') return std::nullopt;
    ++pos;
    // The authority is read as a 64-bit number, so decimal reaches past 32
    // bits too; what does not fit the 48 bits of the field is refused.
    auto authority = ReadCNumber(text, pos, StartsWithHexPrefix(text, pos) ? 16 : base, UINT64_MAX);
    if (!authority || authority->value > kMaxAuthority) return std::nullopt;
    pos = authority->end;
    // Sub-authorities take no blanks or signs: Windows ends the SID at a
    // blank and refuses one right after a dash. Too large a value saturates.
    DWORD subs[SID_MAX_SUB_AUTHORITIES];
    size_t count = 0;
    while (pos < text.size() && text[pos] == L'-') {
        ++pos;
        if (count == SID_MAX_SUB_AUTHORITIES || pos >= text.size() || HexValue(text[pos]) < 0) return std::nullopt;
        auto sub = ReadCNumber(text, pos, StartsWithHexPrefix(text, pos) ? 16 : base, kMaxDword);
        if (!sub) return std::nullopt;
        pos = sub->end;
        // "12ab" in a decimal SID is no number Windows would read back the same.
        if (pos < text.size() && (HexValue(text[pos]) >= 0 || text[pos] == L'x' || text[pos] == L'X')) {
            return std::nullopt;
        }
        subs[count++] = static_cast<DWORD>(sub->value);
    }
    *consumed = pos;
    return MakeSid(authority->value, subs, count);
}

std::optional<Bytes> ParseSidText(std::wstring_view text) {
    size_t consumed = 0;
    auto sid = ParseSidPrefix(text, &consumed);
    if (!sid || consumed != text.size()) return std::nullopt;
    return sid;
}

void AppendDecimal(std::wstring& text, uint64_t value) {
    wchar_t digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) text += digits[--count];
}

namespace {

// Writes `value` in decimal backwards, ending just before `end`; returns
// where the digits begin.
wchar_t* DecimalBefore(wchar_t* end, uint64_t value) {
    do {
        *--end = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

}  // namespace

wchar_t* PutSidText(wchar_t* out, const SID* sid) {
    const BYTE* authorityBytes = sid->IdentifierAuthority.Value;
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | authorityBytes[i];
    *out++ = L'S';
    *out++ = L'-';
    *out++ = L'1';
    *out++ = L'-';
    wchar_t digits[20];
    wchar_t* digitsEnd = digits + std::size(digits);
    wchar_t* first;
    if (authority >> 32) {
        // Windows prints these in upper-case hex without leading zeros.
        static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
        first = digitsEnd;
        for (; authority != 0; authority >>= 4) *--first = kHex[authority & 0xF];
        *out++ = L'0';
        *out++ = L'x';
    } else {
        first = DecimalBefore(digitsEnd, authority);
    }
    out = std::copy(first, digitsEnd, out);
    // Sub-authorities are read bytewise: a SID inside an ACE need not be aligned.
    const BYTE* subs = reinterpret_cast<const BYTE*>(sid) + 8;
    const BYTE count = std::min<BYTE>(sid->SubAuthorityCount, SID_MAX_SUB_AUTHORITIES);
    for (BYTE i = 0; i < count; ++i) {
        DWORD value = 0;
        std::memcpy(&value, subs + 4 * i, sizeof value);
        *out++ = L'-';
        out = std::copy(DecimalBefore(digitsEnd, value), digitsEnd, out);
    }
    return out;
}

void AppendSidText(std::wstring& text, const SID* sid) {
    wchar_t buffer[kMaxSidTextLength];
    text.append(buffer, static_cast<size_t>(PutSidText(buffer, sid) - buffer));
}

std::wstring SidText(const SID* sid) {
    std::wstring text;
    AppendSidText(text, sid);
    return text;
}

}  // namespace winapi

BOOL ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid) {
    if (StringSid == nullptr || Sid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring_view text(StringSid);
    std::optional<winapi::Bytes> sid;
    if (text.size() >= 2 && (text[0] == L'S' || text[0] == L's') && text[1] == L'-') {
        sid = winapi::ParseSidText(text);
    } else if (text.size() == 2) {
        auto alias = winapi::ResolveSidAlias(text, winapi::CurrentSddlDomainContext());
        if (alias.status == winapi::SidAliasStatus::Resolved) sid = std::move(alias.sid);
    }
    if (!sid) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    void* block = LocalAlloc(LMEM_FIXED, sid->size());
    if (block == nullptr) return FALSE;
    std::memcpy(block, sid->data(), sid->size());
    *Sid = block;
    return TRUE;
}

BOOL ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid) {
    if (Sid == nullptr || StringSid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Without a length, the SID's own count bounds what is read.
    if (winapi::CheckedSidLength(static_cast<const BYTE*>(Sid), SECURITY_MAX_SID_SIZE) == 0) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    std::wstring text = winapi::SidText(static_cast<const SID*>(Sid));
    auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(WCHAR)));
    if (block == nullptr) return FALSE;
    std::memcpy(block, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    *StringSid = block;
    return TRUE;
}
