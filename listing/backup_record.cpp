#include "listing/backup_record.h"

#include <climits>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <utility>

namespace tavrik {

namespace {

constexpr wchar_t kQuote = L'"';

// _wtoi without its undefined overflow: leading blanks, an optional sign,
// the digits up to the first other character, saturated to the int range.
int ReadInteger(std::wstring_view text) {
    size_t pos = 0;
    while (pos < text.size() && std::iswspace(static_cast<wint_t>(text[pos]))) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
        negative = text[pos] == L'-';
        ++pos;
    }
    long long value = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        value = value * 10 + (text[pos] - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

bool AllDigits(std::wstring_view text) {
    if (text.empty()) return false;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
    }
    return true;
}

std::wstring_view Clip(std::wstring_view text, long long start, long long length) {
    if (length <= 0 || start >= static_cast<long long>(text.size())) return {};
    if (start < 0) {
        length += start;
        start = 0;
        if (length <= 0) return {};
    }
    return text.substr(static_cast<size_t>(start), static_cast<size_t>(length));
}

long long Find(std::wstring_view text, std::wstring_view what, long long from) {
    if (from < 0) from = 0;
    if (from > static_cast<long long>(text.size())) return -1;
    const size_t at = text.find(what, static_cast<size_t>(from));
    return at == std::wstring_view::npos ? -1 : static_cast<long long>(at);
}

// Whether the ACL section whose marker ends at `flagsStart` is protected:
// Windows writes the flags P, AR, AI (or NO_ACCESS_CONTROL) right behind
// the marker, so only those tokens are read; a "P" further on belongs to
// another section.
bool SectionIsProtected(std::wstring_view sddl, size_t flagsStart) {
    size_t pos = flagsStart;
    bool isProtected = false;
    for (;;) {
        std::wstring_view rest = sddl.substr(pos);
        if (rest.starts_with(L"NO_ACCESS_CONTROL")) {
            pos += 17;
        } else if (rest.starts_with(L"AR") || rest.starts_with(L"AI")) {
            pos += 2;
        } else if (rest.starts_with(L"P")) {
            isProtected = true;
            pos += 1;
        } else {
            return isProtected;
        }
    }
}

}  // namespace

std::wstring QuotedObjectName(const std::wstring& name) {
    if (!name.empty() && name.front() == kQuote) return name;
    std::wstring quoted;
    quoted.reserve(name.size() + 2);
    quoted += kQuote;
    quoted += name;
    quoted += kQuote;
    return quoted;
}

std::wstring FormatSddlRecord(const std::wstring& name, DWORD objectType, std::wstring_view sddl) {
    std::wstring record;
    FormatSddlRecord(name, objectType, sddl, &record);
    return record;
}

void FormatSddlRecord(const std::wstring& name, DWORD objectType, std::wstring_view sddl, std::wstring* out) {
    std::wstring& record = *out;
    record.clear();
    record.reserve(name.size() + sddl.size() + 16);
    const bool quoted = !name.empty() && name.front() == kQuote;
    if (!quoted) record += kQuote;
    record += name;
    if (!quoted) record += kQuote;
    record += L',';
    // Object types are single digits; to_wstring formats through the C
    // library, which cost more than the rest of the record.
    if (objectType <= 9) {
        record += static_cast<wchar_t>(L'0' + objectType);
    } else {
        record += std::to_wstring(static_cast<int>(objectType));
    }
    record += L",\"";
    record += sddl;
    record += kQuote;
}

bool HasLineBreak(std::wstring_view text) {
    // Every listed and restored record is checked; the C library's wmemchr
    // scans many characters a step, three passes of it beat one loop.
    const wchar_t* at = text.data();
    const size_t n = text.size();
    return n > 0 && (std::wmemchr(at, L'\n', n) || std::wmemchr(at, L'\r', n) || std::wmemchr(at, L'\0', n));
}

bool SddlHasLineBreak(std::wstring_view sddl) {
    thread_local std::wstring last;
    thread_local bool lastHasBreak = false;
    thread_local bool known = false;
    if (known && sddl == std::wstring_view(last)) return lastHasBreak;
    lastHasBreak = HasLineBreak(sddl);
    last.assign(sddl);
    known = true;
    return lastHasBreak;
}

bool IsBackupSafeName(std::wstring_view name) {
    if (name.empty() || name.front() == kQuote) return false;
    if (HasLineBreak(name)) return false;
    return name.find(L"\",") == std::wstring_view::npos;
}

namespace {

// Every restored record's name is checked: the characters go in blocks of
// a fixed count, which the compiler vectorises at every optimisation level.
bool HasControlCharacter(std::wstring_view name) {
    auto isControl = [](wchar_t c) { return static_cast<unsigned>(static_cast<uint32_t>(c) < 0x20) | (c == 0x7F); };
    constexpr size_t kBlock = 16;
    unsigned control = 0;
    size_t at = 0;
    for (; at + kBlock <= name.size(); at += kBlock) {
        unsigned blockControl = 0;
        for (size_t j = 0; j < kBlock; ++j) blockControl |= isControl(name[at + j]);
        control |= blockControl;
    }
    for (; at < name.size(); ++at) control |= isControl(name[at]);
    return control != 0;
}

}  // namespace

const std::wstring& DisplayableName(const std::wstring& name, std::wstring* room) {
    if (!HasControlCharacter(name)) return name;
    *room = DisplayableName(name);
    return *room;
}

std::wstring DisplayableName(std::wstring_view name) {
    // Names almost never hold control characters: copy those whole.
    if (!HasControlCharacter(name)) return std::wstring(name);
    std::wstring text;
    text.reserve(name.size());
    for (wchar_t c : name) {
        if (static_cast<uint32_t>(c) < 0x20 || c == 0x7F) {
            wchar_t code[16];
            swprintf(code, sizeof code / sizeof code[0], L"{U+%04X}", static_cast<unsigned>(c));
            text += code;
        } else {
            text += c;
        }
    }
    return text;
}

namespace {

// The listing writes only the five types the engine walks; any other
// number would reach an SE_OBJECT_TYPE it cannot hold.
bool KnownObjectType(DWORD type) { return type >= SE_FILE_OBJECT && type <= SE_LMSHARE; }

}  // namespace

BackupEntry ParseBackupEntry(std::wstring_view line) {
    BackupEntry entry;
    ParseBackupEntry(line, &entry);
    return entry;
}

void ParseBackupEntry(std::wstring_view line, BackupEntry* into) {
    // Line end and closing quote off the right, opening quotes off the left.
    std::wstring_view text = line;
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == kQuote)) {
        text.remove_suffix(1);
    }
    size_t leadingQuotes = 0;
    while (leadingQuotes < text.size() && text[leadingQuotes] == kQuote) ++leadingQuotes;
    text.remove_prefix(leadingQuotes);

    const long long i = Find(text, L"\",", 0);
    const long long k = Find(text, L",\"", i + 1);

    BackupEntry& entry = *into;
    entry.name.assign(Clip(text, 0, i));
    entry.noParts = false;
    const std::wstring_view typeText = Clip(text, i + 2, k - i - 1);
    entry.objectType = static_cast<DWORD>(ReadInteger(typeText));
    const std::wstring_view sddl = Clip(text, k + 2, static_cast<long long>(text.size()) - (k + 2));
    // The records of a tree mostly repeat a few texts, and each follows one
    // like it: a text equal to the one before takes its upper-cased form
    // (kept per thread) after one comparison of memory, and its verdict on
    // line breaks.
    thread_local std::wstring lastText, lastUpper;
    thread_local bool lastHasBreak = false;
    bool sddlHasBreak = false;
    if (sddl.size() == lastText.size() && sddl == std::wstring_view(lastText)) {
        entry.sddl.assign(lastUpper);
        sddlHasBreak = lastHasBreak;
    } else {
        // ASCII other than a-z is its own upper case in every locale; the rest
        // goes through towupper. The ASCII pass has no branch per character and
        // goes in blocks of a fixed count, which the compiler vectorises at
        // every optimisation level; characters past ASCII are rare.
        entry.sddl.assign(sddl);
        unsigned beyondAscii = 0;
        auto upper = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - (L'a' - L'A')) : c; };
        wchar_t* const chars = entry.sddl.data();
        const size_t count = entry.sddl.size();
        constexpr size_t kBlock = 16;
        size_t at = 0;
        for (; at + kBlock <= count; at += kBlock) {
            unsigned blockBeyond = 0;
            for (size_t j = 0; j < kBlock; ++j) {
                blockBeyond |= static_cast<uint32_t>(chars[at + j]) >= 0x80;
                chars[at + j] = upper(chars[at + j]);
            }
            beyondAscii |= blockBeyond;
        }
        for (; at < count; ++at) {
            beyondAscii |= static_cast<uint32_t>(chars[at]) >= 0x80;
            chars[at] = upper(chars[at]);
        }
        if (beyondAscii) {
            for (wchar_t& c : entry.sddl) {
                if (static_cast<uint32_t>(c) >= 0x80) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
            }
        }
        sddlHasBreak = HasLineBreak(sddl);
        lastText.assign(sddl);
        lastUpper.assign(entry.sddl);
        lastHasBreak = sddlHasBreak;
    }

    // The exact shape: judged on the line with only its line end removed.
    std::wstring_view exact = line;
    if (!exact.empty() && exact.back() == L'\n') exact.remove_suffix(1);
    if (!exact.empty() && exact.back() == L'\r') exact.remove_suffix(1);
    // The line's breaks: the SDDL text's verdict is known, the rest of the
    // line (name, type, and what lies around the text) is searched.
    auto exactHasBreak = [&] {
        const wchar_t* const begin = exact.data();
        const wchar_t* const end = begin + exact.size();
        if (sddl.empty() || sddl.data() < begin || sddl.data() + sddl.size() > end) return HasLineBreak(exact);
        const wchar_t* const sddlEnd = sddl.data() + sddl.size();
        return sddlHasBreak || HasLineBreak({begin, static_cast<size_t>(sddl.data() - begin)}) ||
               HasLineBreak({sddlEnd, static_cast<size_t>(end - sddlEnd)});
    };
    entry.exactShape = i > 0 && k > i && leadingQuotes == 1 && exact.size() >= 2 && exact.front() == kQuote &&
                       exact.back() == kQuote && exact[exact.size() - 2] != kQuote &&
                       AllDigits(Clip(text, i + 2, k - i - 2)) && Clip(text, i + 2, k - i - 2).size() <= 10 &&
                       !exactHasBreak() && KnownObjectType(entry.objectType);
    // Trimming the closing quotes above eats both quotes of an empty SDDL
    // text; such a record is recognised by reading it with a placeholder.
    if (!entry.exactShape && exact.size() >= 3 && exact.substr(exact.size() - 3) == L",\"\"") {
        std::wstring filled(exact.substr(0, exact.size() - 1));
        filled += L"X\"";
        BackupEntry probe = ParseBackupEntry(filled);
        if (probe.exactShape && probe.sddl == L"X") {
            probe.sddl.clear();
            probe.noParts = true;
            entry = std::move(probe);
            return;
        }
    }
}

