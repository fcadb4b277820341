// BSTR: a length-prefixed, NUL-terminated wide string. The 32-bit prefix
// holds the length in bytes (not counting the terminator) and sits just
// before the first character, where Windows puts it.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>

#include "winapi/com.h"

namespace {

constexpr size_t kPrefixBytes = sizeof(ULONG);
static_assert(kPrefixBytes % alignof(OLECHAR) == 0, "characters must stay aligned after the prefix");

ULONG* PrefixOf(BSTR text) { return reinterpret_cast<ULONG*>(reinterpret_cast<BYTE*>(text) - kPrefixBytes); }

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    constexpr size_t kMaxChars = (std::numeric_limits<ULONG>::max() - kPrefixBytes) / sizeof(OLECHAR) - 1;
    if (ui > kMaxChars) return nullptr;
    const size_t bytes = static_cast<size_t>(ui) * sizeof(OLECHAR);
    void* block = std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR));
    if (block == nullptr) return nullptr;
    *static_cast<ULONG*>(block) = static_cast<ULONG>(bytes);
    auto* text = reinterpret_cast<OLECHAR*>(static_cast<BYTE*>(block) + kPrefixBytes);
    if (strIn != nullptr)
        std::memcpy(text, strIn, bytes);
    else
        std::memset(text, 0, bytes);
    text[ui] = L'\0';
    return text;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    const size_t length = std::wcslen(psz);
    if (length > std::numeric_limits<UINT>::max()) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(length));
}

void SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr) std::free(PrefixOf(bstrString));
}

UINT SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : *PrefixOf(bstr); }

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }
