// The answers of the last few access checks a thread made. A walk opens
// every object of a directory in turn with the same token and the same
// rights asked for, and the objects mostly carry the same descriptor bytes:
// walking the same entries again for each was a tenth of a listing's work.
#pragma once

#include "winapi/base/recent_answers.h"
#include <memory>

#include "winapi/security/access_check.h"

namespace winapi {

class RecentAccessChecks {
public:
    // CheckAccess(sd, *token, desired, mapping, backupSemantics, granted),
    // answered from a kept check of the same descriptor bytes, token copy
    // and arguments when there is one. The token must not change while it
    // is shared: a token whose privileges change is a new copy.
    DWORD Check(const Bytes& sd, const std::shared_ptr<const AccessToken>& token, ACCESS_MASK desired,
                const GENERIC_MAPPING& mapping, bool backupSemantics, ACCESS_MASK* granted);

private:
    struct Entry {
        Bytes sd;
        // Kept alive, so that no other token can take its address.
        std::shared_ptr<const AccessToken> token;
        ACCESS_MASK desired = 0;
        GENERIC_MAPPING mapping{};
        bool backupSemantics = false;
        DWORD status = 0;
        ACCESS_MASK granted = 0;
    };
    RecentAnswers<Entry> answers_;
};

// This thread's kept checks.
RecentAccessChecks& ThreadRecentAccessChecks();

}  // namespace winapi
