// The set of objects an undo file already holds a record of. A job over a
// large tree records every object it changes, so the set keeps a 64-bit
// fingerprint of each (type, name) instead of the name: 8 bytes an object
// rather than a few hundred, which keeps a job's memory nearly flat.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace tavrik::cli {

class RecordedObjects {
public:
    // True when (type, name) was not in the set and now is.
    bool Insert(unsigned type, const std::wstring& name);
    void Erase(unsigned type, const std::wstring& name);
    void Clear();

private:
    static uint64_t Fingerprint(unsigned type, const std::wstring& name);
    bool Contains(uint64_t fingerprint) const;

    // Most fingerprints sit in `sorted_`; new ones gather in `recent_` and
    // are merged in a batch at a time, so an insertion costs a hash lookup
    // and a binary search rather than a shift of the whole vector.
    std::vector<uint64_t> sorted_;
    std::unordered_set<uint64_t> recent_;
};

}  // namespace tavrik::cli
