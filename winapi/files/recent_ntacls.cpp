#include "winapi/files/recent_ntacls.h"

#include "winapi/files/ntacl.h"

namespace winapi {

DWORD RecentNtAcls::Decode(const Bytes& blob, Bytes* selfRelativeSd) {
    for (const Entry& entry : entries_) {
        // An entry never filled has an empty blob, which never decodes.
        if (!entry.blob.empty() && entry.blob == blob) {
            *selfRelativeSd = entry.sd;
            return ERROR_SUCCESS;
        }
    }
    const DWORD error = DecodeNtAcl(blob.data(), blob.size(), selfRelativeSd);
    if (error != ERROR_SUCCESS || blob.empty()) return error;
    Entry& entry = entries_[next_];
    next_ = (next_ + 1) % entries_.size();
    entry.blob = blob;
    entry.sd = *selfRelativeSd;
    return ERROR_SUCCESS;
}

RecentNtAcls& ThreadRecentNtAcls() {
    thread_local RecentNtAcls recent;
    return recent;
}

}  // namespace winapi
