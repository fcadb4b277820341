// The set of objects an undo file already holds a record of. A job over a
// large tree records every object it changes, so the set keeps a 64-bit
// fingerprint of each (type, name) instead of the name: 8 bytes an object
// rather than a few hundred, which keeps a job's memory nearly flat.
#pragma once

#include <cstdint>
#include <string>
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
    // The slot of `fingerprint` in the batch, or of the first free slot on
    // its way there (for a fingerprint the batch does not hold).
    size_t Probe(uint64_t fingerprint) const;
    void MergeBatch();

    // Most fingerprints sit in `sorted_`; new ones gather in `batch_`, an
    // open-addressed table twice the size of a batch, and are merged in a
    // batch at a time, so an insertion costs a probe or two and a binary
    // search rather than a shift of the whole vector or an allocation.
    std::vector<uint64_t> sorted_;
    std::vector<uint64_t> batch_;
    size_t batchUsed_ = 0;  // slots holding a fingerprint or left by an erased one
};

}  // namespace tavrik::cli