std::wstring UndoFileMarkRecord(DWORD version) {
    return FormatSddlRecord(kUndoFileMark, version, L"");
}

DWORD UndoFileVersion(const BackupEntry& entry) {
    return entry.noParts && entry.name == kUndoFileMark ? entry.objectType : 0;
}

SECURITY_INFORMATION SecurityInfoFromSddl(std::wstring_view sddl) {
    // The first "D:", "S:", "O:" and "G:" of the text. Each ends in a colon
    // and a record holds only a few colons, so the colons are visited (a
    // wmemchr each) rather than every 'D' and 'S' of the entries' SIDs.
    constexpr size_t npos = std::wstring_view::npos;
    size_t d = npos, s = npos;
    bool owner = false, group = false;
    for (size_t colon = sddl.find(L':'); colon != npos; colon = sddl.find(L':', colon + 1)) {
        if (colon == 0) continue;
        const wchar_t marker = sddl[colon - 1];
        if (marker == L'D' && d == npos) d = colon - 1;
        if (marker == L'S' && s == npos) s = colon - 1;
        owner |= marker == L'O';
        group |= marker == L'G';
    }
    SECURITY_INFORMATION info = 0;
    if (d != npos) {
        info |= DACL_SECURITY_INFORMATION;
        info |= SectionIsProtected(sddl, d + 2) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION;
    }
    if (s != npos) {
        info |= SACL_SECURITY_INFORMATION;
        info |= SectionIsProtected(sddl, s + 2) ? PROTECTED_SACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_SACL_SECURITY_INFORMATION;
    }
    if (owner) info |= OWNER_SECURITY_INFORMATION;
    if (group) info |= GROUP_SECURITY_INFORMATION;
    return info;
}

}  // namespace tavrik
