// The descriptors of the last few NTACL attributes a thread decoded. The
// objects of a directory mostly hold the same attribute bytes (their
// inherited entries and nothing else), and a walk reads them one after the
// other: each decode checked and rebuilt the same descriptor again.
#pragma once

#include "winapi/base/recent_answers.h"
#include "winapi/security/bytes.h"
#include "winapi/win32.h"

namespace winapi {

class RecentNtAcls {
public:
    // DecodeNtAcl(blob), from a kept decode of the same bytes when there
    // is one. Only decodes that succeeded are kept.
    DWORD Decode(const Bytes& blob, Bytes* selfRelativeSd);

private:
    struct Entry {
        Bytes blob;
        Bytes sd;
    };
    RecentAnswers<Entry> answers_;
};

// This thread's kept decodes.
RecentNtAcls& ThreadRecentNtAcls();

}  // namespace winapi
