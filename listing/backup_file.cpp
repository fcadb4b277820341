#include "listing/backup_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <type_traits>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "engine/file_open.h"
#include "engine/utf16_file.h"
#include "winapi/win32.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrik {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;
constexpr wchar_t kReplacement = 0xFFFD;

// UTF-16 code units a character takes.
size_t Utf16Units(uint32_t code) { return code >= 0x10000 ? 2 : 1; }

// The number of UTF-16LE code units in `at` (at most `units`) before the
// first line end; memchr finds candidate bytes much faster than a loop
// over the units could.
size_t UnitsBeforeLineEnd(const unsigned char* at, size_t units) {
    const size_t bytes = units * 2;
    size_t from = 0;
    while (from < bytes) {
        const void* found = std::memchr(at + from, '\n', bytes - from);
        if (!found) break;
        const size_t offset = static_cast<size_t>(static_cast<const unsigned char*>(found) - at);
        if (offset % 2 == 0 && offset + 1 < bytes && at[offset + 1] == 0) return offset / 2;
        from = offset + 1;
    }
    return units;
}

// Decodes `units` plain UTF-16LE code units into `out`; false when one of
// them is a NUL or half of a surrogate pair, which the caller takes one by
// one. On a little-endian machine the units go in blocks of a fixed count,
// each copied whole and widened without an early exit, which the compiler
// vectorises at every optimisation level (a loop of unknown length, or one
// that assembles each unit from its bytes, only at the highest or never);
// the few left over go byte by byte. With SSE2 the blocks are written out
// by hand, eight units to a step.
bool DecodePlainUnits(const unsigned char* at, size_t units, wchar_t* out) {
    unsigned special = 0;
    size_t k = 0;
#if defined(__SSE2__)
    // Eight units a step: a NUL or a surrogate half marks its lanes, and
    // each unit is widened by interleaving it with zeros.
    if constexpr (sizeof(wchar_t) == 4) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i halfMask = _mm_set1_epi16(static_cast<short>(0xF800));
        const __m128i half = _mm_set1_epi16(static_cast<short>(0xD800));
        __m128i marked = zero;
        for (; k + 8 <= units; k += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 2 * k));
            marked = _mm_or_si128(marked, _mm_or_si128(_mm_cmpeq_epi16(v, zero),
                                                       _mm_cmpeq_epi16(_mm_and_si128(v, halfMask), half)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_unpacklo_epi16(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 4), _mm_unpackhi_epi16(v, zero));
        }
        special |= _mm_movemask_epi8(marked) != 0;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        constexpr size_t kBlock = 16;
        for (; k + kBlock <= units; k += kBlock) {
            uint16_t block[kBlock];
            std::memcpy(block, at + 2 * k, sizeof block);
            unsigned blockSpecial = 0;
            for (size_t j = 0; j < kBlock; ++j) {
                const uint32_t unit = block[j];
                out[k + j] = static_cast<wchar_t>(unit);
                blockSpecial |= (unit == 0) | ((unit & 0xF800) == 0xD800);
            }
            special |= blockSpecial;
        }
    }
    for (; k < units; ++k) {
        const uint32_t unit = at[2 * k] | (static_cast<uint32_t>(at[2 * k + 1]) << 8);
        out[k] = static_cast<wchar_t>(unit);
        special |= (unit == 0) | ((unit & 0xF800) == 0xD800);
    }
    return special == 0;
}

void AppendCodePoint(std::wstring& text, uint32_t code) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (code >= 0x10000) {
            code -= 0x10000;
            text += static_cast<wchar_t>(0xD800 + (code >> 10));
            text += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
            return;
        }
    }
    text += static_cast<wchar_t>(code);
}

