#include "engine/utf16_file.h"

#include <type_traits>

#include "engine/file_open.h"

namespace tavrik {

namespace {

char* PutUnit(char* out, unsigned unit) {
    out[0] = static_cast<char>(unit & 0xFF);
    out[1] = static_cast<char>((unit >> 8) & 0xFF);
    return out + 2;
}

}  // namespace

std::string ToUtf16LeBytes(const std::wstring& text) {
    // Sized once for the worst case (every character a surrogate pair) and
    // filled through a pointer: a push per byte cost more than the rest of
    // writing a record.
    std::string out(text.size() * 4, '\0');
    char* end = out.data();
    for (wchar_t c : text) {
        auto code = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(c));
        if (sizeof(wchar_t) == 2 || code < 0x10000) {
            end = PutUnit(end, static_cast<unsigned>(code));
        } else if (code <= 0x10FFFF) {
            code -= 0x10000;
            end = PutUnit(end, static_cast<unsigned>(0xD800 + (code >> 10)));
            end = PutUnit(end, static_cast<unsigned>(0xDC00 + (code & 0x3FF)));
        } else {
            end = PutUnit(end, 0xFFFD);
        }
    }
    out.resize(static_cast<size_t>(end - out.data()));
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
