// Merging a job's entries into an object's ACL, with the last few merges
// kept: every answer is the one SetEntriesInAclW itself gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "acl/entries_merge.h"
#include "engine/local_memory.h"

namespace tavrik::test {
namespace {

using Bytes = std::vector<BYTE>;

Bytes SidBytes(const wchar_t* text) {
    PSID raw = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &raw));
    LocalPtr<> sid(raw);
    const auto* p = static_cast<const BYTE*>(raw);
    return Bytes(p, p + GetLengthSid(raw));
}

// The DACL of an SDDL text, as bytes; empty for no DACL at all.
Bytes DaclBytes(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr));
    LocalPtr<> descriptor(raw);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted));
    if (!present || !dacl) return {};
    const auto* p = reinterpret_cast<const BYTE*>(dacl);
    return Bytes(p, p + dacl->AclSize);
}

Bytes Merged(ULONG count, EXPLICIT_ACCESS_W* entries, PACL old, DWORD* status, bool kept) {
    PACL merged = nullptr;
    *status = kept ? MergeEntriesInAcl(count, entries, old, &merged) : SetEntriesInAclW(count, entries, old, &merged);
    LocalPtr<> owned(merged);
    if (!merged) return {0xEE};  // no list
    const auto* p = reinterpret_cast<const BYTE*>(merged);
    return Bytes(p, p + merged->AclSize);
}

TEST(EntriesMerge, AnswersAsSetEntriesInAclDoesInAnyOrder) {
    Bytes users = SidBytes(L"S-1-5-32-545");
    Bytes guests = SidBytes(L"S-1-5-32-546");  // as long as Users
    Bytes unixUser = SidBytes(L"S-1-22-1-1000");
    const Bytes plain = DaclBytes(L"D:(A;;FA;;;BA)(A;;FA;;;SY)");
    const Bytes withUsers = DaclBytes(L"D:(A;;FA;;;BA)(A;;0x1200a9;;;BU)");
    const Bytes inherited = DaclBytes(L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)");  // the same size as `plain`
    auto entry = [](Bytes& sid, ACCESS_MODE mode, ACCESS_MASK mask, DWORD inheritance) {
        EXPLICIT_ACCESS_W e{};
        e.grfAccessPermissions = mask;
        e.grfAccessMode = mode;
        e.grfInheritance = inheritance;
        e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        e.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
        e.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid.data());
        return e;
    };
    struct Case {
        std::vector<EXPLICIT_ACCESS_W> entries;
        const Bytes* old;  // null: no old list
    };
    const DWORD oi = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    // More cases than merges are kept, each differing from another in one
    // input only: the mask, the mode, the inheritance, the SID, the old
    // list's bytes, whether there is one, the number of entries.
    std::vector<Case> cases = {
        {{entry(users, GRANT_ACCESS, 0x1200a9, oi)}, &plain},
        {{entry(users, GRANT_ACCESS, 0x1301bf, oi)}, &plain},
        {{entry(users, DENY_ACCESS, 0x1200a9, oi)}, &plain},
        {{entry(users, GRANT_ACCESS, 0x1200a9, NO_INHERITANCE)}, &plain},
        {{entry(guests, GRANT_ACCESS, 0x1200a9, oi)}, &plain},
        {{entry(users, GRANT_ACCESS, 0x1200a9, oi)}, &inherited},
        {{entry(users, GRANT_ACCESS, 0x1200a9, oi)}, nullptr},
        {{entry(users, REVOKE_ACCESS, 0, NO_INHERITANCE)}, &withUsers},
        {{entry(users, GRANT_ACCESS, 0x1200a9, oi), entry(unixUser, GRANT_ACCESS, 0x1200a9, oi)}, &plain},
        {{}, &withUsers},
        {{}, nullptr},
    };
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            Case& c = cases[round == 1 ? cases.size() - 1 - i : i];
            Bytes old = c.old ? *c.old : Bytes{};
            PACL oldAcl = c.old ? reinterpret_cast<PACL>(old.data()) : nullptr;
            const ULONG count = static_cast<ULONG>(c.entries.size());
            EXPLICIT_ACCESS_W* entries = c.entries.empty() ? nullptr : c.entries.data();
            DWORD expectedStatus = 0, keptStatus = 0;
            const Bytes expected = Merged(count, entries, oldAcl, &expectedStatus, false);
            const Bytes kept = Merged(count, entries, oldAcl, &keptStatus, true);
            EXPECT_EQ(keptStatus, expectedStatus) << "case " << i << " round " << round;
            EXPECT_EQ(kept, expected) << "case " << i << " round " << round;
        }
    }
}

}  // namespace
}  // namespace tavrik::test