#ifndef _WIN32
// Decodes UTF-8; false when the bytes are not valid UTF-8 (each bad
// sequence becomes U+FFFD).
bool DecodeEightBit(const std::string& bytes, std::wstring& out) {
    bool valid = true;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[pos]);
        uint32_t code = 0;
        size_t length = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            code = lead;
            length = 1;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            code = lead & 0x07;
            length = 4;
            minimum = 0x10000;
        }
        bool ok = length != 0 && pos + length <= bytes.size();
        for (size_t i = 1; ok && i < length; ++i) {
            const auto next = static_cast<unsigned char>(bytes[pos + i]);
            if ((next & 0xC0) != 0x80) ok = false;
            code = (code << 6) | (next & 0x3F);
        }
        if (ok && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) ok = false;
        if (!ok) {
            valid = false;
            out += kReplacement;
            ++pos;
            continue;
        }
        AppendCodePoint(out, code);
        pos += length;
    }
    return valid;
}
#else
// The current code page, as the C runtime's text mode would convert it.
bool DecodeEightBit(const std::string& bytes, std::wstring& out) {
    if (bytes.empty()) return true;
    const int length = static_cast<int>(bytes.size());
    int needed = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    bool valid = needed > 0;
    const DWORD flags = valid ? MB_ERR_INVALID_CHARS : 0;
    if (!valid) needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    const size_t start = out.size();
    out.resize(start + static_cast<size_t>(needed));
    MultiByteToWideChar(CP_ACP, flags, bytes.data(), length, out.data() + start, needed);
    return valid;
}
#endif

// UTF-16 code units of `text` as Windows would hold it.
size_t CountUnits(const std::wstring& text) {
    if constexpr (sizeof(wchar_t) == 2) return text.size();
    size_t units = 0;
    for (wchar_t c : text) units += Utf16Units(static_cast<uint32_t>(c));
    return units;
}

// Cuts `text` to at most `limit` UTF-16 code units.
void CutToUnits(std::wstring& text, size_t limit) {
    size_t units = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        units += sizeof(wchar_t) == 2 ? 1 : Utf16Units(static_cast<uint32_t>(text[i]));
        if (units > limit) {
            text.resize(i);
            return;
        }
    }
}

// Makes a file that is being written a backup file: unbuffered (every
// record goes to the file in the call that writes it, and nothing of a
// failed record lingers in a buffer that a later flush or the close could
// still push out), starting with the byte-order mark.
FILE* StartBackupFile(FILE* file) {
    if (!file) return nullptr;
    static const unsigned char mark[2] = {0xFF, 0xFE};
    if (setvbuf(file, nullptr, _IONBF, 0) != 0 || fwrite(mark, 1, 2, file) != 2) {
        fclose(file);
        return nullptr;
    }
    return file;
}

}  // namespace

FILE* CreateBackupFile(const std::wstring& fileName) { return StartBackupFile(OpenFileForWriting(fileName)); }

FILE* CreateBackupFileBeside(const std::wstring& fileName, std::wstring& temporaryName) {
    temporaryName.clear();
    if (!IsPlainFileOrMissing(fileName)) return CreateBackupFile(fileName);
    // A name of its own per attempt: an existing file (or a link planted
    // under the name) is never opened, only passed by.
    static unsigned attempt = 0;
    const unsigned long long stamp = static_cast<unsigned long long>(time(nullptr));
    for (int tries = 0; tries < 100; ++tries) {
        const std::wstring candidate =
            fileName + L".tavrik-" + std::to_wstring(stamp) + L"-" + std::to_wstring(++attempt) + L".tmp";
        FILE* file = CreateNewFileForWriting(candidate, fileName);
        if (!file) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        file = StartBackupFile(file);
        if (!file) {
            DeleteFileNamed(candidate);
            return nullptr;
        }
        temporaryName = candidate;
        return file;
    }
    return nullptr;
}

bool CommitBackupFile(const std::wstring& temporaryName, const std::wstring& fileName) {
    if (temporaryName.empty()) return true;
    if (ReplaceFileWith(temporaryName, fileName)) return true;
    const int error = errno;
    DeleteFileNamed(temporaryName);
    errno = error;
    return false;
}

void DiscardBackupFile(const std::wstring& temporaryName) {
    if (!temporaryName.empty()) DeleteFileNamed(temporaryName);
}

