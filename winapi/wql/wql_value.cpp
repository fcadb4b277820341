#include "winapi/wql/wql_value.h"

#include <cwctype>

namespace winapi::wql {

bool IsIntegerType(CimType type) {
    switch (type) {
    case CimType::UInt8: case CimType::UInt16: case CimType::UInt32: case CimType::UInt64:
    case CimType::SInt32: case CimType::SInt64:
        return true;
    default:
        return false;
    }
}

wchar_t FoldCase(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

int CompareIgnoreCase(std::wstring_view a, std::wstring_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const wchar_t x = FoldCase(a[i]), y = FoldCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && CompareIgnoreCase(a, b) == 0;
}

}  // namespace winapi::wql
