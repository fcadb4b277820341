#include "winapi/machine/sid_text.h"

#include <cwctype>
#include <random>

#include "winapi/security.h"
#include "winapi/security/string_sid.h"

namespace winapi::machine {
namespace {

bool ParseNumber(std::wstring_view text, uint64_t limit, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    size_t i = hex ? 2 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i) {
        wchar_t c = text[i];
        uint64_t digit;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (hex && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
        else if (hex && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
        else return false;
        v = v * (hex ? 16 : 10) + digit;
        if (v > limit) return false;
    }
    *value = v;
    return true;
}

}  // namespace

std::optional<Bytes> ParseSidString(std::wstring_view text) {
    if (text.size() < 4 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return std::nullopt;
    std::vector<std::wstring_view> fields;
    size_t start = 2;
    while (true) {
        size_t dash = text.find(L'-', start);
        fields.push_back(text.substr(start, dash == std::wstring_view::npos ? std::wstring_view::npos : dash - start));
        if (dash == std::wstring_view::npos) break;
        start = dash + 1;
    }
    // revision, authority, then 0..15 sub-authorities
    if (fields.size() < 2 || fields.size() > 2 + SID_MAX_SUB_AUTHORITIES) return std::nullopt;
    uint64_t revision = 0, authority = 0;
    if (!ParseNumber(fields[0], 255, &revision) || revision != SID_REVISION) return std::nullopt;
    if (!ParseNumber(fields[1], 0xFFFFFFFFFFFFull, &authority)) return std::nullopt;
    Bytes sid(8 + 4 * (fields.size() - 2));
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(fields.size() - 2);
    for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
    for (size_t f = 2; f < fields.size(); ++f) {
        uint64_t sub = 0;
        if (!ParseNumber(fields[f], 0xFFFFFFFFull, &sub)) return std::nullopt;
        size_t at = 8 + 4 * (f - 2);
        for (int i = 0; i < 4; ++i) sid[at + i] = static_cast<BYTE>(sub >> (8 * i));
    }
    return sid;
}

size_t ValidSidLength(const BYTE* sid, size_t size) {
    if (sid == nullptr || size < 8 || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    size_t length = 8 + 4 * static_cast<size_t>(sid[1]);
    return length <= size ? length : 0;
}

std::wstring FormatSid(const BYTE* sid, size_t size) {
    size_t length = ValidSidLength(sid, size);
    if (length == 0) return {};
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
    std::wstring text = L"S-1-";
    if (authority >= (1ull << 32)) {
        wchar_t buffer[20];
        swprintf(buffer, 20, L"0x%012llX", static_cast<unsigned long long>(authority));
        text += buffer;
    } else {
        AppendDecimal(text, authority);
    }
    for (size_t i = 0; i < sid[1]; ++i) {
        size_t at = 8 + 4 * i;
        uint32_t sub = sid[at] | (sid[at + 1] << 8) | (sid[at + 2] << 16) | (static_cast<uint32_t>(sid[at + 3]) << 24);
        text += L'-';
        AppendDecimal(text, sub);
    }
    return text;
}

std::wstring GenerateAccountDomainSid() {
    std::random_device device;
    std::uniform_int_distribution<uint32_t> part(100000000u, 4000000000u);
    return L"S-1-5-21-" + std::to_wstring(part(device)) + L"-" + std::to_wstring(part(device)) + L"-" +
           std::to_wstring(part(device));
}

std::wstring AppendRid(const std::wstring& domainSid, DWORD rid) { return domainSid + L"-" + std::to_wstring(rid); }

bool SplitRid(const std::wstring& sid, std::wstring* domainSid, DWORD* rid) {
    size_t dash = sid.rfind(L'-');
    if (dash == std::wstring::npos || dash < 4) return false;
    uint64_t value = 0;
    if (!ParseNumber(std::wstring_view(sid).substr(dash + 1), 0xFFFFFFFFull, &value)) return false;
    *domainSid = sid.substr(0, dash);
    *rid = static_cast<DWORD>(value);
    return true;
}

}  // namespace winapi::machine
