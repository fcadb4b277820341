#include "winapi/security/recent_access_checks.h"

namespace winapi {
namespace {

bool SameMapping(const GENERIC_MAPPING& a, const GENERIC_MAPPING& b) {
    return a.GenericRead == b.GenericRead && a.GenericWrite == b.GenericWrite &&
           a.GenericExecute == b.GenericExecute && a.GenericAll == b.GenericAll;
}

}  // namespace

DWORD RecentAccessChecks::Check(const Bytes& sd, const std::shared_ptr<const AccessToken>& token, ACCESS_MASK desired,
                                const GENERIC_MAPPING& mapping, bool backupSemantics, ACCESS_MASK* granted) {
    if (const Entry* kept = answers_.Find([&](const Entry& entry) {
            return entry.token == token && entry.desired == desired && entry.backupSemantics == backupSemantics &&
                   SameMapping(entry.mapping, mapping) && entry.sd == sd;
        })) {
        *granted = kept->granted;
        return kept->status;
    }
    ACCESS_MASK answer = 0;
    const DWORD status = CheckAccess(sd.data(), sd.size(), *token, desired, mapping, backupSemantics, &answer);
    Entry& entry = answers_.Replace();
    entry.sd = sd;
    entry.token = token;
    entry.desired = desired;
    entry.mapping = mapping;
    entry.backupSemantics = backupSemantics;
    entry.status = status;
    entry.granted = answer;
    *granted = answer;
    return status;
}

RecentAccessChecks& ThreadRecentAccessChecks() {
    thread_local RecentAccessChecks recent;
    return recent;
}

}  // namespace winapi
