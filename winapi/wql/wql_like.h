// WQL's LIKE: % is any run of characters, _ any one character, [abc] and
// [a-f] one character of a set, [^...] one character outside it; a
// wildcard between brackets stands for itself ("[%]", "[_]"). Case is ignored.
#pragma once

#include <string_view>

namespace winapi::wql {

// A pattern whose '[' is never closed matches nothing.
bool MatchesLike(std::wstring_view text, std::wstring_view pattern);

}  // namespace winapi::wql
