#include "engine/file_open.h"

#include <cerrno>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdint>

#include "winapi/win32.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#endif

namespace tavrik {

namespace {

#ifdef _WIN32
FILE* OpenWide(const std::wstring& fileName, const wchar_t* mode) {
    // A name with an embedded NUL would silently name another file.
    if (fileName.find(L'\0') != std::wstring::npos) return nullptr;
    FILE* file = nullptr;
    if (_wfopen_s(&file, fileName.c_str(), mode) != 0) return nullptr;
    return file;
}
#else
std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        auto code = static_cast<uint32_t>(c);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

FILE* OpenWide(const std::wstring& fileName, const char* mode) {
    // A name with an embedded NUL would silently name another file.
    if (fileName.find(L'\0') != std::wstring::npos) return nullptr;
    return fopen(ToUtf8(fileName).c_str(), mode);
}
#endif

}  // namespace

#ifdef _WIN32
FILE* CreateNewFileForWriting(const std::wstring& fileName, const std::wstring& /*modeOf*/) {
    if (fileName.find(L'\0') != std::wstring::npos) return nullptr;
    HANDLE handle = CreateFileW(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) ? EEXIST : EACCES;
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(descriptor, "wb");
    if (!file) _close(descriptor);
    return file;
}

bool IsPlainFileOrMissing(const std::wstring& fileName) {
    const DWORD attributes = GetFileAttributesW(fileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool ReplaceFileWith(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool DeleteFileNamed(const std::wstring& fileName) { return DeleteFileW(fileName.c_str()) != FALSE; }

FILE* OpenFileForAppend(const std::wstring& fileName) { return OpenWide(fileName, L"ab"); }
FILE* OpenFileForReading(const std::wstring& fileName) { return OpenWide(fileName, L"rb"); }
FILE* OpenFileForWriting(const std::wstring& fileName) { return OpenWide(fileName, L"wb"); }
#else
FILE* CreateNewFileForWriting(const std::wstring& fileName, const std::wstring& modeOf) {
    if (fileName.find(L'\0') != std::wstring::npos) return nullptr;
    struct stat existing = {};
    const bool copyMode = !modeOf.empty() && modeOf.find(L'\0') == std::wstring::npos &&
                          stat(ToUtf8(modeOf).c_str(), &existing) == 0;
    // Private until the mode of the file it replaces is set.
    const int descriptor = open(ToUtf8(fileName).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                copyMode ? 0600 : 0666);
    if (descriptor < 0) return nullptr;
    if (copyMode && fchmod(descriptor, existing.st_mode & 07777) != 0) {
        // The backup stays readable by its owner only; nothing is lost.
    }
    FILE* file = fdopen(descriptor, "wb");
    if (!file) close(descriptor);
    return file;
}

bool IsPlainFileOrMissing(const std::wstring& fileName) {
    if (fileName.find(L'\0') != std::wstring::npos) return false;
    struct stat status = {};
    if (lstat(ToUtf8(fileName).c_str(), &status) != 0) return true;
    return S_ISREG(status.st_mode);
}

bool ReplaceFileWith(const std::wstring& from, const std::wstring& to) {
    return rename(ToUtf8(from).c_str(), ToUtf8(to).c_str()) == 0;
}

bool DeleteFileNamed(const std::wstring& fileName) { return unlink(ToUtf8(fileName).c_str()) == 0; }

FILE* OpenFileForAppend(const std::wstring& fileName) { return OpenWide(fileName, "ab"); }
FILE* OpenFileForReading(const std::wstring& fileName) { return OpenWide(fileName, "rb"); }
FILE* OpenFileForWriting(const std::wstring& fileName) { return OpenWide(fileName, "wb"); }
#endif

}  // namespace tavrik
