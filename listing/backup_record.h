// One entry of a backup file: DQ name DQ "," type "," DQ SDDL DQ.
//
// The format has no escaping, so a name that holds DQ followed by ",", a
// leading DQ, a line break or a NUL cannot be written so that it reads back
// as the same name. The listing refuses to put such a name into a backup
// file, and the restore writes a descriptor only for a line that has the
// exact shape the listing writes, so no line can steer a write to an object
// other than the one it names.
#pragma once

#include <string>
#include <string_view>

#include "winapi/win32.h"

namespace tavrik {

// The name field as listings write it: in double quotes, unless the name
// already starts with one.
std::wstring QuotedObjectName(const std::wstring& name);

// The backup record of one object (without its line end).
std::wstring FormatSddlRecord(const std::wstring& name, DWORD objectType, std::wstring_view sddl);
// The same into `record`, whose room is kept from object to object.
void FormatSddlRecord(const std::wstring& name, DWORD objectType, std::wstring_view sddl, std::wstring* record);

// True when `text` holds a CR, LF or NUL: such text would split a record
// into several lines of the file.
bool HasLineBreak(std::wstring_view text);
// HasLineBreak for the SDDL texts of a listing, which mostly repeat from
// object to object: the verdict on the last text is kept (per thread), and
// a text equal to it takes that verdict after one comparison of memory.
bool SddlHasLineBreak(std::wstring_view sddl);

// True when `name` reads back from a record as itself: no DQ followed by
// ",", no leading DQ, no line break and not empty.
bool IsBackupSafeName(std::wstring_view name);

// `name` for a message line: control characters shown as {U+000A}, so a
// hostile name cannot add lines of its own to a log.
std::wstring DisplayableName(std::wstring_view name);
// The same without a copy: `name` itself when it needs no escapes, else
// its escaped form, kept in `room`.
const std::wstring& DisplayableName(const std::wstring& name, std::wstring* room);

struct BackupEntry {
    std::wstring name;     // object name, by position
    DWORD objectType = 0;  // as _wtoi reads the type field
    std::wstring sddl;     // upper-cased SDDL text
    // The line has exactly the shape the listing writes: DQ, a name without
    // a leading DQ, DQ ",", decimal digits, "," DQ, the SDDL text, DQ.
    bool exactShape = false;
    // The record of an object that had none of the parts the backup asked
    // for: the exact shape with an empty SDDL text (DQ name DQ "," type ","
    // DQ DQ).
    bool noParts = false;
};

// The name of the record an undo file starts with: a file record holding
// no descriptor parts, which a restore that does not know the mark passes
// over ("nothing to restore"), and which tells one that does that the
// records after it are the before-images of a job, to be put back exactly.
inline constexpr wchar_t kUndoFileMark[] = L"tavrik undo file";
// The record's type field is the version of the file's records: from 1 on
// files are recorded as they stand, from 2 on registry keys too (a key
// before what a write above it hands down reaches it), so only from 2 on
// does a restore put keys back as recorded. From 3 on (Linux) the file
// holds a record of every object its job changed, those a change of their
// directory reached included, so a restore puts each record back alone and
// hands nothing down from a directory: an object without a record was not
// the job's to change. Windows propagates out of the journal's sight, and
// its files stay at 2.
inline constexpr DWORD kUndoFileKeysAsRecorded = 2;
inline constexpr DWORD kUndoFileEveryChangeRecorded = 3;
inline constexpr DWORD kUndoFileVersion = kUndoFileEveryChangeRecorded;
// That record, without its line end.
std::wstring UndoFileMarkRecord(DWORD version = kUndoFileVersion);
// The version an undo file's first record `entry` gives; 0 when it is no mark.
DWORD UndoFileVersion(const BackupEntry& entry);

// Splits one line (its line end may still be attached) into its fields by
// the positions of the first DQ "," and the first "," DQ behind it.
BackupEntry ParseBackupEntry(std::wstring_view line);
// The same into `entry`, whose strings keep their room from line to line.
void ParseBackupEntry(std::wstring_view line, BackupEntry* entry);

// The SECURITY_INFORMATION a restore writes for `sddl` (upper case): one
// bit for every section present, and for each ACL whether it is protected,
// judged by the flag letters right behind its marker.
SECURITY_INFORMATION SecurityInfoFromSddl(std::wstring_view sddl);

}  // namespace tavrik
