#include "winapi/security/recent_applied_writes.h"

#include "winapi/errors.h"
#include "winapi/security/security_layout.h"

namespace winapi {
namespace {

bool SameMapping(const GENERIC_MAPPING& a, const GENERIC_MAPPING& b) {
    return a.GenericRead == b.GenericRead && a.GenericWrite == b.GenericWrite &&
           a.GenericExecute == b.GenericExecute && a.GenericAll == b.GenericAll;
}

// The bytes of the caller's parts that `info` writes, laid end to end, or
// false when one of them cannot even be measured (the computation itself
// then says what is wrong with it, and nothing is kept). A part is
// preceded by a byte telling whether it was given at all, so that no two
// different sets of parts lay out the same bytes.
bool WrittenParts(SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl, PACL sacl, Bytes* out) {
    out->clear();
    auto addSid = [&](SECURITY_INFORMATION part, PSID sid) {
        if (!(info & part)) return true;
        out->push_back(sid != nullptr);
        if (sid == nullptr) return true;
        const BYTE* p = static_cast<const BYTE*>(sid);
        const size_t size = CheckedSidLength(p, SECURITY_MAX_SID_SIZE);
        if (size == 0) return false;
        out->insert(out->end(), p, p + size);
        return true;
    };
    auto addAcl = [&](SECURITY_INFORMATION part, PACL acl) {
        if (!(info & part)) return true;
        out->push_back(acl != nullptr);
        if (acl == nullptr) return true;
        const BYTE* p = reinterpret_cast<const BYTE*>(acl);
        const size_t size = acl->AclSize;
        if (size < kAclHeaderSize) return false;
        out->insert(out->end(), p, p + size);
        return true;
    };
    return addSid(OWNER_SECURITY_INFORMATION, owner) && addSid(GROUP_SECURITY_INFORMATION, group) &&
           addAcl(DACL_SECURITY_INFORMATION, dacl) && addAcl(SACL_SECURITY_INFORMATION, sacl);
}

}  // namespace

DWORD RecentAppliedWrites::Apply(const Bytes& currentSd, const Bytes* parentSd, bool isContainer,
                                 SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl, PACL sacl,
                                 const GENERIC_MAPPING& mapping, Bytes* result) {
    // One buffer for the key, kept from call to call.
    thread_local Bytes written;
    const bool keyed = WrittenParts(info, owner, group, dacl, sacl, &written);
    if (keyed) {
        if (const Entry* kept = answers_.Find([&](const Entry& entry) {
                return entry.info == info && entry.isContainer == isContainer &&
                       entry.hasParent == (parentSd != nullptr) && SameMapping(entry.mapping, mapping) &&
                       entry.written == written && entry.current == currentSd &&
                       (!parentSd || entry.parent == *parentSd);
            })) {
            *result = kept->result;
            return ERROR_SUCCESS;
        }
    }
    Bytes computed;
    const DWORD status =
        ApplySecurityInformation(currentSd, parentSd, isContainer, info, owner, group, dacl, sacl, mapping, &computed);
    if (status != ERROR_SUCCESS) return status;
    if (keyed) {
        Entry& entry = answers_.Replace();
        entry.current = currentSd;
        entry.hasParent = parentSd != nullptr;
        if (parentSd) entry.parent = *parentSd;
        else entry.parent.clear();
        entry.isContainer = isContainer;
        entry.info = info;
        entry.mapping = mapping;
        entry.written = written;
        entry.result = computed;
    }
    *result = std::move(computed);
    return ERROR_SUCCESS;
}

RecentAppliedWrites& ThreadRecentAppliedWrites() {
    thread_local RecentAppliedWrites recent;
    return recent;
}

}  // namespace winapi
