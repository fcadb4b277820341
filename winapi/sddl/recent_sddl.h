// The SDDL texts of the last few descriptors this thread converted.
// A walk converts one descriptor per object, and the objects of a
// directory mostly carry the same bytes (their inherited entries and
// nothing else): composing the text again for each of them was the
// largest part of a listing's work per object.
#pragma once

#include "winapi/base/recent_answers.h"
#include <string>

#include "winapi/sddl/sddl_context.h"

namespace winapi {

class RecentSddl {
public:
    // The text kept for `key` (every byte the conversion reads, with the
    // parts asked for) under `context`, or null.
    const std::wstring* Find(const Bytes& key, const SharedSddlDomainContext& context) const;
    // Keeps `text` in place of the oldest entry.
    void Remember(const Bytes& key, const SharedSddlDomainContext& context, const std::wstring& text);

private:
    struct Entry {
        Bytes key;
        SharedSddlDomainContext context;
        std::wstring text;
    };
    RecentAnswers<Entry> answers_;
};

// This thread's cache: conversions run on the caller's thread.
RecentSddl& ThreadRecentSddl();

}  // namespace winapi
