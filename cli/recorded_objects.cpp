#include "cli/recorded_objects.h"

#include <algorithm>
#include <cstring>

namespace tavrik::cli {
namespace {

// Fingerprints wait in the small set until this many gather; merging them
// costs a pass over the sorted vector, so batches keep that pass rare.
constexpr size_t kMergeBatch = 4096;

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
    return hash;
}

bool RecordedObjects::Contains(uint64_t fingerprint) const {
    return recent_.count(fingerprint) != 0 || std::binary_search(sorted_.begin(), sorted_.end(), fingerprint);
}

bool RecordedObjects::Insert(unsigned type, const std::wstring& name) {
    const uint64_t fingerprint = Fingerprint(type, name);
    if (Contains(fingerprint)) return false;
    recent_.insert(fingerprint);
    if (recent_.size() >= kMergeBatch) {
        const size_t middle = sorted_.size();
        sorted_.insert(sorted_.end(), recent_.begin(), recent_.end());
        std::sort(sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end());
        std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end());
        recent_.clear();
    }
    return true;
}

void RecordedObjects::Erase(unsigned type, const std::wstring& name) {
    const uint64_t fingerprint = Fingerprint(type, name);
    if (recent_.erase(fingerprint) != 0) return;
    const auto at = std::lower_bound(sorted_.begin(), sorted_.end(), fingerprint);
    if (at != sorted_.end() && *at == fingerprint) sorted_.erase(at);
}

void RecordedObjects::Clear() {
    sorted_.clear();
    recent_.clear();
}

}  // namespace tavrik::cli
