// The text of one object's listing record in each of the three formats.
#pragma once

#include <string>

#include "winapi/win32.h"

class CTavrik;
class CSD;

namespace tavrik {

// The SECURITY_INFORMATION bits of the parts LIST_* bits ask for.
SECURITY_INFORMATION RequestedParts(DWORD listWhat);

// "(protected" or "(not_protected", then "+auto_inherited)" or ")".
std::wstring ProtectionText(bool isProtected, bool autoInherited);

struct ListRecord {
    std::wstring text;  // empty: the object has no record
    // Every piece taken from outside the record layout (name, SDDL, trustee
    // texts) is free of CR, LF and NUL, so the record occupies exactly the
    // lines its format gives it.
    bool lineBreakFree = true;
};

// Builds the record of the object `name`, whose descriptor `sd` holds with
// control word `control`, in the job's format. A failure returns its code
// (RTN_ERR_SD_CONVERT, RTN_ERR_SID_TO_NAME) with the job's m_lastOsError set.
DWORD BuildListRecord(CTavrik& job, const CSD& sd, SECURITY_DESCRIPTOR_CONTROL control, const std::wstring& name,
                      ListRecord& record);

}  // namespace tavrik
