// The backup file on disk: UTF-16LE with the byte-order mark FF FE, every
// record followed by CR LF. Restore also reads 8-bit text (the current code
// page; UTF-8 on Linux) when the mark is missing.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/win32.h"

namespace tavrik {

// Creates (or empties) the backup file and writes the byte-order mark.
// Null when the file cannot be created or the mark not written.
FILE* CreateBackupFile(const std::wstring& fileName);

// Starts a backup that replaces `fileName` only when it is complete: the
// records go to a new file beside it, named in `temporaryName`, which
// CommitBackupFile later renames into place. A target that exists but is
// no ordinary file (a device, a pipe, a link) is written directly, as
// CreateBackupFile does, and `temporaryName` is left empty. Null when no
// file can be created.
FILE* CreateBackupFileBeside(const std::wstring& fileName, std::wstring& temporaryName);
// Puts a complete backup in place of `fileName`; false when the rename
// fails (the temporary file is then deleted). Nothing to do for an empty
// `temporaryName`.
bool CommitBackupFile(const std::wstring& temporaryName, const std::wstring& fileName);
// Deletes the temporary file of a backup that did not complete; the file
// it was to replace stays as it was.
void DiscardBackupFile(const std::wstring& temporaryName);

// Writes one record and its CR LF; false when the write fails (errno tells
// why). The record reaches the file before this returns, so a full disk is
// seen here, and a record that did not fit is cut off again: the file only
// ever holds whole records.
bool WriteBackupRecord(FILE* file, const std::wstring& record);

// Appends the UTF-16LE bytes of `text` to `out`, as ToUtf16LeBytes gives
// them.
void AppendUtf16Le(std::string& out, std::wstring_view text);

// Writes records to a backup file made by CreateBackupFile or
// CreateBackupFileBeside straight to its descriptor, a block at a time.
// Records gather in a buffer kept from block to block; Flush hands the
// block to the system in one write. A block that does not get through
// whole is cut off the file again, so the file only ever holds whole
// records, and a record the file did not take can be kept from every
// other output by holding that output back until its block is written.
class BackupRecordWriter {
public:
    // `file` is unbuffered and positioned at its end (after the mark).
    explicit BackupRecordWriter(FILE* file);
    BackupRecordWriter(const BackupRecordWriter&) = delete;
    BackupRecordWriter& operator=(const BackupRecordWriter&) = delete;

    // Adds one record and its CR LF to the block.
    void Append(std::wstring_view record);
    // Adds the record FormatSddlRecord makes, and its CR LF, to the block
    // without building it as text first.
    void AppendSddlRecord(std::wstring_view name, DWORD objectType, std::wstring_view sddl);
    // The same record with its SDDL text already in UTF-16LE (as
    // AppendUtf16Le gives it), for a caller that writes the same few
    // descriptors again and again and converts each text once.
    void AppendSddlRecordEncoded(std::wstring_view name, DWORD objectType, std::string_view sddlUtf16Le);
    // Bytes in the block, not yet written.
    size_t Pending() const { return block_.size(); }
    // Writes the block; false when the file did not take all of it (errno
    // tells why): the block is dropped and the file ends with the record
    // before it.
    bool Flush();

private:
    // The record's bytes before its SDDL text: the name, the type and the
    // quote that opens the text.
    void AppendSddlRecordHead(std::wstring_view name, DWORD objectType);

    int fd_;
    long long end_;  // the file's length: where the next block begins
    std::string block_;
};

// A listing's backup records not yet written, and the same records held
// back from the listing's messages until their block is in the file: a
// record the file did not take reaches no other output.
struct BackupBlock {
    explicit BackupBlock(FILE* file) : writer(file) {}
    BackupRecordWriter writer;
    std::vector<std::wstring> held;
    bool failed = false;  // a block did not get through; the backup is lost
    int error = 0;        // errno of that write
};

// The size of block a listing gathers before it writes it.
constexpr size_t kBackupBlockBytes = 64 * 1024;

// The longest line a restore takes in one piece, its line end included, in
// UTF-16 code units: the largest record a listing can write. An ACL holds
// at most 64 KiB, and no ACE takes more than 8 characters of SDDL per byte
// (the smallest ACE, 16 bytes, is at most about 110 characters); a
// descriptor has two ACLs, an owner and a group, and a name is at most
// 32,767 units long. The bound keeps one line's memory in the megabytes.
constexpr size_t kMaxAclBytes = 65535;
constexpr size_t kMaxSddlUnitsPerAclByte = 8;
constexpr size_t kMaxObjectNameUnits = 32767;
constexpr size_t kMaxBackupLineUnits =
    2 * kMaxAclBytes * kMaxSddlUnitsPerAclByte + kMaxObjectNameUnits + 2 * 200 + 64;

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
