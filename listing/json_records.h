// Records for programs to read: one JSON object a line, for listings,
// changes, dry runs and errors. docs/json.md describes every field.
//
// Each record is built as a JSON value and written as one line of ASCII
// (characters outside it as \u escapes), so the line reads the same in any
// console encoding and never holds a line break of its own.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "winapi/win32.h"

class CTavrik;

namespace tavrik {
struct DescriptorDiff;
}

namespace tavrik::json {

// Keys keep the order they were added in, the order docs/json.md shows.
using Record = nlohmann::ordered_json;

// UTF-8 of a wide string; unpaired surrogates become U+FFFD.
std::string Utf8(const std::wstring& text);

// The one-line text of a record, ending without a line break.
std::string Line(const Record& record);
std::wstring WideLine(const Record& record);

// "file", "registry", "service", "printer", "share" or the number as text.
std::string ObjectTypeName(DWORD objectType);

// {"name": "BUILTIN\\Administrators" or null, "sid": "S-1-5-32-544"}; the
// name is looked up on the job's computer. When the lookup itself failed
// (rather than finding no account) "lookup_error" holds the system error.
Record Trustee(CTavrik& job, PSID sid);

// The parts `parts` names of descriptor `sd` (owner, group, control, dacl,
// sacl). `withInherited` false leaves inherited entries out. Rights words
// are those of `objectType`.
Record Descriptor(CTavrik& job, PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts, DWORD objectType,
                  bool withInherited = true);
// The same for descriptor text in SDDL; null when the text does not parse.
Record DescriptorFromSddl(CTavrik& job, const std::wstring& sddl, DWORD objectType);
// Reads the descriptor of an object by name; null (and `osError` set) when
// it cannot be read.
Record ReadDescriptor(CTavrik& job, const std::wstring& object, DWORD objectType, SECURITY_INFORMATION parts,
                      DWORD& osError);

// {"record": "object", "object": ..., "type": ..., descriptor fields...}
Record ObjectRecord(CTavrik& job, const std::wstring& object, DWORD objectType, PSECURITY_DESCRIPTOR sd,
                    SECURITY_INFORMATION parts, bool withInherited = true);

// {"record": "change", "object", "type", "dry_run", "changed", "before", "after"}
Record ChangeRecord(const std::wstring& object, DWORD objectType, const Record& before, const Record& after,
                    bool dryRun);

// {"record": "verify", "object", "type", "verdict": "same" | "differs" |
// "missing", and for "differs" the "differences" from the backup's record
// to the live descriptor}. `verdict` is RECORD_SAME, RECORD_DIFFERS or
// RECORD_MISSING.
Record VerifyRecord(const std::wstring& object, DWORD objectType, DWORD verdict, const DescriptorDiff* diff);

// {"record": "error", "object" (or null), "message", "return_code",
// "return_code_name", "os_error", "os_error_text"}. A zero `returnCode` or
// `osError` is left out.
Record ErrorRecord(CTavrik& job, const std::wstring& object, const std::wstring& message, DWORD returnCode,
                   DWORD osError);

// The short name of a return code ("READ_SD_FAILED"); empty when it has none.
std::string ReturnCodeName(DWORD code);

}  // namespace tavrik::json
