// The answers of the last few re-inheritance computations a thread made.
// Below a directory whose propagation is owed, a job reads each child (a
// restore's undo record holds it before the change) and then writes it,
// recomputing what the child inherits both times, and the children of one
// directory mostly carry the same bytes: the same computation was made over
// and over.
#pragma once

#include "winapi/base/recent_answers.h"

#include "winapi/security/inheritance.h"

namespace winapi {

class RecentReinherits {
public:
    // Reinherit(childSd, parentSd, isContainer, mapping, result, changed),
    // answered from a kept computation over the same bytes and arguments
    // when there is one. Failures are not kept: each is computed again.
    DWORD Reinherit(const Bytes& childSd, const Bytes& parentSd, bool isContainer, const GENERIC_MAPPING& mapping,
                    Bytes* result, bool* changed);

private:
    struct Entry {
        Bytes child;
        Bytes parent;
        bool isContainer = false;
        GENERIC_MAPPING mapping{};
        bool changed = false;
        Bytes result;  // when changed
    };
    RecentAnswers<Entry> answers_;
};

// This thread's kept computations.
RecentReinherits& ThreadRecentReinherits();

}  // namespace winapi