bool WriteBackupRecord(FILE* file, const std::wstring& record) {
    std::wstring line;
    line.reserve(record.size() + 2);
    line += record;
    line += L"\r\n";
    const std::string bytes = ToUtf16LeBytes(line);
    const size_t written = fwrite(bytes.data(), 1, bytes.size(), file);
    if (written == bytes.size()) return true;

    // Cut off the part of the record that got through, so that the file
    // ends with a whole record and a restore never meets half of one. The
    // file is unbuffered, so its position is the end of that part: asking
    // for it only here spares a system call per record.
    const int error = errno;
    const long reached = ftell(file);
    const long end = reached >= static_cast<long>(written) ? reached - static_cast<long>(written) : -1;
    if (end >= 0) {
#ifdef _WIN32
        _chsize_s(_fileno(file), end);
#else
        if (ftruncate(fileno(file), end) != 0) {
            // The partial record stays; the restore refuses it as damaged.
        }
#endif
        fseek(file, end, SEEK_SET);
    }
    clearerr(file);
    errno = error;
    return false;
}

namespace {

// Sixteen UTF-32 characters below U+10000 as sixteen UTF-16LE units at
// `end`; false, writing nothing, when one of them is not below U+10000.
// With SSE2 the values are moved down by 0x8000 so that the signed packs
// keep every one of them exactly, and moved back up once packed.
bool PutBasicBlock(const wchar_t* in, char* end) {
#if defined(__SSE2__)
    if constexpr (sizeof(wchar_t) == 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
        const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        const __m128i high = _mm_and_si128(any, _mm_set1_epi32(static_cast<int>(0xFFFF0000u)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
        const __m128i bias = _mm_set1_epi32(0x8000);
        const __m128i back = _mm_set1_epi16(static_cast<short>(0x8000));
        const __m128i low = _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(a, bias), _mm_sub_epi32(b, bias)), back);
        const __m128i top = _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(c, bias), _mm_sub_epi32(d, bias)), back);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(end), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(end + 16), top);
        return true;
    }
#endif
    unsigned long any = 0;
    for (int i = 0; i < 16; ++i) any |= static_cast<std::make_unsigned_t<wchar_t>>(in[i]);
    if (any >= 0x10000) return false;
    for (int i = 0; i < 16; ++i) {
        const auto unit = static_cast<unsigned>(static_cast<std::make_unsigned_t<wchar_t>>(in[i]));
        end[2 * i] = static_cast<char>(unit & 0xFF);
        end[2 * i + 1] = static_cast<char>((unit >> 8) & 0xFF);
    }
    return true;
}

}  // namespace

void AppendUtf16Le(std::string& out, std::wstring_view text) {
    // Sized for the worst case (every character a surrogate pair) and
    // filled through a pointer, as ToUtf16LeBytes does.
    const size_t start = out.size();
    out.resize(start + text.size() * 4);
    char* end = out.data() + start;
    auto put = [&end](unsigned unit) {
        *end++ = static_cast<char>(unit & 0xFF);
        *end++ = static_cast<char>((unit >> 8) & 0xFF);
    };
    const wchar_t* in = text.data();
    const wchar_t* const last = in + text.size();
    // Records are almost all below U+10000: sixteen characters at a time,
    // one unit each, while they are.
    while (last - in >= 16 && PutBasicBlock(in, end)) {
        in += 16;
        end += 32;
    }
    // From a block holding a character past U+FFFF on: eight at a time
    // while below it, then one by one.
    while (last - in >= 8) {
        unsigned long any = 0;
        for (int i = 0; i < 8; ++i) any |= static_cast<std::make_unsigned_t<wchar_t>>(in[i]);
        if (any >= 0x10000) break;
        for (int i = 0; i < 8; ++i) put(static_cast<unsigned>(static_cast<std::make_unsigned_t<wchar_t>>(in[i])));
        in += 8;
    }
    for (; in != last; ++in) {
        auto code = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(*in));
        if (sizeof(wchar_t) == 2 || code < 0x10000) {
            put(static_cast<unsigned>(code));
        } else if (code <= 0x10FFFF) {
            code -= 0x10000;
            put(static_cast<unsigned>(0xD800 + (code >> 10)));
            put(static_cast<unsigned>(0xDC00 + (code & 0x3FF)));
        } else {
            put(0xFFFD);
        }
    }
    out.resize(static_cast<size_t>(end - out.data()));
}

BackupRecordWriter::BackupRecordWriter(FILE* file) : fd_(fileno(file)) {
#ifdef _WIN32
    end_ = _lseeki64(fd_, 0, SEEK_END);
#else
    end_ = lseek(fd_, 0, SEEK_END);
#endif
}

