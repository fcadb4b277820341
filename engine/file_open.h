// Opening a file by its wide name: the one place where the platforms differ
// (Windows takes the wide name, Linux a UTF-8 one).
#pragma once

#include <cstdio>
#include <string>

namespace tavrik {

// Opens `fileName` for binary appending; null on failure.
FILE* OpenFileForAppend(const std::wstring& fileName);
// Opens `fileName` for binary reading; null on failure.
FILE* OpenFileForReading(const std::wstring& fileName);
// Creates `fileName`, or truncates it, for binary writing; null on failure.
FILE* OpenFileForWriting(const std::wstring& fileName);

}  // namespace tavrik
