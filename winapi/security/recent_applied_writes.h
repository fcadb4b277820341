// The answers of the last few ApplySecurityInformation computations a
// thread made. A recursive grant plans each object's write from the
// descriptor the object holds, the one its directory hands down and the
// job's own lists: the same bytes object after object, and the merge of
// the lists with what is inherited was a fifth of the step's work.
#pragma once

#include "winapi/base/recent_answers.h"

#include "winapi/security/inheritance.h"

namespace winapi {

class RecentAppliedWrites {
public:
    // ApplySecurityInformation with the same arguments, answered from a
    // kept computation over the same bytes when there is one: the current
    // and parent descriptors, the kind of object, `info`, the mapping, and
    // the bytes of each part `info` writes (the SID as far as its count
    // reaches, the ACL as far as its size says). Failures are not kept.
    DWORD Apply(const Bytes& currentSd, const Bytes* parentSd, bool isContainer, SECURITY_INFORMATION info,
                PSID owner, PSID group, PACL dacl, PACL sacl, const GENERIC_MAPPING& mapping, Bytes* result);

private:
    struct Entry {
        Bytes current;
        bool hasParent = false;
        Bytes parent;
        bool isContainer = false;
        SECURITY_INFORMATION info = 0;
        GENERIC_MAPPING mapping{};
        Bytes written;  // the written parts, each after a byte saying whether it was given
        Bytes result;
    };
    RecentAnswers<Entry> answers_;
};

// This thread's kept computations.
RecentAppliedWrites& ThreadRecentAppliedWrites();

}  // namespace winapi
