// The access check as every open of the simulated computer runs it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "support/semantics_support.h"
#include "winapi/security/access_check.h"
#include "winapi/security/inheritance.h"
#include "winapi/security/recent_access_checks.h"

namespace {

using tavrik::test::SdFromSddl;
using tavrik::test::SidFromText;
using winapi::AccessToken;
using winapi::Bytes;

const ACCESS_MASK kAllFile = 0x1F01FF;

AccessToken UserToken() {
    AccessToken token;
    token.user = SidFromText(L"S-1-22-1-1000");
    token.groups = {SidFromText(L"S-1-5-32-545"), SidFromText(L"S-1-5-11")};  // Users, Authenticated Users
    return token;
}

AccessToken WithPrivilege(AccessToken token, const std::wstring& name, bool enabled) {
    token.heldPrivileges.insert(name);
    if (enabled) token.enabledPrivileges.insert(name);
    return token;
}

struct Outcome {
    DWORD status;
    ACCESS_MASK granted;
};

Outcome Check(const std::wstring& sddl, const AccessToken& token, ACCESS_MASK desired, bool backup = false) {
    const Bytes sd = SdFromSddl(sddl);
    Outcome o{0, 0xDEADBEEF};
    o.status = winapi::CheckAccess(sd.data(), sd.size(), token, desired, winapi::FileGenericMapping(), backup,
                                   &o.granted);
    return o;
}

void ExpectGranted(const Outcome& o, ACCESS_MASK granted) {
    EXPECT_EQ(o.status, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(o.granted, granted);
}
void ExpectDenied(const Outcome& o, DWORD status = ERROR_ACCESS_DENIED) {
    EXPECT_EQ(o.status, status);
    EXPECT_EQ(o.granted, 0u) << "nothing is granted on failure";
}

// ---- the DACL ---------------------------------------------------------------

TEST(CheckAccess, AllowAceGrantsOnlyItsRights) {
    const std::wstring sd = L"O:BAG:SYD:(A;;FR;;;BU)";
    ExpectGranted(Check(sd, UserToken(), FILE_READ_DATA), FILE_READ_DATA);
    ExpectDenied(Check(sd, UserToken(), FILE_READ_DATA | FILE_WRITE_DATA));
    ExpectDenied(Check(sd, UserToken(), DELETE));
}

TEST(CheckAccess, RightsAddUpAcrossAces) {
    ExpectGranted(Check(L"O:BAG:SYD:(A;;FR;;;BU)(A;;FW;;;AU)", UserToken(), FILE_READ_DATA | FILE_WRITE_DATA),
                  FILE_READ_DATA | FILE_WRITE_DATA);
}

TEST(CheckAccess, DenyBeforeAllowWinsAllowBeforeDenyDoesNot) {
    ExpectDenied(Check(L"O:BAG:SYD:(D;;FW;;;BU)(A;;FA;;;BU)", UserToken(), FILE_WRITE_DATA));
    ExpectGranted(Check(L"O:BAG:SYD:(D;;FW;;;BU)(A;;FA;;;BU)", UserToken(), FILE_READ_DATA), FILE_READ_DATA);
    // The walk stops once everything asked for is granted.
    ExpectGranted(Check(L"O:BAG:SYD:(A;;FA;;;BU)(D;;FW;;;BU)", UserToken(), FILE_WRITE_DATA), FILE_WRITE_DATA);
}

TEST(CheckAccess, AcesOfOtherSidsDoNotApply) {
    ExpectDenied(Check(L"O:BAG:SYD:(A;;FA;;;BA)(A;;FA;;;S-1-22-1-1001)", UserToken(), FILE_READ_DATA));
    ExpectGranted(Check(L"O:BAG:SYD:(D;;FA;;;BA)(A;;FR;;;BU)", UserToken(), FILE_READ_DATA), FILE_READ_DATA);
}

TEST(CheckAccess, EveryoneAppliesEvenWhenTheTokenDoesNotListIt) {
    ExpectGranted(Check(L"O:BAG:SYD:(A;;FR;;;WD)", UserToken(), FILE_READ_DATA), FILE_READ_DATA);
    ExpectDenied(Check(L"O:BAG:SYD:(D;;FR;;;WD)(A;;FA;;;BU)", UserToken(), FILE_READ_DATA));
}

TEST(CheckAccess, InheritOnlyAcesAreSkipped) {
    ExpectDenied(Check(L"O:BAG:SYD:(A;OICIIO;FA;;;BU)", UserToken(), FILE_READ_DATA));
    ExpectGranted(Check(L"O:BAG:SYD:(D;OICIIO;FA;;;BU)(A;;FA;;;BU)", UserToken(), FILE_READ_DATA), FILE_READ_DATA);
}

TEST(CheckAccess, CreatorOwnerInAnEffectiveAceMatchesNobody) {
    const std::wstring sd = L"O:S-1-22-1-1000G:SYD:(A;;FA;;;CO)";
    ExpectDenied(Check(sd, UserToken(), FILE_READ_DATA));
}

TEST(CheckAccess, NullDaclGrantsEverythingEmptyDaclNothing) {
    ExpectGranted(Check(L"O:BAG:SYD:NO_ACCESS_CONTROL", UserToken(), kAllFile), kAllFile);
    ExpectGranted(Check(L"O:BAG:SY", UserToken(), WRITE_OWNER), WRITE_OWNER);
    ExpectDenied(Check(L"O:BAG:SYD:", UserToken(), FILE_READ_DATA));
    ExpectDenied(Check(L"O:BAG:SYD:", UserToken(), MAXIMUM_ALLOWED));
}

TEST(CheckAccess, GenericRightsAskedForAreMapped) {
    ExpectGranted(Check(L"O:BAG:SYD:(A;;FR;;;BU)", UserToken(), GENERIC_READ), 0x120089u);
    ExpectDenied(Check(L"O:BAG:SYD:(A;;FR;;;BU)", UserToken(), GENERIC_WRITE));
    // An unmapped generic right in an ACE still means what it stands for.
    ExpectGranted(Check(L"O:BAG:SYD:(A;;GR;;;BU)", UserToken(), FILE_READ_DATA), FILE_READ_DATA);
}

// ---- the owner --------------------------------------------------------------

TEST(CheckAccess, OwnerMayAlwaysReadAndChangeTheDacl) {
    const std::wstring sd = L"O:S-1-22-1-1000G:SYD:";
    ExpectGranted(Check(sd, UserToken(), READ_CONTROL | WRITE_DAC), READ_CONTROL | WRITE_DAC);
    ExpectDenied(Check(sd, UserToken(), WRITE_OWNER));
    ExpectDenied(Check(sd, UserToken(), FILE_READ_DATA));
    // Implicit owner rights come before any deny ACE.
    ExpectGranted(Check(L"O:S-1-22-1-1000G:SYD:(D;;FA;;;WD)", UserToken(), WRITE_DAC), WRITE_DAC);
    // A group of the token that owns the object counts as well.
    ExpectGranted(Check(L"O:BUG:SYD:", UserToken(), READ_CONTROL), READ_CONTROL);
}

TEST(CheckAccess, OwnerRightsAceReplacesTheImplicitOwnerRights) {
    const std::wstring sd = L"O:S-1-22-1-1000G:SYD:(A;;FR;;;OW)";
    ExpectGranted(Check(sd, UserToken(), FILE_READ_DATA | READ_CONTROL), FILE_READ_DATA | READ_CONTROL);
    ExpectDenied(Check(sd, UserToken(), WRITE_DAC));
    // For someone else the OWNER RIGHTS ACE is nothing.
    ExpectDenied(Check(L"O:BAG:SYD:(A;;FR;;;OW)", UserToken(), FILE_READ_DATA));
}

// ---- MAXIMUM_ALLOWED ------------------------------------------------------------

TEST(CheckAccess, MaximumAllowedCollectsWhatTheAcesAllowMinusEarlierDenies) {
    ExpectGranted(Check(L"O:BAG:SYD:(D;;WDWO;;;BU)(A;;FA;;;BU)", UserToken(), MAXIMUM_ALLOWED),
                  kAllFile & ~(WRITE_DAC | WRITE_OWNER));
    // A deny after the allow takes nothing back.
    ExpectGranted(Check(L"O:BAG:SYD:(A;;FA;;;BU)(D;;WDWO;;;BU)", UserToken(), MAXIMUM_ALLOWED), kAllFile);
    ExpectGranted(Check(L"O:S-1-22-1-1000G:SYD:(A;;FR;;;BU)", UserToken(), MAXIMUM_ALLOWED),
                  0x120089u | WRITE_DAC);
    ExpectGranted(Check(L"O:BAG:SYD:NO_ACCESS_CONTROL", UserToken(), MAXIMUM_ALLOWED), kAllFile);
}

TEST(CheckAccess, MaximumAllowedWithFurtherRightsNeedsThemAll) {
    ExpectGranted(Check(L"O:BAG:SYD:(A;;FR;;;BU)", UserToken(), MAXIMUM_ALLOWED | FILE_READ_DATA), 0x120089u);
    ExpectDenied(Check(L"O:BAG:SYD:(A;;FR;;;BU)", UserToken(), MAXIMUM_ALLOWED | FILE_WRITE_DATA));
}

// ---- privileges -----------------------------------------------------------------

TEST(CheckAccess, SaclAccessNeedsTheEnabledSecurityPrivilege) {
    const std::wstring sd = L"O:BAG:SYD:NO_ACCESS_CONTROL";
    ExpectDenied(Check(sd, UserToken(), ACCESS_SYSTEM_SECURITY), ERROR_PRIVILEGE_NOT_HELD);
    ExpectDenied(Check(sd, WithPrivilege(UserToken(), SE_SECURITY_NAME, false), ACCESS_SYSTEM_SECURITY),
                 ERROR_PRIVILEGE_NOT_HELD);
    ExpectGranted(Check(L"O:BAG:SYD:", WithPrivilege(UserToken(), SE_SECURITY_NAME, true), ACCESS_SYSTEM_SECURITY),
                  ACCESS_SYSTEM_SECURITY);
    // An ACE cannot grant it.
    ExpectDenied(Check(L"O:BAG:SYD:(A;;0x11f01ff;;;BU)", UserToken(), ACCESS_SYSTEM_SECURITY),
                 ERROR_PRIVILEGE_NOT_HELD);
    ExpectGranted(Check(L"O:BAG:SYD:(A;;0x11f01ff;;;BU)", UserToken(), MAXIMUM_ALLOWED), kAllFile);
}

TEST(CheckAccess, BackupPrivilegeReadsEverythingOnlyWithBackupSemantics) {
    const std::wstring sd = L"O:BAG:SYD:(D;;FA;;;WD)";
    const AccessToken backup = WithPrivilege(UserToken(), SE_BACKUP_NAME, true);
    ExpectGranted(Check(sd, backup, FILE_READ_DATA | READ_CONTROL | FILE_TRAVERSE, true),
                  FILE_READ_DATA | READ_CONTROL | FILE_TRAVERSE);
    ExpectDenied(Check(sd, backup, FILE_READ_DATA, false));
    ExpectDenied(Check(sd, backup, FILE_WRITE_DATA, true));
    ExpectDenied(Check(sd, WithPrivilege(UserToken(), SE_BACKUP_NAME, false), FILE_READ_DATA, true));
    ExpectGranted(Check(sd, backup, MAXIMUM_ALLOWED, true), 0x1200A9u);
}

TEST(CheckAccess, RestorePrivilegeWritesEverythingOnlyWithBackupSemantics) {
    const std::wstring sd = L"O:BAG:SYD:(D;;FA;;;WD)";
    const AccessToken restore = WithPrivilege(UserToken(), SE_RESTORE_NAME, true);
    const ACCESS_MASK writes = WRITE_DAC | WRITE_OWNER | DELETE | FILE_WRITE_DATA | FILE_APPEND_DATA;
    ExpectGranted(Check(sd, restore, writes, true), writes);
    ExpectDenied(Check(sd, restore, WRITE_DAC, false));
    ExpectDenied(Check(sd, restore, FILE_READ_DATA, true));
}

TEST(CheckAccess, TakeOwnershipPrivilegeGrantsWriteOwnerOnly) {
    const std::wstring sd = L"O:BAG:SYD:(D;;FA;;;WD)";
    const AccessToken takeOwnership = WithPrivilege(UserToken(), SE_TAKE_OWNERSHIP_NAME, true);
    ExpectGranted(Check(sd, takeOwnership, WRITE_OWNER), WRITE_OWNER);
    ExpectDenied(Check(sd, takeOwnership, WRITE_OWNER | WRITE_DAC));
    ExpectDenied(Check(sd, WithPrivilege(UserToken(), SE_TAKE_OWNERSHIP_NAME, false), WRITE_OWNER));
}

// ---- ACE kinds that need care ---------------------------------------------------

// An ACE of the object layout: header, mask, flags, optional object type GUID, SID.
Bytes ObjectAce(BYTE type, ACCESS_MASK mask, bool withObjectType, const Bytes& sid) {
    Bytes ace(12, 0);
    ace[0] = type;
    std::memcpy(ace.data() + 4, &mask, 4);
    const DWORD flags = withObjectType ? ACE_OBJECT_TYPE_PRESENT : 0;
    std::memcpy(ace.data() + 8, &flags, 4);
    if (withObjectType) ace.insert(ace.end(), 16, 0x5A);
    ace.insert(ace.end(), sid.begin(), sid.end());
    const WORD size = static_cast<WORD>(ace.size());
    std::memcpy(ace.data() + 2, &size, 2);
    return ace;
}

// A callback ACE: the basic layout followed by application data.
Bytes CallbackAce(BYTE type, ACCESS_MASK mask, const Bytes& sid) {
    Bytes ace(8, 0);
    ace[0] = type;
    std::memcpy(ace.data() + 4, &mask, 4);
    ace.insert(ace.end(), sid.begin(), sid.end());
    const Bytes condition = {'a', 'r', 't', 'x', 0, 0, 0, 0};
    ace.insert(ace.end(), condition.begin(), condition.end());
    const WORD size = static_cast<WORD>(ace.size());
    std::memcpy(ace.data() + 2, &size, 2);
    return ace;
}

Bytes DescriptorWithAces(const std::vector<Bytes>& aces) {
    Bytes acl(8, 0);
    acl[0] = ACL_REVISION_DS;
    for (const Bytes& ace : aces) acl.insert(acl.end(), ace.begin(), ace.end());
    const WORD size = static_cast<WORD>(acl.size()), count = static_cast<WORD>(aces.size());
    std::memcpy(acl.data() + 2, &size, 2);
    std::memcpy(acl.data() + 4, &count, 2);
    const Bytes owner = SidFromText(L"S-1-5-32-544");
    return winapi::BuildSelfRelative(SE_DACL_PRESENT, reinterpret_cast<const SID*>(owner.data()), nullptr, nullptr,
                                     reinterpret_cast<const ACL*>(acl.data()));
}

Outcome CheckBytes(const Bytes& sd, ACCESS_MASK desired) {
    Outcome o{0, 0};
    o.status = winapi::CheckAccess(sd.data(), sd.size(), UserToken(), desired, winapi::FileGenericMapping(), false,
                                   &o.granted);
    return o;
}

TEST(CheckAccess, ObjectAcesCountOnlyWithoutAnObjectType) {
    const Bytes users = SidFromText(L"S-1-5-32-545");
    ExpectGranted(CheckBytes(DescriptorWithAces({ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kAllFile, false, users)}),
                             FILE_READ_DATA),
                  FILE_READ_DATA);
    ExpectDenied(CheckBytes(DescriptorWithAces({ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kAllFile, true, users)}),
                            FILE_READ_DATA));
    ExpectDenied(CheckBytes(DescriptorWithAces({ObjectAce(ACCESS_DENIED_OBJECT_ACE_TYPE, kAllFile, false, users),
                                                ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kAllFile, false, users)}),
                            FILE_READ_DATA));
}

