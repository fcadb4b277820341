#include "engine/file_open.h"

#ifndef _WIN32
#include <cstdint>
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
FILE* OpenFileForAppend(const std::wstring& fileName) { return OpenWide(fileName, L"ab"); }
FILE* OpenFileForReading(const std::wstring& fileName) { return OpenWide(fileName, L"rb"); }
FILE* OpenFileForWriting(const std::wstring& fileName) { return OpenWide(fileName, L"wb"); }
#else
FILE* OpenFileForAppend(const std::wstring& fileName) { return OpenWide(fileName, "ab"); }
FILE* OpenFileForReading(const std::wstring& fileName) { return OpenWide(fileName, "rb"); }
FILE* OpenFileForWriting(const std::wstring& fileName) { return OpenWide(fileName, "wb"); }
#endif

}  // namespace tavrik
