#include "cli/recorded_objects.h"

#include <algorithm>
#include <cstring>

namespace tavrik::cli {
namespace {

// Fingerprints wait in the batch until this many gather; merging them
// costs a pass over the sorted vector, so batches keep that pass rare.
constexpr size_t kMergeBatch = 4096;
// The batch's table: twice a batch, a power of two, so that probes stay short.
constexpr size_t kBatchSlots = 2 * kMergeBatch;
// Slots of the table that hold no fingerprint: never used, or left by an
// erased one (a probe goes on past these).
constexpr uint64_t kEmptySlot = 0;
constexpr uint64_t kErasedSlot = ~0ull;

}  // namespace

// A 64-bit hash of the type and the name's code units, eight bytes at a
// step (MurmurHash64A's mixing). Two objects of a job sharing a fingerprint
// (odds about 1 in 3 x 10^7 for a million objects) would leave the second
// without an undo record; names are not compared, as keeping them is what
// this set exists to avoid.
uint64_t RecordedObjects::Fingerprint(unsigned type, const std::wstring& name) {
    constexpr uint64_t kMultiplier = 0xc6a4a7935bd1e995ull;
    constexpr int kShift = 47;
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
    const size_t length = name.size() * sizeof(wchar_t);
    uint64_t hash = (0x9e3779b97f4a7c15ull ^ type) ^ (length * kMultiplier);
    auto mix = [&hash](uint64_t word) {
        word *= kMultiplier;
        word ^= word >> kShift;
        word *= kMultiplier;
        hash ^= word;
        hash *= kMultiplier;
    };
    size_t at = 0;
    for (; at + 8 <= length; at += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        mix(word);
    }
    if (at < length) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + at, length - at);
        mix(word);
    }
    hash ^= hash >> kShift;
    hash *= kMultiplier;
    hash ^= hash >> kShift;
    // The two values that mark free slots of the batch are never fingerprints.
    if (hash == kEmptySlot || hash == kErasedSlot) hash = 1;
    return hash;
}

size_t RecordedObjects::Probe(uint64_t fingerprint) const {
    const size_t mask = batch_.size() - 1;
    size_t slot = static_cast<size_t>(fingerprint) & mask;
    size_t firstFree = batch_.size();
    while (batch_[slot] != kEmptySlot) {
        if (batch_[slot] == fingerprint) return slot;
        if (batch_[slot] == kErasedSlot && firstFree == batch_.size()) firstFree = slot;
        slot = (slot + 1) & mask;
    }
    return firstFree != batch_.size() ? firstFree : slot;
}

bool RecordedObjects::Insert(unsigned type, const std::wstring& name) {
    const uint64_t fingerprint = Fingerprint(type, name);
    if (batch_.empty()) batch_.assign(kBatchSlots, kEmptySlot);
    const size_t slot = Probe(fingerprint);
    if (batch_[slot] == fingerprint || std::binary_search(sorted_.begin(), sorted_.end(), fingerprint)) return false;
    if (batch_[slot] == kEmptySlot) ++batchUsed_;
    batch_[slot] = fingerprint;
    if (batchUsed_ >= kMergeBatch) MergeBatch();
    return true;
}

void RecordedObjects::MergeBatch() {
    const size_t middle = sorted_.size();
    for (uint64_t& slot : batch_) {
        if (slot != kEmptySlot && slot != kErasedSlot) sorted_.push_back(slot);
        slot = kEmptySlot;
    }
    batchUsed_ = 0;
    std::sort(sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end());
    std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end());
}

void RecordedObjects::Erase(unsigned type, const std::wstring& name) {
    const uint64_t fingerprint = Fingerprint(type, name);
    if (!batch_.empty()) {
        const size_t slot = Probe(fingerprint);
        if (batch_[slot] == fingerprint) {
            batch_[slot] = kErasedSlot;
            return;
        }
    }
    const auto at = std::lower_bound(sorted_.begin(), sorted_.end(), fingerprint);
    if (at != sorted_.end() && *at == fingerprint) sorted_.erase(at);
}

void RecordedObjects::Clear() {
    sorted_.clear();
    batch_.clear();
    batchUsed_ = 0;
}

}  // namespace tavrik::cli
