// The answers of the last few re-inheritance computations a thread made.
// Below a directory whose propagation is owed, a job reads each child (a
// restore's undo record holds it before the change) and then writes it,
// recomputing what the child inherits both times, and the children of one
// directory mostly carry the same bytes: the same computation was made over
// and over.
#pragma once

#include <array>

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
        bool used = false;
        Bytes child;
        Bytes parent;
        bool isContainer = false;
        GENERIC_MAPPING mapping{};
        bool changed = false;
        Bytes result;  // when changed
    };
    std::array<Entry, 4> entries_;
    size_t next_ = 0;
};

// This thread's kept computations.
RecentReinherits& ThreadRecentReinherits();

}  // namespace winapi
