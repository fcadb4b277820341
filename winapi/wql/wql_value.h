// Property values of WMI objects: the CIM types our classes use and the
// value an object holds for a property (absent values are NULL).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace winapi::wql {

enum class CimType { String, Boolean, UInt8, UInt16, UInt32, UInt64, SInt32, SInt64, StringArray };

// std::monostate is NULL; integers keep their sign in the alternative.
using WqlValue = std::variant<std::monostate, std::wstring, bool, int64_t, uint64_t, std::vector<std::wstring>>;

inline bool IsNull(const WqlValue& value) { return std::holds_alternative<std::monostate>(value); }
bool IsIntegerType(CimType type);

// WQL compares names and strings without regard to case.
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);
// <0, 0, >0 like wcscmp, on the upper-cased characters.
int CompareIgnoreCase(std::wstring_view a, std::wstring_view b);
wchar_t FoldCase(wchar_t c);

}  // namespace winapi::wql
