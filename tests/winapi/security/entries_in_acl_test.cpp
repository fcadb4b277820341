// SetEntriesInAclW: the merge rules, applied entry by entry over an old
// list, and the failures a caller can meet.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/security_bytes.h"
#include "support/temp_machine.h"
#include "winapi/win32.h"

using namespace tavrik::test;

namespace {

struct Entry {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    Bytes sid;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "{type " << int(e.type) << " flags 0x" << std::hex << int(e.flags) << " mask 0x" << e.mask
               << std::dec << " sid/" << e.sid.size() << " last " << int(e.sid.empty() ? 0 : e.sid[e.sid.size() - 4])
               << "}";
}

struct LocalFreeAcl {
    void operator()(ACL* acl) const { LocalFree(acl); }
};
using AclPtr = std::unique_ptr<ACL, LocalFreeAcl>;

std::vector<Entry> Entries(PACL acl) {
    std::vector<Entry> out;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        EXPECT_TRUE(GetAce(acl, i, &ace));
        auto* basic = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        auto* sid = reinterpret_cast<BYTE*>(&basic->SidStart);
        out.push_back({basic->Header.AceType, basic->Header.AceFlags, basic->Mask,
                       Bytes(sid, sid + GetLengthSid(sid))});
    }
    return out;
}

// Builds an old list from entries, in the given order.
Bytes OldAcl(const std::vector<Entry>& entries) {
    Bytes acl(8 + 100 * entries.size() + 8);
    EXPECT_TRUE(InitializeAcl(Acl(acl), static_cast<DWORD>(acl.size()), ACL_REVISION));
    for (Entry e : entries) {
        Bytes ace(8 + e.sid.size());
        ace[0] = e.type;
        ace[1] = e.flags;
        ace[2] = static_cast<BYTE>(ace.size());
        std::memcpy(ace.data() + 4, &e.mask, 4);
        std::memcpy(ace.data() + 8, e.sid.data(), e.sid.size());
        EXPECT_TRUE(AddAce(Acl(acl), ACL_REVISION, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size())));
    }
    return acl;
}

EXPLICIT_ACCESS_W BySid(ACCESS_MODE mode, ACCESS_MASK mask, Bytes& sid, DWORD inheritance = NO_INHERITANCE) {
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = mask;
    entry.grfAccessMode = mode;
    entry.grfInheritance = inheritance;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid.data());
    return entry;
}

std::vector<Entry> Merge(std::vector<EXPLICIT_ACCESS_W> entries, const std::vector<Entry>& old) {
    Bytes oldAcl = OldAcl(old);
    PACL result = nullptr;
    EXPECT_EQ(SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), Acl(oldAcl), &result),
              static_cast<DWORD>(ERROR_SUCCESS));
    AclPtr owned(result);
    EXPECT_TRUE(result != nullptr && IsValidAcl(result));
    return Entries(result);
}

constexpr BYTE A = ACCESS_ALLOWED_ACE_TYPE;
constexpr BYTE D = ACCESS_DENIED_ACE_TYPE;
constexpr BYTE AU = SYSTEM_AUDIT_ACE_TYPE;
constexpr BYTE CI = CONTAINER_INHERIT_ACE;
constexpr BYTE ID = INHERITED_ACE;

}  // namespace

TEST(EntriesInAcl, NothingToDoGivesNoList) {
    PACL result = reinterpret_cast<PACL>(1);
    EXPECT_EQ(SetEntriesInAclW(0, nullptr, nullptr, &result), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(result, nullptr);
}

TEST(EntriesInAcl, GrantIntoNoListBuildsWindowsBytes) {
    Bytes everyone = Everyone();
    EXPLICIT_ACCESS_W entry = BySid(GRANT_ACCESS, GENERIC_ALL, everyone, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    PACL result = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &entry, nullptr, &result), static_cast<DWORD>(ERROR_SUCCESS));
    AclPtr owned(result);
    const auto* bytes = reinterpret_cast<const BYTE*>(result);
    EXPECT_EQ(Bytes(bytes, bytes + result->AclSize),
              Hex("02 00 1c 00 01 00 00 00 00 03 14 00 00 00 00 10 01 01 00 00 00 00 00 01 00 00 00 00"))
        << "generic rights are stored unmapped, the size is exact";
}

