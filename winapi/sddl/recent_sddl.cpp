#include "winapi/sddl/recent_sddl.h"

namespace winapi {

namespace {

// The same context object answers for itself; a context asked for again
// after a change is compared by its SIDs.
bool SameContext(const SharedSddlDomainContext& a, const SharedSddlDomainContext& b) {
    return a == b || (a && b && a->machineSid == b->machineSid && a->domainSid == b->domainSid);
}

}  // namespace

const std::wstring* RecentSddl::Find(const Bytes& key, const SharedSddlDomainContext& context) const {
    const Entry* kept =
        answers_.Find([&](const Entry& entry) { return entry.key == key && SameContext(entry.context, context); });
    return kept ? &kept->text : nullptr;
}

void RecentSddl::Remember(const Bytes& key, const SharedSddlDomainContext& context, const std::wstring& text) {
    Entry& entry = answers_.Replace();
    entry.key = key;
    entry.context = context;
    entry.text = text;
}

RecentSddl& ThreadRecentSddl() {
    thread_local RecentSddl recent;
    return recent;
}

}  // namespace winapi
