#include "engine/utf16_file.h"

#include <type_traits>

#include "engine/file_open.h"

namespace tavrik {

namespace {

void AppendUnit(std::string& out, unsigned unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

}  // namespace

std::string ToUtf16LeBytes(const std::wstring& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (wchar_t c : text) {
        auto code = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(c));
        if (sizeof(wchar_t) == 2 || code < 0x10000) {
            AppendUnit(out, static_cast<unsigned>(code));
        } else if (code <= 0x10FFFF) {
            code -= 0x10000;
            AppendUnit(out, static_cast<unsigned>(0xD800 + (code >> 10)));
            AppendUnit(out, static_cast<unsigned>(0xDC00 + (code & 0x3FF)));
        } else {
            AppendUnit(out, 0xFFFD);
        }
    }
    return out;
}

FILE* OpenUtf16FileForAppend(const std::wstring& fileName) {
    FILE* file = OpenFileForAppend(fileName);
    if (!file) return nullptr;
    if (fseek(file, 0, SEEK_END) != 0) {
        fclose(file);
        return nullptr;
    }
    if (ftell(file) == 0) {
        static const unsigned char bom[2] = {0xFF, 0xFE};
        if (fwrite(bom, 1, 2, file) != 2 || fflush(file) != 0) {
            fclose(file);
            return nullptr;
        }
    }
    return file;
}

bool WriteUtf16(FILE* file, const std::wstring& text) {
    const std::string bytes = ToUtf16LeBytes(text);
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) return false;
    return fflush(file) == 0;
}

}  // namespace tavrik
