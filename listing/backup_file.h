// The backup file on disk: UTF-16LE with the byte-order mark FF FE, every
// record followed by CR LF. Restore also reads 8-bit text (the current code
// page; UTF-8 on Linux) when the mark is missing.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace tavrik {

// Creates (or empties) the backup file and writes the byte-order mark.
// Null when the file cannot be created or the mark not written.
FILE* CreateBackupFile(const std::wstring& fileName);

// Writes one record and its CR LF; false when the write fails (errno tells
// why). The record reaches the file before this returns, so a full disk is
// seen here, and a record that did not fit is cut off again: the file only
// ever holds whole records.
bool WriteBackupRecord(FILE* file, const std::wstring& record);

// The longest line a restore takes in one piece, its line end included, in
// UTF-16 code units (a buffer of 8,192 characters with room for the
// terminating null).
constexpr size_t kMaxBackupLineUnits = 8189;

struct BackupLine {
    // The line with its line end, at most kMaxBackupLineUnits code units.
    std::wstring text;
    // The physical line was longer; the rest of it was read and dropped,
    // so no part of it can be taken for an entry of its own.
    bool overlong = false;
    // The line was not valid in its encoding (an unpaired surrogate, a
    // byte sequence the code page does not map, a partial code unit at the
    // end of the file) or holds a NUL.
    bool damaged = false;
};

// Reads the lines of an open backup file, from its current position.
class BackupLineReader {
public:
    enum class Encoding { Utf16Le, EightBit };

    BackupLineReader(FILE* file, Encoding encoding);
    ~BackupLineReader();
    BackupLineReader(const BackupLineReader&) = delete;
    BackupLineReader& operator=(const BackupLineReader&) = delete;

    // The next line; false at the end of the file or on a read error.
    bool ReadLine(BackupLine& line);
    // A read error (not the end of the file) stopped the reading.
    bool Failed() const { return failed_; }

private:
    bool FillBuffer();
    bool ReadUtf16Line(BackupLine& line);
    bool ReadEightBitLine(BackupLine& line);

    FILE* file_;
    Encoding encoding_;
    std::unique_ptr<unsigned char[]> buffer_;
    size_t bufferSize_ = 0;
    size_t bufferPos_ = 0;
    bool endOfFile_ = false;
    bool failed_ = false;
};

}  // namespace tavrik
