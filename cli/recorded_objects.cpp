#include "cli/recorded_objects.h"

#include <algorithm>

namespace tavrik::cli {
namespace {

// Fingerprints wait in the small set until this many gather; merging them
// costs a pass over the sorted vector, so batches keep that pass rare.
constexpr size_t kMergeBatch = 4096;

}  // namespace

// FNV-1a over the type and the name's code units. Two objects of a job
// sharing a fingerprint (odds near 1 in 10^9 for a million objects) would
// leave the second without an undo record; names are not compared, as
// keeping them is what this set exists to avoid.
uint64_t RecordedObjects::Fingerprint(unsigned type, const std::wstring& name) {
    uint64_t hash = 0xcbf29ce484222325ull;
    auto mix = [&hash](uint32_t unit) {
        for (int shift = 0; shift < 32; shift += 8) {
            hash ^= (unit >> shift) & 0xFF;
            hash *= 0x100000001b3ull;
        }
    };
    mix(type);
    for (wchar_t c : name) mix(static_cast<uint32_t>(c));
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
