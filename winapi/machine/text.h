// Text conversions the simulated computer needs: UTF-8 for the database and
// host paths, wide strings for the Win32 side, and the case folding by which
// Windows compares names of accounts, keys and objects.
#pragma once

#include <string>
#include <string_view>

namespace winapi::machine {

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// Upper case as Windows folds names (per character, locale independent).
std::wstring UpperCase(std::wstring_view text);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);

// A computer name without the leading backslashes of "\\NAME".
std::wstring StripServerPrefix(std::wstring_view name);

}  // namespace winapi::machine
