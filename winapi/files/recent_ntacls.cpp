#include "winapi/files/recent_ntacls.h"

#include "winapi/files/ntacl.h"

namespace winapi {

DWORD RecentNtAcls::Decode(const Bytes& blob, Bytes* selfRelativeSd) {
    if (const Entry* kept = answers_.Find([&](const Entry& entry) { return entry.blob == blob; })) {
        *selfRelativeSd = kept->sd;
        return ERROR_SUCCESS;
    }
    const DWORD error = DecodeNtAcl(blob.data(), blob.size(), selfRelativeSd);
    if (error != ERROR_SUCCESS || blob.empty()) return error;
    Entry& entry = answers_.Replace();
    entry.blob = blob;
    entry.sd = *selfRelativeSd;
    return ERROR_SUCCESS;
}

RecentNtAcls& ThreadRecentNtAcls() {
    thread_local RecentNtAcls recent;
    return recent;
}

}  // namespace winapi