TEST(EntriesInAcl, GrantMergesOnlyWithTheSameSidAndFlags) {
    Bytes admins = Administrators();
    Bytes users = Users();
    EXPECT_EQ(Merge({BySid(GRANT_ACCESS, 2, admins)}, {{A, 0, 1, admins}}), (std::vector<Entry>{{A, 0, 3, admins}}));
    EXPECT_EQ(Merge({BySid(GRANT_ACCESS, 2, admins, CI)}, {{D, 0, 8, users}, {A, 0, 1, admins}}),
              (std::vector<Entry>{{D, 0, 8, users}, {A, CI, 2, admins}, {A, 0, 1, admins}}))
        << "a new allow goes after the denies, before the first allow";
    EXPECT_EQ(Merge({BySid(GRANT_ACCESS, 2, admins)}, {{D, 0, 8, admins}}),
              (std::vector<Entry>{{D, 0, 8, admins}, {A, 0, 2, admins}}))
        << "grant leaves denies alone";
}

TEST(EntriesInAcl, InheritedAcesAreNeverMatchedAndStayLast) {
    Bytes admins = Administrators();
    Bytes users = Users();
    EXPECT_EQ(Merge({BySid(GRANT_ACCESS, 2, admins)}, {{A, ID, 1, admins}, {A, 0, 4, users}}),
              (std::vector<Entry>{{A, 0, 2, admins}, {A, 0, 4, users}, {A, ID, 1, admins}}));
    EXPECT_EQ(Merge({BySid(REVOKE_ACCESS, 0, admins)}, {{A, ID, 1, admins}}), (std::vector<Entry>{{A, ID, 1, admins}}));
    EXPECT_EQ(Merge({}, {{A, ID, 1, admins}, {A, 0, 4, users}}),
              (std::vector<Entry>{{A, 0, 4, users}, {A, ID, 1, admins}}));
}

TEST(EntriesInAcl, SetReplacesEveryExplicitAceOfTheSid) {
    Bytes admins = Administrators();
    Bytes users = Users();
    EXPECT_EQ(Merge({BySid(SET_ACCESS, 5, admins)},
                    {{D, 0, 1, admins}, {D, 0, 1, users}, {A, CI, 2, admins}, {A, 0, 3, users}, {A, ID, 9, admins}}),
              (std::vector<Entry>{{D, 0, 1, users}, {A, 0, 5, admins}, {A, 0, 3, users}, {A, ID, 9, admins}}));
}

TEST(EntriesInAcl, DenyGoesToTheFrontOrMerges) {
    Bytes admins = Administrators();
    Bytes users = Users();
    EXPECT_EQ(Merge({BySid(DENY_ACCESS, 4, admins)}, {{D, 0, 1, users}, {A, 0, 2, admins}}),
              (std::vector<Entry>{{D, 0, 4, admins}, {D, 0, 1, users}, {A, 0, 2, admins}}));
    EXPECT_EQ(Merge({BySid(DENY_ACCESS, 4, users)}, {{D, 0, 1, admins}, {D, 0, 1, users}}),
              (std::vector<Entry>{{D, 0, 1, admins}, {D, 0, 5, users}}));
}

TEST(EntriesInAcl, RevokeRemovesAllowsButKeepsDenies) {
    Bytes admins = Administrators();
    Bytes users = Users();
    EXPECT_EQ(Merge({BySid(REVOKE_ACCESS, 0x1234, admins)},
                    {{D, 0, 1, admins}, {A, 0, 2, admins}, {A, CI, 3, admins}, {A, 0, 4, users}}),
              (std::vector<Entry>{{D, 0, 1, admins}, {A, 0, 4, users}}));
}

TEST(EntriesInAcl, EntriesApplyInOrderWithinOneCall) {
    Bytes admins = Administrators();
    Bytes users = Users();
    EXPECT_EQ(Merge({BySid(GRANT_ACCESS, 1, admins), BySid(REVOKE_ACCESS, 0, admins)}, {}), std::vector<Entry>{})
        << "a revoke after a grant of the same call cancels it";
    EXPECT_EQ(Merge({BySid(GRANT_ACCESS, 1, admins), BySid(GRANT_ACCESS, 2, admins), BySid(DENY_ACCESS, 8, users),
                     BySid(DENY_ACCESS, 8, admins)},
                    {}),
              (std::vector<Entry>{{D, 0, 8, admins}, {D, 0, 8, users}, {A, 0, 3, admins}}));
}

TEST(EntriesInAcl, AuditEntriesCarrySuccessAndFailureFlags) {
    Bytes everyone = Everyone();
    EXPECT_EQ(Merge({BySid(SET_AUDIT_SUCCESS, 1, everyone, CI), BySid(SET_AUDIT_SUCCESS, 2, everyone, CI),
                     BySid(SET_AUDIT_FAILURE, 4, everyone, CI)},
                    {}),
              (std::vector<Entry>{{AU, CI | 0x80, 4, everyone}, {AU, CI | 0x40, 3, everyone}}));
    EXPECT_EQ(Merge({BySid(REVOKE_ACCESS, 0, everyone)}, {{AU, 0x40, 1, everyone}, {AU, ID | 0x80, 1, everyone}}),
              (std::vector<Entry>{{AU, ID | 0x80, 1, everyone}}));
}

