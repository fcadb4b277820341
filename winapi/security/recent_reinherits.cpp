#include "winapi/security/recent_reinherits.h"

#include "winapi/errors.h"

namespace winapi {
namespace {

bool SameMapping(const GENERIC_MAPPING& a, const GENERIC_MAPPING& b) {
    return a.GenericRead == b.GenericRead && a.GenericWrite == b.GenericWrite &&
           a.GenericExecute == b.GenericExecute && a.GenericAll == b.GenericAll;
}

}  // namespace

DWORD RecentReinherits::Reinherit(const Bytes& childSd, const Bytes& parentSd, bool isContainer,
                                  const GENERIC_MAPPING& mapping, Bytes* result, bool* changed) {
    if (const Entry* kept = answers_.Find([&](const Entry& entry) {
            return entry.isContainer == isContainer && SameMapping(entry.mapping, mapping) &&
                   entry.child == childSd && entry.parent == parentSd;
        })) {
        *changed = kept->changed;
        if (kept->changed) *result = kept->result;
        return ERROR_SUCCESS;
    }
    Bytes computed;
    bool computedChanged = false;
    const DWORD status = winapi::Reinherit(childSd, parentSd, isContainer, mapping, &computed, &computedChanged);
    if (status != ERROR_SUCCESS) {
        *changed = computedChanged;
        if (computedChanged) *result = std::move(computed);
        return status;
    }
    Entry& entry = answers_.Replace();
    entry.child = childSd;
    entry.parent = parentSd;
    entry.isContainer = isContainer;
    entry.mapping = mapping;
    entry.changed = computedChanged;
    entry.result.clear();
    if (computedChanged) {
        entry.result = computed;
        *result = std::move(computed);
    }
    *changed = computedChanged;
    return ERROR_SUCCESS;
}

RecentReinherits& ThreadRecentReinherits() {
    thread_local RecentReinherits recent;
    return recent;
}

}  // namespace winapi
