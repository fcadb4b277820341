#include "listing/restore_maps.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace tavrik {
namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";

bool StartsWithFolded(const std::wstring& text, const std::wstring& prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::towupper(static_cast<wint_t>(text[i])) != std::towupper(static_cast<wint_t>(prefix[i]))) return false;
    }
    return true;
}

// Registry roots as the listing names them ("machine\SOFTWARE"), so that
// HKLM\SOFTWARE in a map meets the records.
std::wstring CanonicalRegistryRoot(const std::wstring& name) {
    static const std::pair<const wchar_t*, const wchar_t*> kAliases[] = {
        {L"HKLM", L"machine"},         {L"HKEY_LOCAL_MACHINE", L"machine"},
        {L"HKU", L"users"},            {L"HKEY_USERS", L"users"},
        {L"HKCR", L"classes_root"},    {L"HKEY_CLASSES_ROOT", L"classes_root"},
        {L"HKCU", L"current_user"},    {L"HKEY_CURRENT_USER", L"current_user"},
    };
    size_t start = 0;
    if (name.rfind(L"\\\\", 0) == 0) {
        const size_t slash = name.find(L'\\', 2);
        if (slash == std::wstring::npos) return name;
        start = slash + 1;
    }
    const size_t end = std::min(name.find(L'\\', start), name.size());
    const std::wstring root = name.substr(start, end - start);
    for (const auto& [alias, canonical] : kAliases) {
        if (root.size() == std::wcslen(alias) && StartsWithFolded(root, alias)) {
            return name.substr(0, start) + canonical + name.substr(end);
        }
    }
    return name;
}

// The name without the long-path marker, and the marker it had.
std::wstring Plain(const std::wstring& name, std::wstring* marker) {
    if (StartsWithFolded(name, kLongUncPrefix)) {
        if (marker) *marker = kLongUncPrefix;
        return L"\\\\" + name.substr(std::size(kLongUncPrefix) - 1);
    }
    if (StartsWithFolded(name, kLongPrefix)) {
        if (marker) *marker = kLongPrefix;
        return name.substr(std::size(kLongPrefix) - 1);
    }
    if (marker) marker->clear();
    return CanonicalRegistryRoot(name);
}

std::wstring TrimSeparators(std::wstring text) {
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    return text;
}

std::wstring Trim(const std::wstring& text) {
    size_t start = 0, end = text.size();
    while (start < end && std::iswspace(static_cast<wint_t>(text[start]))) ++start;
    while (end > start && std::iswspace(static_cast<wint_t>(text[end - 1]))) --end;
    return text.substr(start, end - start);
}

}  // namespace

bool ObjectNameMap::Add(const std::wstring& from, const std::wstring& to) {
    const std::wstring plainFrom = TrimSeparators(Plain(from, nullptr));
    if (plainFrom.empty()) return false;
    prefixes_.emplace_back(plainFrom, TrimSeparators(Plain(to, nullptr)));
    return true;
}

std::wstring ObjectNameMap::Apply(const std::wstring& name) const {
    if (prefixes_.empty()) return name;
    std::wstring marker;
    const std::wstring plain = Plain(name, &marker);
    const std::pair<std::wstring, std::wstring>* best = nullptr;
    for (const auto& entry : prefixes_) {
        const std::wstring& prefix = entry.first;
        if (!StartsWithFolded(plain, prefix)) continue;
        // Whole components: C:\Data is no prefix of C:\Database.
        if (plain.size() > prefix.size() && plain[prefix.size()] != L'\\' && prefix.back() != L'\\') continue;
        if (!best || prefix.size() > best->first.size()) best = &entry;
    }
    if (!best) return name;
    const std::wstring mapped = best->second + plain.substr(best->first.size());
    // The record's long form goes with the new name when it can carry it.
    if (marker.empty()) return mapped;
    if (mapped.rfind(L"\\\\", 0) == 0) return kLongUncPrefix + mapped.substr(2);
    if (mapped.size() >= 2 && mapped[1] == L':') return kLongPrefix + mapped;
    return mapped;
}

bool IsDomainSid(PSID sid) {
    if (!sid || !IsValidSid(sid)) return false;
    // Revision, part count, the six authority bytes (big-endian), then the
    // parts as little-endian DWORDs.
    const auto* bytes = static_cast<const BYTE*>(sid);
    static const BYTE kNt[6] = {0, 0, 0, 0, 0, 5};
    DWORD first = 0;
    std::memcpy(&first, bytes + 8, sizeof first);
    return bytes[1] == 4 && std::memcmp(bytes + 2, kNt, 6) == 0 && first == 21;
}

void SidMap::Add(PSID from, PSID to, bool domain) {
    Entry entry;
    entry.from.assign(static_cast<BYTE*>(from), static_cast<BYTE*>(from) + GetLengthSid(from));
    entry.to.assign(static_cast<BYTE*>(to), static_cast<BYTE*>(to) + GetLengthSid(to));
    entry.domain = domain;
    entries_.push_back(std::move(entry));
}

PSID SidMap::Map(PSID sid) {
    if (!sid || !IsValidSid(sid)) return nullptr;
    const DWORD length = GetLengthSid(sid);
    for (Entry& entry : entries_) {
        if (!entry.domain && entry.from.size() == length && std::memcmp(entry.from.data(), sid, length) == 0) {
            return entry.to.data();
        }
    }
    // A domain entry takes the SIDs of the domain's accounts: the domain
    // SID and one more part.
    const BYTE count = *GetSidSubAuthorityCount(sid);
    for (Entry& entry : entries_) {
        if (!entry.domain) continue;
        PSID domainSid = entry.from.data();
        if (count != *GetSidSubAuthorityCount(domainSid) + 1) continue;
        // The same revision, authority and parts but the count byte.
        const size_t compared = entry.from.size();
        if (std::memcmp(entry.from.data(), sid, 1) != 0 ||
            std::memcmp(entry.from.data() + 2, static_cast<BYTE*>(sid) + 2, compared - 2) != 0) {
            continue;
        }
        built_ = entry.to;
        built_[1] = static_cast<BYTE>(built_[1] + 1);
        const BYTE* rid = static_cast<BYTE*>(sid) + length - sizeof(DWORD);
        built_.insert(built_.end(), rid, rid + sizeof(DWORD));
        return built_.data();
    }
    return nullptr;
}

bool ParseSidMapLine(const std::wstring& line, std::wstring& from, std::wstring& to) {
    from.clear();
    to.clear();
    const std::wstring text = Trim(line);
    if (text.empty() || text[0] == L'#' || text[0] == L';') return true;
    const size_t eq = text.find(L'=');
    if (eq == std::wstring::npos || text.find(L'=', eq + 1) != std::wstring::npos) return false;
    from = Trim(text.substr(0, eq));
    to = Trim(text.substr(eq + 1));
    if (from.empty() || to.empty()) {
        from.clear();
        to.clear();
        return false;
    }
    return true;
}

}  // namespace tavrik
