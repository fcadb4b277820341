#include "winapi/sddl/recent_sddl.h"

namespace winapi {

const std::wstring* RecentSddl::Find(const Bytes& key, const SddlDomainContext& context) const {
    const Entry* kept = answers_.Find([&](const Entry& entry) {
        return entry.key == key && entry.context.machineSid == context.machineSid &&
               entry.context.domainSid == context.domainSid;
    });
    return kept ? &kept->text : nullptr;
}

void RecentSddl::Remember(const Bytes& key, const SddlDomainContext& context, const std::wstring& text) {
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
