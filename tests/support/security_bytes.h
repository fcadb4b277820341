// Small builders for binary security data in tests: SIDs from their parts,
// byte strings from hex, and heap copies sized exactly so that
// AddressSanitizer sees any read past the end.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "winapi/win32.h"

namespace tavrik::test {

using Bytes = std::vector<BYTE>;

// S-1-<authority>-<subs...> in Windows' binary layout.
inline Bytes MakeSid(uint64_t authority, std::initializer_list<DWORD> subs) {
    Bytes sid(8 + 4 * subs.size());
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(subs.size());
    for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
    size_t at = 8;
    for (DWORD sub : subs) {
        for (int i = 0; i < 4; ++i) sid[at++] = static_cast<BYTE>(sub >> (8 * i));
    }
    return sid;
}

inline Bytes Everyone() { return MakeSid(1, {0}); }
inline Bytes LocalSystem() { return MakeSid(5, {18}); }
inline Bytes Administrators() { return MakeSid(5, {32, 544}); }
inline Bytes Users() { return MakeSid(5, {32, 545}); }
inline Bytes CreatorOwner() { return MakeSid(3, {0}); }

// "01 00 ff" -> {0x01, 0x00, 0xff}; whitespace is ignored.
inline Bytes Hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\n') continue;
        digits += c;
        if (digits.size() == 2) {
            out.push_back(static_cast<BYTE>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return out;
}

// A heap block holding exactly these bytes (a vector may keep spare capacity
// that hides an over-read from AddressSanitizer).
struct ExactCopy {
    explicit ExactCopy(const Bytes& bytes) : size(bytes.size()), data(new BYTE[bytes.empty() ? 1 : bytes.size()]) {
        std::copy(bytes.begin(), bytes.end(), data.get());
    }
    size_t size;
    std::unique_ptr<BYTE[]> data;
};

inline PSID Sid(Bytes& bytes) { return bytes.data(); }
inline PACL Acl(Bytes& bytes) { return reinterpret_cast<PACL>(bytes.data()); }

}  // namespace tavrik::test
