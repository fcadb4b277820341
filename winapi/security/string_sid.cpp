// SIDs to and from the S-R-I-S-S... notation, and ConvertStringSidToSidW /
// ConvertSidToStringSidW over them.
#include "winapi/security/string_sid.h"

#include <cstring>

#include "winapi/sddl/sddl_aliases.h"
#include "winapi/sddl/sddl_characters.h"
#include "winapi/sddl/sddl_context.h"
#include "winapi/security/security_layout.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr uint64_t kMaxAuthority = (uint64_t{1} << 48) - 1;

// One number of a SID after a dash: blanks first (Windows reads these with
// the C library, which skips them), then decimal digits or 0x and hex
// digits. Returns false when there is no number or it exceeds `limit`.
// Hex stops after as many digits as the limit has: the authority is printed
// with all twelve, and in "O:S-1-0x00000000000AD:" the D belongs to the
// next section tag, not to the number.
bool ReadSidNumber(std::wstring_view text, size_t* pos, uint64_t limit, uint64_t* value) {
    size_t i = *pos;
    while (i < text.size() && IsBlank(text[i])) ++i;
    uint64_t result = 0;
    size_t digits = 0;
    if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
        i += 2;
        const size_t maxDigits = limit > 0xFFFFFFFFu ? 12 : 8;
        for (; i < text.size() && digits < maxDigits && HexValue(text[i]) >= 0; ++i, ++digits) {
            result = result * 16 + static_cast<uint64_t>(HexValue(text[i]));
            if (result > limit) return false;
        }
    } else {
        for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i, ++digits) {
            result = result * 10 + static_cast<uint64_t>(text[i] - L'0');
            if (result > limit) return false;
        }
    }
    if (digits == 0) return false;
    *pos = i;
    *value = result;
    return true;
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
    size_t pos = 2;
    uint64_t revision = 0;
    if (!ReadSidNumber(text, &pos, 0xFFFFFFFFu, &revision) || revision != SID_REVISION) return std::nullopt;
    if (pos >= text.size() || text[pos] != L'-') return std::nullopt;
    ++pos;
    // Only the hex form reaches past 32 bits: that is how such authorities are written.
    uint64_t authority = 0;
    size_t afterBlanks = pos;
    while (afterBlanks < text.size() && IsBlank(text[afterBlanks])) ++afterBlanks;
    bool hex = text.substr(afterBlanks, 2) == L"0x" || text.substr(afterBlanks, 2) == L"0X";
    if (!ReadSidNumber(text, &pos, hex ? kMaxAuthority : 0xFFFFFFFFu, &authority)) return std::nullopt;
    DWORD subs[SID_MAX_SUB_AUTHORITIES];
    size_t count = 0;
    while (pos < text.size() && text[pos] == L'-') {
        ++pos;
        uint64_t sub = 0;
        if (count == SID_MAX_SUB_AUTHORITIES || !ReadSidNumber(text, &pos, 0xFFFFFFFFu, &sub)) return std::nullopt;
        subs[count++] = static_cast<DWORD>(sub);
    }
    *consumed = pos;
    return MakeSid(authority, subs, count);
}

std::optional<Bytes> ParseSidText(std::wstring_view text) {
    size_t consumed = 0;
    auto sid = ParseSidPrefix(text, &consumed);
    if (!sid || consumed != text.size()) return std::nullopt;
    return sid;
}

std::wstring SidText(const SID* sid) {
    const BYTE* authorityBytes = sid->IdentifierAuthority.Value;
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | authorityBytes[i];
    std::wstring text = L"S-1-";
    if (authority >> 32) {
        static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
        text += L"0x";
        for (int i = 0; i < 6; ++i) {
            text += kHex[authorityBytes[i] >> 4];
            text += kHex[authorityBytes[i] & 0xF];
        }
    } else {
        text += std::to_wstring(authority);
    }
    // Sub-authorities are read bytewise: a SID inside an ACE need not be aligned.
    const BYTE* subs = reinterpret_cast<const BYTE*>(sid) + 8;
    for (BYTE i = 0; i < sid->SubAuthorityCount; ++i) {
        DWORD value = 0;
        std::memcpy(&value, subs + 4 * i, sizeof value);
        text += L'-';
        text += std::to_wstring(value);
    }
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
