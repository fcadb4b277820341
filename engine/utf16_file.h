// Text files the engine writes (log, backup): UTF-16LE with a byte-order
// mark, lines ended by CR LF, the same bytes on every platform.
#pragma once

#include <cstdio>
#include <string>

namespace tavrik {

// Opens `fileName` for appending in binary mode and writes the byte-order
// mark when the file is empty. Null on failure (errno tells why).
FILE* OpenUtf16FileForAppend(const std::wstring& fileName);

// The UTF-16LE bytes of `text` (surrogate pairs for characters above U+FFFF;
// an invalid code point becomes U+FFFD).
std::string ToUtf16LeBytes(const std::wstring& text);

// Writes `text` as UTF-16LE and flushes; false when the write fails.
bool WriteUtf16(FILE* file, const std::wstring& text);

}  // namespace tavrik