void BackupRecordWriter::Append(std::wstring_view record) {
    AppendUtf16Le(block_, record);
    AppendUtf16Le(block_, L"\r\n");
}

void BackupRecordWriter::AppendSddlRecordHead(std::wstring_view name, DWORD objectType) {
    // The bytes of FormatSddlRecord(name, objectType, sddl) up to the SDDL
    // text; the short fixed parts go in as bytes.
    const bool quoted = name.empty() || name.front() != L'"';
    if (quoted) block_.append("\"\0", 2);
    AppendUtf16Le(block_, name);
    if (quoted) block_.append("\"\0,\0", 4);
    else block_.append(",\0", 2);
    // The type as "%d" writes it.
    const int type = static_cast<int>(objectType);
    unsigned long magnitude = type < 0 ? 0ul - static_cast<unsigned long>(static_cast<long>(type))
                                       : static_cast<unsigned long>(type);
    char digits[16];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (type < 0) block_.append("-\0", 2);
    while (count > 0) {
        block_.push_back(digits[--count]);
        block_.push_back('\0');
    }
    block_.append(",\0\"\0", 4);
}

void BackupRecordWriter::AppendSddlRecord(std::wstring_view name, DWORD objectType, std::wstring_view sddl) {
    AppendSddlRecordHead(name, objectType);
    AppendUtf16Le(block_, sddl);
    block_.append("\"\0\r\0\n\0", 6);
}

void BackupRecordWriter::AppendSddlRecordEncoded(std::wstring_view name, DWORD objectType,
                                                 std::string_view sddlUtf16Le) {
    AppendSddlRecordHead(name, objectType);
    block_.append(sddlUtf16Le);
    block_.append("\"\0\r\0\n\0", 6);
}

