#include "winapi/sddl/recent_sddl.h"

namespace winapi {

const std::wstring* RecentSddl::Find(const Bytes& key, const SddlDomainContext& context) const {
    for (const Entry& entry : entries_) {
        // An entry never filled has an empty key, which no descriptor gives.
        if (!entry.key.empty() && entry.key == key && entry.context.machineSid == context.machineSid &&
            entry.context.domainSid == context.domainSid) {
            return &entry.text;
        }
    }
    return nullptr;
}

void RecentSddl::Remember(const Bytes& key, const SddlDomainContext& context, const std::wstring& text) {
    Entry& entry = entries_[next_];
    next_ = (next_ + 1) % entries_.size();
    entry.key = key;
    entry.context = context;
    entry.text = text;
}

RecentSddl& ThreadRecentSddl() {
    thread_local RecentSddl recent;
    return recent;
}

}  // namespace winapi