TEST(CheckAccess, CallbackAllowNeverGrantsCallbackDenyStillDenies) {
    const Bytes users = SidFromText(L"S-1-5-32-545");
    ExpectDenied(CheckBytes(DescriptorWithAces({CallbackAce(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, kAllFile, users)}),
                            FILE_READ_DATA));
    ExpectDenied(CheckBytes(DescriptorWithAces({CallbackAce(ACCESS_DENIED_CALLBACK_ACE_TYPE, kAllFile, users),
                                                ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kAllFile, false, users)}),
                            FILE_READ_DATA));
}

TEST(CheckAccess, DamagedDescriptorIsAnErrorNotAGrant) {
    Bytes sd = SdFromSddl(L"O:BAG:SYD:(A;;FA;;;BU)");
    ACCESS_MASK granted = 0;
    for (size_t cut = 0; cut < sd.size(); ++cut) {
        const Bytes truncated(sd.begin(), sd.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(winapi::CheckAccess(truncated.data(), truncated.size(), UserToken(), FILE_READ_DATA,
                                      winapi::FileGenericMapping(), false, &granted),
                  static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR))
            << "cut at " << cut;
    }
    EXPECT_EQ(winapi::CheckAccess(nullptr, 0, UserToken(), FILE_READ_DATA, winapi::FileGenericMapping(), false,
                                  &granted),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

// Opens keep the answers of recent checks: a kept answer must serve only the
// same descriptor bytes, token copy, rights and semantics.
TEST(RecentAccessChecks, AnswerAsTheCheckItselfDoesInAnyOrder) {
    auto plain = std::make_shared<const AccessToken>(UserToken());
    auto backup = std::make_shared<const AccessToken>(WithPrivilege(UserToken(), L"SeBackupPrivilege", true));
    auto copy = std::make_shared<const AccessToken>(UserToken());
    const Bytes readable = SdFromSddl(L"O:BAG:SYD:(A;;FR;;;BU)");
    const Bytes closed = SdFromSddl(L"O:BAG:SYD:(A;;FR;;;BA)");
    struct Case {
        const Bytes* sd;
        std::shared_ptr<const AccessToken> token;
        ACCESS_MASK desired;
        bool backupSemantics;
    };
    const std::vector<Case> cases = {
        {&readable, plain, FILE_READ_DATA, false},  {&closed, plain, FILE_READ_DATA, false},
        {&closed, backup, FILE_READ_DATA, true},    {&closed, backup, FILE_READ_DATA, false},
        {&closed, plain, FILE_READ_DATA, true},     {&readable, plain, FILE_WRITE_DATA, false},
        {&readable, copy, MAXIMUM_ALLOWED, false},  {&closed, copy, READ_CONTROL, false},
    };
    winapi::RecentAccessChecks recent;
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            // Forwards, then backwards: each answer follows others of every kind.
            const Case& c = cases[round == 1 ? cases.size() - 1 - i : i];
            Outcome expected{0, 0};
            expected.status = winapi::CheckAccess(c.sd->data(), c.sd->size(), *c.token, c.desired,
                                                  winapi::FileGenericMapping(), c.backupSemantics, &expected.granted);
            Outcome kept{0, 0xDEADBEEF};
            kept.status = recent.Check(*c.sd, c.token, c.desired, winapi::FileGenericMapping(), c.backupSemantics,
                                       &kept.granted);
            EXPECT_EQ(kept.status, expected.status) << "case " << i << " round " << round;
            EXPECT_EQ(kept.granted, expected.granted) << "case " << i << " round " << round;
        }
    }
    // The same buffer with other bytes is another descriptor.
    Bytes changing = readable;
    ACCESS_MASK granted = 0;
    EXPECT_EQ(recent.Check(changing, plain, FILE_READ_DATA, winapi::FileGenericMapping(), false, &granted),
              static_cast<DWORD>(ERROR_SUCCESS));
    changing = closed;
    EXPECT_EQ(recent.Check(changing, plain, FILE_READ_DATA, winapi::FileGenericMapping(), false, &granted),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(TokenHasSid, MatchesUserAndGroupsOnly) {
    const AccessToken token = UserToken();
    EXPECT_TRUE(winapi::TokenHasSid(token, SidFromText(L"S-1-22-1-1000").data()));
    EXPECT_TRUE(winapi::TokenHasSid(token, SidFromText(L"S-1-5-11").data()));
    EXPECT_FALSE(winapi::TokenHasSid(token, SidFromText(L"S-1-22-1-100").data()));
    EXPECT_FALSE(winapi::TokenHasSid(token, SidFromText(L"S-1-22-1-1000-0").data()));
    EXPECT_FALSE(winapi::TokenHasSid(token, SidFromText(L"S-1-1-0").data())) << "a possible owner must be listed";
    EXPECT_FALSE(winapi::TokenHasSid(token, nullptr));
}

}  // namespace
