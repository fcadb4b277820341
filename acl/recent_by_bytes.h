// The last few answers of a computation that depends on nothing but some
// bytes (ACLs, SIDs, the job's own entries), kept for the next question
// over the same bytes. A recursive job asks the same question object after
// object: the objects of a directory mostly carry the same lists.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "winapi/win32.h"

namespace tavrik {

template <class Answer, std::size_t N = 4>
class RecentByBytes {
public:
    // The kept answer for exactly these key bytes, or null.
    const Answer* Find(const std::vector<BYTE>& key) const {
        for (std::size_t i = 0; i < filled_; ++i) {
            if (entries_[i].key == key) return &entries_[i].answer;
        }
        return nullptr;
    }

    // Keeps `answer` for `key`, in place of the oldest one kept.
    void Keep(const std::vector<BYTE>& key, Answer answer) {
        Entry& entry = entries_[next_];
        entry.key = key;
        entry.answer = std::move(answer);
        next_ = (next_ + 1) % N;
        if (filled_ < N) ++filled_;
    }

    // A key given as pieces laid end to end, compared with the kept keys
    // piece by piece: a question answered from what is kept copies no byte.
    struct Pieces {
        const BYTE* data[4] = {};
        std::size_t size[4] = {};
        std::size_t count = 0;
        std::size_t total = 0;
        void Add(const void* bytes, std::size_t length) {
            data[count] = static_cast<const BYTE*>(bytes);
            size[count] = length;
            ++count;
            total += length;
        }
    };

    const Answer* Find(const Pieces& key) const {
        for (std::size_t i = 0; i < filled_; ++i) {
            const std::vector<BYTE>& kept = entries_[i].key;
            if (kept.size() != key.total) continue;
            std::size_t at = 0, piece = 0;
            for (; piece < key.count; ++piece) {
                if (key.size[piece] != 0 && std::memcmp(kept.data() + at, key.data[piece], key.size[piece]) != 0) break;
                at += key.size[piece];
            }
            if (piece == key.count) return &entries_[i].answer;
        }
        return nullptr;
    }

    void Keep(const Pieces& key, Answer answer) {
        Entry& entry = entries_[next_];
        entry.key.clear();
        for (std::size_t piece = 0; piece < key.count; ++piece) {
            entry.key.insert(entry.key.end(), key.data[piece], key.data[piece] + key.size[piece]);
        }
        entry.answer = std::move(answer);
        next_ = (next_ + 1) % N;
        if (filled_ < N) ++filled_;
    }

private:
    struct Entry {
        std::vector<BYTE> key;
        Answer answer{};
    };
    std::array<Entry, N> entries_{};
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
};

// Appends the bytes of `acl` (as far as its size says) to `key`, after a
// byte telling whether there is one.
inline void AppendAclKey(std::vector<BYTE>& key, const ACL* acl) {
    key.push_back(acl != nullptr);
    if (!acl) return;
    const auto* p = reinterpret_cast<const BYTE*>(acl);
    key.insert(key.end(), p, p + acl->AclSize);
}

// The same for a SID, which must be valid.
inline void AppendSidKey(std::vector<BYTE>& key, PSID sid) {
    key.push_back(sid != nullptr);
    if (!sid) return;
    const auto* p = static_cast<const BYTE*>(sid);
    key.insert(key.end(), p, p + GetLengthSid(sid));
}

}  // namespace tavrik
