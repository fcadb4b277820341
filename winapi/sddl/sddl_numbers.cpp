// The C runtime's way of reading an unsigned number, for SDDL and SID text.
#include "winapi/sddl/sddl_numbers.h"

#include "winapi/sddl/sddl_characters.h"

namespace winapi {

std::optional<CNumber> ReadCNumber(std::wstring_view text, size_t pos, int base, uint64_t max) {
    auto at = [&text](size_t i) { return i < text.size() ? text[i] : L'\0'; };
    size_t i = pos;
    while (IsBlank(at(i))) ++i;
    bool negative = false;
    if (at(i) == L'+' || at(i) == L'-') negative = at(i++) == L'-';
    // "0x" counts as a prefix only when a hex digit follows; otherwise the
    // number is the lone 0 and ends before the x.
    bool hexPrefix = at(i) == L'0' && (at(i + 1) == L'x' || at(i + 1) == L'X') && HexValue(at(i + 2)) >= 0;
    if (base == 0) base = hexPrefix ? 16 : at(i) == L'0' ? 8 : 10;
    if (base == 16 && hexPrefix) i += 2;
    uint64_t value = 0;
    bool overflow = false;
    size_t digits = 0;
    for (;; ++i, ++digits) {
        int digit = HexValue(at(i));
        if (digit < 0 || digit >= base) break;
        if (overflow) continue;
        uint64_t d = static_cast<uint64_t>(digit);
        if (value > (max - d) / static_cast<uint64_t>(base)) {
            overflow = true;
            value = max;
        } else {
            value = value * static_cast<uint64_t>(base) + d;
        }
    }
    if (digits == 0) return std::nullopt;
    // Negation after saturation, as Windows does it: -(max) wraps to 1.
    if (negative) value = (0 - value) & max;
    return CNumber{value, i};
}

}  // namespace winapi
