// The character classes the SDDL and string-SID readers share. Windows reads
// the numbers in these texts with the C library, so "blank" is the C
// library's white space and hex digits come in either case; both are fixed
// here rather than taken from the locale.
#pragma once

namespace winapi {

inline bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// The value of a hex digit, or -1 for any other character.
inline int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace winapi