TEST(EntriesInAcl, ResultRevisionFollowsObjectAces) {
    Bytes everyone = Everyone();
    Bytes old(8 + 44);
    ASSERT_TRUE(InitializeAcl(Acl(old), static_cast<DWORD>(old.size()), ACL_REVISION_DS));
    Bytes object(12 + 16 + everyone.size(), 0);
    object[0] = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
    object[2] = static_cast<BYTE>(object.size());
    object[8] = ACE_OBJECT_TYPE_PRESENT;
    std::memcpy(object.data() + 28, everyone.data(), everyone.size());
    ASSERT_TRUE(AddAce(Acl(old), ACL_REVISION_DS, MAXDWORD, object.data(), static_cast<DWORD>(object.size())));
    Bytes admins = Administrators();
    EXPLICIT_ACCESS_W grant = BySid(GRANT_ACCESS, 1, admins);
    PACL result = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &grant, Acl(old), &result), static_cast<DWORD>(ERROR_SUCCESS));
    AclPtr owned(result);
    EXPECT_EQ(result->AclRevision, ACL_REVISION_DS);
    EXPECT_EQ(result->AceCount, 2);

    Bytes plain = OldAcl({{A, 0, 1, everyone}});
    Acl(plain)->AclRevision = ACL_REVISION_DS;
    ASSERT_EQ(SetEntriesInAclW(0, nullptr, Acl(plain), &result), static_cast<DWORD>(ERROR_SUCCESS));
    AclPtr owned2(result);
    EXPECT_EQ(result->AclRevision, ACL_REVISION);
}

TEST(EntriesInAcl, Refusals) {
    Bytes admins = Administrators();
    Bytes bad = admins;
    bad[1] = 30;
    EXPLICIT_ACCESS_W entry = BySid(GRANT_ACCESS, 1, bad);
    PACL result = reinterpret_cast<PACL>(1);
    EXPECT_EQ(SetEntriesInAclW(1, &entry, nullptr, &result), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_EQ(result, nullptr);

    Bytes damaged = OldAcl({{A, 0, 1, admins}});
    damaged[10] = 0x7c;  // ACE size past the list
    entry = BySid(GRANT_ACCESS, 1, admins);
    EXPECT_EQ(SetEntriesInAclW(1, &entry, Acl(damaged), &result), static_cast<DWORD>(ERROR_INVALID_ACL));
    EXPECT_EQ(SetEntriesInAclW(1, nullptr, nullptr, &result), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    entry.grfAccessMode = static_cast<ACCESS_MODE>(7);
    EXPECT_EQ(SetEntriesInAclW(1, &entry, nullptr, &result), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(EntriesInAcl, ListsOver64KiBAreRefused) {
    // 861 ACEs of 76 bytes fill 65444 of the 65535 bytes an ACL can span;
    // two more ACEs for other SIDs no longer fit.
    Bytes wide = MakeSid(5, {21, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    Bytes big(65532);
    ASSERT_TRUE(InitializeAcl(Acl(big), static_cast<DWORD>(big.size()), ACL_REVISION));
    for (int i = 0; i < 861; ++i) ASSERT_TRUE(AddAccessDeniedAce(Acl(big), ACL_REVISION, 1, Sid(wide)));
    Bytes other1 = MakeSid(5, {21, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 1});
    Bytes other2 = MakeSid(5, {21, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 2});
    EXPLICIT_ACCESS_W one = BySid(GRANT_ACCESS, 1, other1);
    PACL result = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &one, Acl(big), &result), static_cast<DWORD>(ERROR_SUCCESS));
    AclPtr owned(result);
    EXPLICIT_ACCESS_W two[] = {BySid(GRANT_ACCESS, 1, other1), BySid(GRANT_ACCESS, 1, other2)};
    PACL none = nullptr;
    EXPECT_EQ(SetEntriesInAclW(2, two, Acl(big), &none), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(none, nullptr);
}

TEST(EntriesInAcl, TrusteesByNameResolveThroughTheComputer) {
    TempMachine machine;
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = 0x1200A9;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    std::wstring name = L"BUILTIN\\Administrators";
    entry.Trustee.ptstrName = name.data();
    PACL result = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &entry, nullptr, &result), static_cast<DWORD>(ERROR_SUCCESS));
    AclPtr owned(result);
    EXPECT_EQ(Entries(result), (std::vector<Entry>{{A, 0, 0x1200A9, Administrators()}}));

    std::wstring unknown = L"TESTPC\\NoSuchAccount";
    entry.Trustee.ptstrName = unknown.data();
    PACL none = nullptr;
    EXPECT_EQ(SetEntriesInAclW(1, &entry, nullptr, &none), static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(none, nullptr);
}