bool BackupRecordWriter::Flush() {
    const char* data = block_.data();
    size_t left = block_.size();
    int error = 0;
    while (left > 0) {
#ifdef _WIN32
        const unsigned chunk = static_cast<unsigned>(std::min<size_t>(left, 1u << 30));
        const int written = _write(fd_, data, chunk);
#else
        const ssize_t written = write(fd_, data, left);
#endif
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? errno : ENOSPC;
            break;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    const size_t taken = block_.size() - left;
    block_.clear();
    if (left == 0) {
        // A pipe or a device has no length to come back to.
        if (end_ >= 0) end_ += static_cast<long long>(taken);
        return true;
    }
    // Cut off what got through of the block, so that the file ends with a
    // whole record and a restore never meets half of one.
    if (end_ >= 0 && taken > 0) {
#ifdef _WIN32
        _chsize_s(fd_, end_);
        _lseeki64(fd_, end_, SEEK_SET);
#else
        if (ftruncate(fd_, end_) != 0) {
            // The partial block stays; the restore refuses its last record as damaged.
        }
        lseek(fd_, end_, SEEK_SET);
#endif
    }
    errno = error;
    return false;
}

BackupLineReader::BackupLineReader(FILE* file, Encoding encoding)
    : file_(file), encoding_(encoding), buffer_(new unsigned char[kBufferBytes]) {}

BackupLineReader::~BackupLineReader() = default;

bool BackupLineReader::FillBuffer() {
    if (bufferPos_ < bufferSize_) return true;
    if (endOfFile_ || failed_) return false;
    bufferSize_ = fread(buffer_.get(), 1, kBufferBytes, file_);
    bufferPos_ = 0;
    if (bufferSize_ == 0) {
        if (ferror(file_)) failed_ = true;
        endOfFile_ = true;
        return false;
    }
    return true;
}

bool BackupLineReader::ReadLine(BackupLine& line) {
    // The text keeps its capacity from line to line.
    line.text.clear();
    line.overlong = false;
    line.damaged = false;
    return encoding_ == Encoding::Utf16Le ? ReadUtf16Line(line) : ReadEightBitLine(line);
}

bool BackupLineReader::ReadUtf16Line(BackupLine& line) {
    size_t units = 0;
    bool any = false;
    uint32_t highSurrogate = 0;  // pending, not yet stored
    auto store = [&](uint32_t code, size_t codeUnits) {
        if (units + codeUnits > kMaxBackupLineUnits) {
            line.overlong = true;
            return;
        }
        units += codeUnits;
        AppendCodePoint(line.text, code);
    };
    for (;;) {
        // A run of plain code units (no surrogate, NUL or line end) that
        // fits the line is taken in one piece. Runs are decoded in pieces of
        // at most kPiece units, so that a line full of surrogate pairs, each
        // taken one by one below, is not decoded again to its end each time.
        if (highSurrogate == 0 && bufferPos_ + 1 < bufferSize_ && units < kMaxBackupLineUnits) {
            constexpr size_t kPiece = 256;
            const unsigned char* at = buffer_.get() + bufferPos_;
            const size_t most = std::min((bufferSize_ - bufferPos_) / 2, kMaxBackupLineUnits - units);
            size_t run = UnitsBeforeLineEnd(at, most);
            const size_t start = line.text.size();
            size_t taken = 0;
            while (taken < run) {
                const size_t piece = std::min(kPiece, run - taken);
                line.text.resize(start + taken + piece);
                if (!DecodePlainUnits(at + 2 * taken, piece, line.text.data() + start + taken)) {
                    // Keep the plain units before the first special one.
                    size_t plain = 0;
                    while (line.text[start + taken + plain] != 0 &&
                           (line.text[start + taken + plain] & 0xF800) != 0xD800) {
                        ++plain;
                    }
                    taken += plain;
                    run = taken;
                    break;
                }
                taken += piece;
            }
            line.text.resize(start + taken);
            if (taken > 0) {
                units += taken;
                bufferPos_ += 2 * taken;
                any = true;
                continue;
            }
        }
        if (!FillBuffer()) break;
        unsigned lowByte = buffer_[bufferPos_++];
        if (!FillBuffer()) {
            // Half a code unit at the end of the file.
            line.damaged = true;
            any = true;
            break;
        }
        unsigned highByte = buffer_[bufferPos_++];
        any = true;
        const uint32_t unit = lowByte | (highByte << 8);

        if (highSurrogate != 0) {
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                store(0x10000 + ((highSurrogate - 0xD800) << 10) + (unit - 0xDC00), 2);
                highSurrogate = 0;
                continue;
            }
            line.damaged = true;
            store(kReplacement, 1);
            highSurrogate = 0;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            highSurrogate = unit;
            continue;
        }
        // U+DC80..U+DCFF alone stand for bytes of a Linux file name that are
        // not UTF-8; they are kept so the name reaches that file again.
        if (unit >= 0xDC80 && unit <= 0xDCFF) {
            store(unit, 1);
            continue;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            line.damaged = true;
            store(kReplacement, 1);
            continue;
        }
        if (unit == 0) line.damaged = true;
        store(unit, 1);
        if (unit == L'\n') break;
    }
    if (highSurrogate != 0) {
        line.damaged = true;
        store(kReplacement, 1);
    }
    // A lone half code unit after the last line end is no line of its own.
    if (line.text.empty() && !line.overlong) return false;
    return any;
}

bool BackupLineReader::ReadEightBitLine(BackupLine& line) {
    // Bytes kept per line: enough for kMaxBackupLineUnits characters of
    // any code page; a longer physical line is overlong whatever it holds.
    constexpr size_t kMaxBytes = kMaxBackupLineUnits * 4;
    std::string bytes;
    bool any = false;
    bool tooManyBytes = false;
    bool sawNul = false;
    for (;;) {
        if (!FillBuffer()) break;
        const unsigned char byte = buffer_[bufferPos_++];
        any = true;
        if (byte == 0) sawNul = true;
        if (bytes.size() < kMaxBytes) {
            bytes.push_back(static_cast<char>(byte));
        } else {
            tooManyBytes = true;
        }
        if (byte == '\n') break;
    }
    if (!any) return false;
    // Text mode: CR LF arrives as LF.
    if (!tooManyBytes && bytes.size() >= 2 && bytes[bytes.size() - 1] == '\n' && bytes[bytes.size() - 2] == '\r') {
        bytes.erase(bytes.size() - 2, 1);
    }
    line.damaged = !DecodeEightBit(bytes, line.text) || sawNul;
    if (tooManyBytes || CountUnits(line.text) > kMaxBackupLineUnits) {
        line.overlong = true;
        CutToUnits(line.text, kMaxBackupLineUnits);
    }
    return true;
}

}  // namespace tavrik
