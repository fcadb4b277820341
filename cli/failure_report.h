// What the tavrik command says when a job fails: the return code's short
// name, and an error line that names the object, account or file the
// failure concerns, from the job's own settings and the last lines it sent.
#pragma once

#include <string>

#include "engine/tavrik.h"

namespace tavrik::cli {

// "6 TRUSTEE_NOT_FOUND"; the number alone for a code without a name.
std::string ReturnCodeLabel(DWORD code);

// What the console saw of the job before it failed.
struct JobProgress {
    std::wstring lastAnnounced;  // object of the last "Processing/Restoring ACL of" line
    std::wstring lastListed;     // object of the last listing record
    long restoreRecords = 0;     // backup-file records the restore had reached
};

// One "Error: ..." line naming what `code` concerns, e.g. "Error: cannot
// resolve the account 'OLDDOM\nobody'".
std::wstring FailureLine(CTavrik& job, DWORD code, const JobProgress& progress);

}  // namespace tavrik::cli
