#include "cli/command.h"

#include <algorithm>
#include <utility>

#include "winapi/win32.h"

#if !defined(_WIN32) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrik::cli {
namespace {

struct Registered {
    int order;
    std::vector<std::string> names;
    CommandSetup setup;
};

std::vector<Registered>& Registry() {
    static std::vector<Registered> registry;
    return registry;
}

}  // namespace

CommandRegistration::CommandRegistration(int order, std::vector<std::string> names, CommandSetup setup) {
    Registry().push_back({order, std::move(names), std::move(setup)});
}

std::vector<CommandSetup> RegisteredCommands() {
    auto entries = Registry();
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
    std::vector<CommandSetup> setups;
    for (auto& entry : entries) setups.push_back(std::move(entry.setup));
    return setups;
}

std::vector<CommandSetup> CommandsFor(std::string_view first) {
    for (const Registered& entry : Registry()) {
        if (std::find(entry.names.begin(), entry.names.end(), first) != entry.names.end()) return {entry.setup};
    }
    return RegisteredCommands();
}

#ifdef _WIN32
std::string ToConsole(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}
void ToConsole(const std::wstring& text, std::string* out) { *out = ToConsole(text); }
std::wstring FromConsole(const std::string& text) {
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}
#else
// Linux wide strings hold UTF-32; the console speaks UTF-8. The text is
// written through a pointer into room for the longest form, since every
// listed record passes here and a push per byte cost more than the rest.
namespace {

// Writes one character as UTF-8 at `end` and returns the byte after it;
// surrogates and values past U+10FFFF become U+FFFD.
char* PutUtf8(char32_t c, char* end) {
    if (c < 0x80) {
        *end++ = static_cast<char>(c);
        return end;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x800) {
        *end++ = static_cast<char>(0xC0 | (c >> 6));
        *end++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *end++ = static_cast<char>(0xE0 | (c >> 12));
        *end++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *end++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *end++ = static_cast<char>(0xF0 | (c >> 18));
        *end++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *end++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *end++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return end;
}

// Records are almost all ASCII. Sixteen characters are one block: when
// none of them is above U+007F the block narrows to sixteen bytes at once
// (with SSE2, four loads, a test and three packs), else it goes character
// by character. Returns false when the block is not all ASCII.
bool PutAsciiBlock(const wchar_t* in, char* end) {
    static_assert(sizeof(wchar_t) == 4, "wide text holds UTF-32 here");
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
    const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    // Every bit above the low seven must be clear in all sixteen.
    const __m128i high = _mm_and_si128(any, _mm_set1_epi32(~0x7F));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
    // Values below 0x80 pass the saturating packs unchanged.
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(end), bytes);
    return true;
#else
    char32_t any = 0;
    for (int i = 0; i < 16; ++i) any |= static_cast<char32_t>(in[i]);
    if (any >= 0x80) return false;
    for (int i = 0; i < 16; ++i) end[i] = static_cast<char>(in[i]);
    return true;
#endif
}

}  // namespace

void ToConsole(const std::wstring& text, std::string* result) {
    std::string& out = *result;
    out.resize(text.size() * 4);
    char* end = out.data();
    const wchar_t* in = text.data();
    const wchar_t* const last = in + text.size();
    while (last - in >= 16) {
        if (PutAsciiBlock(in, end)) {
            in += 16;
            end += 16;
            continue;
        }
        for (const wchar_t* blockEnd = in + 16; in != blockEnd; ++in) end = PutUtf8(static_cast<char32_t>(*in), end);
    }
    for (; in != last; ++in) end = PutUtf8(static_cast<char32_t>(*in), end);
    out.resize(static_cast<size_t>(end - out.data()));
}
std::string ToConsole(const std::wstring& text) {
    std::string out;
    ToConsole(text, &out);
    return out;
}
std::wstring FromConsole(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        char32_t c = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > text.size()) {
                len = 1;
            } else {
                c = b & (0xFF >> (len + 1));
                for (size_t k = 1; k < len; ++k) {
                    auto cb = static_cast<unsigned char>(text[i + k]);
                    if ((cb & 0xC0) != 0x80) { c = 0xFFFD; len = 1; break; }
                    c = (c << 6) | (cb & 0x3F);
                }
            }
        }
        out += static_cast<wchar_t>(c);
        i += len;
    }
    return out;
}
#endif

}  // namespace tavrik::cli
