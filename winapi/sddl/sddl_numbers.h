// Numbers in SDDL and SID text. Windows reads every one of them with the C
// runtime's wcstoul (or _wcstoui64 for the 48-bit identifier authority), so
// texts that Windows accepts carry that function's habits: blanks and a sign
// before the digits, values that saturate instead of failing, and a minus
// that wraps the value around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace winapi {

struct CNumber {
    uint64_t value = 0;
    size_t end = 0;  // index just past the last digit
};

// Reads a number at `pos` as wcstoul does with the given base: C blanks and
// one '+' or '-' may come first; base 0 means "0x" hex, a leading 0 octal,
// else decimal; base 16 also takes an optional "0x". A value above `max`
// (0xFFFFFFFF for wcstoul, 2^64-1 for _wcstoui64) becomes `max`, and a
// leading minus then negates the result modulo max+1, so "-1" reads as
// `max` and an overflowing "-9876543210" as 1. nullopt when no digit follows.
std::optional<CNumber> ReadCNumber(std::wstring_view text, size_t pos, int base, uint64_t max);

}  // namespace winapi
