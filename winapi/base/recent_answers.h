// The last few answers a thread worked out, kept for the next question that
// matches one of them. A walk asks the same questions object after object
// (the objects of a directory mostly carry the same descriptor bytes), and a
// handful of answers, replaced oldest first, catches nearly all of them
// without the cost of a map: the look-up is a few comparisons of bytes.
#pragma once

#include <array>
#include <cstddef>

namespace winapi {

template <typename Entry, std::size_t N = 4>
class RecentAnswers {
public:
    // The first kept answer `matches` accepts, or null. Slots never filled
    // are not offered.
    template <typename Matches>
    const Entry* Find(Matches&& matches) const {
        for (std::size_t i = 0; i < filled_; ++i) {
            if (matches(entries_[i])) return &entries_[i];
        }
        return nullptr;
    }

    // The slot to fill with a new answer: the oldest one's.
    Entry& Replace() {
        Entry& entry = entries_[next_];
        next_ = (next_ + 1) % N;
        if (filled_ < N) ++filled_;
        return entry;
    }

private:
    std::array<Entry, N> entries_{};
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
};

}  // namespace winapi
