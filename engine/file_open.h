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

// Creates `fileName` for binary writing only when nothing of that name
// exists (no link is followed); null otherwise. On Linux the new file takes
// the permission bits of `modeOf` when that names an existing file.
FILE* CreateNewFileForWriting(const std::wstring& fileName, const std::wstring& modeOf);
// True when `fileName` names nothing, or an ordinary file (not a device,
// a pipe, a directory or a link).
bool IsPlainFileOrMissing(const std::wstring& fileName);
// Renames `from` to `to`, replacing `to` in one step; false on failure.
bool ReplaceFileWith(const std::wstring& from, const std::wstring& to);
// Deletes the file `fileName`; false on failure.
bool DeleteFileNamed(const std::wstring& fileName);

}  // namespace tavrik
