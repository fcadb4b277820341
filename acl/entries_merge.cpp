#include "acl/entries_merge.h"

#include <cstring>
#include <vector>

#include "acl/recent_by_bytes.h"

namespace tavrik {
namespace {

template <class T>
void AppendValue(std::vector<BYTE>& key, const T& value) {
    // Copied into room made first: GCC 12 for Windows takes an insert of
    // a value's bytes right after clear() for an overflow and stops the build.
    const size_t at = key.size();
    key.resize(at + sizeof value);
    std::memcpy(key.data() + at, &value, sizeof value);
}

// The key of a merge, or false when one of its inputs is not made of bytes
// alone (a trustee named by name or by object) or cannot be measured.
bool MergeKey(ULONG count, const EXPLICIT_ACCESS_W* entries, PACL old, std::vector<BYTE>& key) {
    key.clear();
    AppendValue(key, count);
    for (ULONG i = 0; i < count; ++i) {
        const EXPLICIT_ACCESS_W& entry = entries[i];
        const TRUSTEE_W& trustee = entry.Trustee;
        if (trustee.TrusteeForm != TRUSTEE_IS_SID || trustee.pMultipleTrustee != nullptr ||
            trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE || trustee.ptstrName == nullptr ||
            !IsValidSid(trustee.ptstrName)) {
            return false;
        }
        const DWORD fields[] = {entry.grfAccessPermissions, static_cast<DWORD>(entry.grfAccessMode),
                                entry.grfInheritance, static_cast<DWORD>(trustee.TrusteeType)};
        AppendValue(key, fields);
        AppendSidKey(key, trustee.ptstrName);
    }
    // The merge reads the old list as far as its size says; one it refuses
    // is not kept.
    if (old != nullptr && old->AclSize < sizeof(ACL)) return false;
    AppendAclKey(key, old);
    return true;
}

// A merged list kept as bytes; none when the merge gave no list.
struct MergedList {
    bool present = false;
    std::vector<BYTE> bytes;
};

DWORD HandOut(const MergedList& kept, PACL* merged) {
    *merged = nullptr;
    if (!kept.present) return ERROR_SUCCESS;
    void* block = LocalAlloc(LMEM_FIXED, kept.bytes.size());
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    std::memcpy(block, kept.bytes.data(), kept.bytes.size());
    *merged = static_cast<PACL>(block);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD MergeEntriesInAcl(ULONG count, EXPLICIT_ACCESS_W* entries, PACL old, PACL* merged) {
    thread_local std::vector<BYTE> key;
    thread_local RecentByBytes<MergedList> recent;
    if (!MergeKey(count, entries, old, key)) return SetEntriesInAclW(count, entries, old, merged);
    if (const MergedList* kept = recent.Find(key)) return HandOut(*kept, merged);
    const DWORD status = SetEntriesInAclW(count, entries, old, merged);
    if (status != ERROR_SUCCESS) return status;
    MergedList made;
    made.present = *merged != nullptr;
    if (made.present) {
        const auto* p = reinterpret_cast<const BYTE*>(*merged);
        made.bytes.assign(p, p + (*merged)->AclSize);
    }
    recent.Keep(key, std::move(made));
    return ERROR_SUCCESS;
}

}  // namespace tavrik
