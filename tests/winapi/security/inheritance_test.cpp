// Inheritance from parent to child, descriptor writes and re-inheritance,
// checked against what Windows shows for the same objects.
#include <gtest/gtest.h>

#include "support/semantics_support.h"
#include "winapi/security/inheritance.h"
#include "winapi/security/recent_applied_writes.h"
#include "winapi/security/recent_reinherits.h"

namespace {

using tavrik::test::AsAcl;
using tavrik::test::AsSid;
using tavrik::test::DaclFromSddl;
using tavrik::test::SaclFromSddl;
using tavrik::test::SddlOf;
using tavrik::test::SdFromSddl;
using tavrik::test::SidFromText;
using winapi::Bytes;

const std::wstring kUser = L"S-1-22-1-1000";
const std::wstring kGroup = L"S-1-22-2-100";

std::wstring Child(const std::wstring& parentSddl, bool isContainer) {
    const Bytes sd = winapi::CreateInheritedDescriptor(SdFromSddl(parentSddl), isContainer, SidFromText(kUser),
                                                       SidFromText(kGroup), winapi::FileGenericMapping());
    return SddlOf(sd);
}

std::wstring Owned(const std::wstring& rest) { return L"O:" + kUser + L"G:" + kGroup + rest; }

// ---- creating a child -------------------------------------------------------

TEST(CreateInheritedDescriptor, PlainInheritableAceStaysOneAceWithInheritedFlag) {
    const std::wstring parent = L"O:BAG:SYD:AI(A;OICI;FA;;;BU)(A;;FA;;;BA)";
    EXPECT_EQ(Child(parent, true), Owned(L"D:AI(A;OICIID;FA;;;BU)"));
    EXPECT_EQ(Child(parent, false), Owned(L"D:AI(A;ID;FA;;;BU)"));
}

TEST(CreateInheritedDescriptor, CreatorOwnerBecomesChildOwnerAndInheritOnlyCopyStays) {
    const std::wstring parent = L"O:BAG:SYD:AI(A;OICIIO;FA;;;CO)(A;OICI;FA;;;CG)";
    EXPECT_EQ(Child(parent, true), Owned(L"D:AI(A;ID;FA;;;" + kUser + L")(A;OICIIOID;FA;;;CO)(A;ID;FA;;;" + kGroup +
                                         L")(A;OICIIOID;FA;;;CG)"));
    EXPECT_EQ(Child(parent, false), Owned(L"D:AI(A;ID;FA;;;" + kUser + L")(A;ID;FA;;;" + kGroup + L")"));
}

TEST(CreateInheritedDescriptor, GenericRightsAreMappedOnlyInTheEffectiveCopy) {
    const std::wstring parent = L"O:BAG:SYD:AI(A;OICI;GRGX;;;BU)";
    EXPECT_EQ(Child(parent, true), Owned(L"D:AI(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)"));
    EXPECT_EQ(Child(parent, false), Owned(L"D:AI(A;ID;0x1200a9;;;BU)"));
}

TEST(CreateInheritedDescriptor, NoPropagateStopsAtTheFirstGeneration) {
    const std::wstring parent = L"O:BAG:SYD:AI(A;OICINP;FA;;;BU)(A;OINP;FR;;;WD)";
    // A container takes the ACE in effect but passes nothing on; an
    // object-only ACE with NO_PROPAGATE does not reach a container at all.
    EXPECT_EQ(Child(parent, true), Owned(L"D:AI(A;ID;FA;;;BU)"));
    EXPECT_EQ(Child(parent, false), Owned(L"D:AI(A;ID;FA;;;BU)(A;ID;FR;;;WD)"));
}

TEST(CreateInheritedDescriptor, ObjectAndContainerInheritReachTheirKindOnly) {
    const std::wstring parent = L"O:BAG:SYD:AI(A;OI;FR;;;BU)(A;CI;FW;;;WD)";
    // Containers carry object-inherit ACEs inherit-only for the files below.
    EXPECT_EQ(Child(parent, true), Owned(L"D:AI(A;OIIOID;FR;;;BU)(A;CIID;FW;;;WD)"));
    EXPECT_EQ(Child(parent, false), Owned(L"D:AI(A;ID;FR;;;BU)"));
}

TEST(CreateInheritedDescriptor, InheritOnlyParentAceTakesEffectOnTheChild) {
    EXPECT_EQ(Child(L"O:BAG:SYD:AI(A;OICIIO;FA;;;BU)", true), Owned(L"D:AI(A;OICIID;FA;;;BU)"));
}

TEST(CreateInheritedDescriptor, AuditAcesKeepTheirSuccessAndFailureFlags) {
    const std::wstring parent = L"O:BAG:SYD:AI(A;OICI;FA;;;BU)S:AI(AU;OICISAFA;FA;;;WD)(AU;FA;FR;;;WD)";
    EXPECT_EQ(Child(parent, false), Owned(L"D:AI(A;ID;FA;;;BU)S:AI(AU;IDSAFA;FA;;;WD)"));
}

TEST(CreateInheritedDescriptor, AutoInheritedFollowsTheParent) {
    EXPECT_EQ(Child(L"O:BAG:SYD:(A;OICI;FA;;;BU)", false), Owned(L"D:(A;ID;FA;;;BU)"));
}

TEST(CreateInheritedDescriptor, NothingToInheritGivesOwnerAndSystemFullControl) {
    // Neither an empty DACL (no one could open the object) nor a NULL DACL
    // (everyone could): what a token's default DACL gives.
    const std::wstring expected = Owned(L"D:(A;;FA;;;" + kUser + L")(A;;FA;;;SY)");
    EXPECT_EQ(Child(L"O:BAG:SYD:AI(A;;FA;;;BU)", false), expected);
    EXPECT_EQ(Child(L"O:BAG:SYD:NO_ACCESS_CONTROL", true), expected);
    EXPECT_EQ(Child(L"O:BAG:SY", true), expected);
}

TEST(CreateInheritedDescriptor, DamagedParentGivesTheDefaultNotACrash) {
    Bytes damaged = SdFromSddl(L"O:BAG:SYD:AI(A;OICI;FA;;;BU)");
    damaged.resize(damaged.size() - 6);
    const Bytes sd = winapi::CreateInheritedDescriptor(damaged, false, SidFromText(kUser), SidFromText(kGroup),
                                                       winapi::FileGenericMapping());
    EXPECT_EQ(SddlOf(sd), Owned(L"D:(A;;FA;;;" + kUser + L")(A;;FA;;;SY)"));
}

TEST(CreateInheritedDescriptor, RegistryKeysMapWithKeyRights) {
    const Bytes sd = winapi::CreateInheritedDescriptor(SdFromSddl(L"O:BAG:SYD:AI(A;CI;GR;;;BU)(A;CI;GA;;;BA)"), true,
                                                       SidFromText(L"S-1-5-32-544"), SidFromText(L"S-1-5-18"),
                                                       winapi::RegistryGenericMapping());
    EXPECT_EQ(SddlOf(sd), L"O:BAG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)");
}

// ---- writing a descriptor ---------------------------------------------------

struct Write {
    std::wstring current;
    const std::wstring* parent = nullptr;
    bool isContainer = false;
    SECURITY_INFORMATION info = 0;
    std::wstring dacl = {};  // as "D:..." SDDL, empty for none
    std::wstring sacl = {};  // as "S:..." SDDL
    std::wstring owner = {};
    bool nullDacl = false;

    DWORD Run(std::wstring* out) const {
        Bytes daclBytes = dacl.empty() ? Bytes{} : DaclFromSddl(dacl);
        Bytes saclBytes = sacl.empty() ? Bytes{} : SaclFromSddl(sacl);
        Bytes ownerBytes = owner.empty() ? Bytes{} : SidFromText(owner);
        Bytes parentBytes = parent ? SdFromSddl(*parent) : Bytes{};
        Bytes result;
        const DWORD status = winapi::ApplySecurityInformation(
            SdFromSddl(current), parent ? &parentBytes : nullptr, isContainer, info, AsSid(ownerBytes), nullptr,
            nullDacl ? nullptr : AsAcl(daclBytes), AsAcl(saclBytes), winapi::FileGenericMapping(), &result);
        if (status == ERROR_SUCCESS) *out = SddlOf(result);
        return status;
    }
};

const std::wstring kParent = L"O:BAG:SYD:AI(A;OICI;FR;;;WD)(A;OICIIO;GA;;;CO)S:AI(AU;OICIFA;FA;;;WD)";

TEST(ApplySecurityInformation, ProtectedWriteStoresAclAsGivenWithInheritedFlagsCleared) {
    Write w{L"O:BAG:SYD:AI(A;;FA;;;BA)(A;ID;FR;;;WD)", &kParent};
    w.info = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    w.dacl = L"D:(A;;FA;;;BA)(A;ID;FR;;;WD)";
    std::wstring out;
    ASSERT_EQ(w.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:BAG:SYD:PAI(A;;FA;;;BA)(A;;FR;;;WD)");
}

TEST(ApplySecurityInformation, UnprotectedWriteDropsSuppliedInheritedAcesAndRecomputesThemAfterExplicitOnes) {
    Write w{L"O:BAG:SYD:PAI(A;;FA;;;BA)", &kParent};
    w.info = DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    w.dacl = L"D:(A;ID;FA;;;BU)(A;;FA;;;BA)(A;ID;FA;;;AU)";
    std::wstring out;
    ASSERT_EQ(w.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:BAG:SYD:AI(A;;FA;;;BA)(A;ID;FR;;;WD)(A;ID;FA;;;BA)");
}

TEST(ApplySecurityInformation, WithoutProtectionFlagsTheObjectKeepsItsState) {
    std::wstring out;
    Write unprotected{L"O:BAG:SYD:AI(A;;FA;;;BA)", &kParent};
    unprotected.info = DACL_SECURITY_INFORMATION;
    unprotected.dacl = L"D:(A;;FA;;;BU)";
    ASSERT_EQ(unprotected.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:BAG:SYD:AI(A;;FA;;;BU)(A;ID;FR;;;WD)(A;ID;FA;;;BA)");

    Write isProtected{L"O:BAG:SYD:PAI(A;;FA;;;BA)", &kParent};
    isProtected.info = DACL_SECURITY_INFORMATION;
    isProtected.dacl = L"D:(A;;FA;;;BU)";
    ASSERT_EQ(isProtected.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:BAG:SYD:PAI(A;;FA;;;BU)");
}

TEST(ApplySecurityInformation, ExplicitGenericRightsAreMappedExceptOnInheritOnlyAces) {
    Write w{L"O:BAG:SYD:PAI", nullptr, true};
    w.info = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    w.dacl = L"D:(A;OICI;GA;;;BA)(A;OICIIO;GA;;;CO)(A;;GR;;;BU)";
    std::wstring out;
    ASSERT_EQ(w.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;;FR;;;BU)");
}

TEST(ApplySecurityInformation, NewOwnerIsWhoCreatorOwnerStandsForInTheSameWrite) {
    Write w{L"O:BAG:SYD:AI", &kParent};
    w.info = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    w.owner = kUser;
    w.dacl = L"D:";
    std::wstring out;
    ASSERT_EQ(w.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:" + kUser + L"G:SYD:AI(A;ID;FR;;;WD)(A;ID;FA;;;" + kUser + L")");
}

TEST(ApplySecurityInformation, SaclFollowsTheSameRulesAndLeavesTheDaclAlone) {
    Write w{L"O:BAG:SYD:PAI(A;;FA;;;BA)", &kParent};
    w.info = SACL_SECURITY_INFORMATION | UNPROTECTED_SACL_SECURITY_INFORMATION;
    w.sacl = L"S:(AU;SA;FW;;;BU)";
    std::wstring out;
    ASSERT_EQ(w.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:BAG:SYD:PAI(A;;FA;;;BA)S:AI(AU;SA;FW;;;BU)(AU;IDFA;FA;;;WD)");
}

TEST(ApplySecurityInformation, NullDaclIsStoredAsNullDacl) {
    Write w{L"O:BAG:SYD:AI(A;;FA;;;BA)", &kParent};
    w.info = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    w.nullDacl = true;
    std::wstring out;
    ASSERT_EQ(w.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:BAG:SYD:PAINO_ACCESS_CONTROL");
}

TEST(ApplySecurityInformation, OwnerOnlyWriteKeepsEverythingElse) {
    Write w{L"O:BAG:SYD:PAI(A;;FA;;;BA)S:(AU;SA;FA;;;WD)", &kParent};
    w.info = OWNER_SECURITY_INFORMATION;
    w.owner = L"S-1-5-18";
    std::wstring out;
    ASSERT_EQ(w.Run(&out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"O:SYG:SYD:PAI(A;;FA;;;BA)S:(AU;SA;FA;;;WD)");
}

TEST(ApplySecurityInformation, BadInputIsRefusedWithItsErrorCode) {
    const Bytes current = SdFromSddl(L"O:BAG:SYD:AI(A;;FA;;;BA)");
    Bytes result = {0xEE};
    // No owner where one is written.
    EXPECT_EQ(winapi::ApplySecurityInformation(current, nullptr, false, OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                                               nullptr, nullptr, winapi::FileGenericMapping(), &result),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A SID of revision 2.
    Bytes badSid = SidFromText(L"S-1-5-18");
    badSid[0] = 2;
    EXPECT_EQ(winapi::ApplySecurityInformation(current, nullptr, false, OWNER_SECURITY_INFORMATION, AsSid(badSid),
                                               nullptr, nullptr, nullptr, winapi::FileGenericMapping(), &result),
              static_cast<DWORD>(ERROR_INVALID_SID));
    // An ACL whose ACE claims more bytes than the ACL has.
    Bytes badAcl = DaclFromSddl(L"D:(A;;FA;;;BA)");
    badAcl[8 + 2] = 0x40;
    EXPECT_EQ(winapi::ApplySecurityInformation(current, nullptr, false, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               AsAcl(badAcl), nullptr, winapi::FileGenericMapping(), &result),
              static_cast<DWORD>(ERROR_INVALID_ACL));
    // A damaged stored descriptor.
    Bytes damaged = current;
    damaged[16] = 0xF0;
    Bytes goodAcl = DaclFromSddl(L"D:(A;;FA;;;BA)");
    EXPECT_EQ(winapi::ApplySecurityInformation(damaged, nullptr, false, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               AsAcl(goodAcl), nullptr, winapi::FileGenericMapping(), &result),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_EQ(result, Bytes{0xEE}) << "a failed write must not produce a result";
}

TEST(ApplySecurityInformation, DamagedParentFailsOnlyWhenInheritanceNeedsIt) {
    Bytes parent = SdFromSddl(kParent);
    parent.resize(parent.size() / 2);
    const Bytes current = SdFromSddl(L"O:BAG:SYD:AI(A;;FA;;;BA)");
    Bytes dacl = DaclFromSddl(L"D:(A;;FA;;;BU)");
    Bytes result;
    EXPECT_EQ(winapi::ApplySecurityInformation(current, &parent, false, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               AsAcl(dacl), nullptr, winapi::FileGenericMapping(), &result),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_EQ(winapi::ApplySecurityInformation(current, &parent, false,
                                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, AsAcl(dacl), nullptr, winapi::FileGenericMapping(),
                                               &result),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(SddlOf(result), L"O:BAG:SYD:PAI(A;;FA;;;BU)");
}

// ---- re-inheriting after a parent changed --------------------------------------

std::wstring Reinherited(const std::wstring& child, const std::wstring& parent, bool isContainer, bool* rewritten) {
    Bytes result = {0xEE};
    bool changed = false;
    *rewritten = winapi::Reinherit(SdFromSddl(child), SdFromSddl(parent), isContainer, winapi::FileGenericMapping(),
                                   &result, &changed) == ERROR_SUCCESS &&
                 changed;
    return *rewritten ? SddlOf(result) : std::wstring();
}

TEST(Reinherit, ReplacesTheInheritedPartAndKeepsExplicitAces) {
    bool rewritten = false;
    const std::wstring out = Reinherited(Owned(L"D:AI(A;;FA;;;BA)(A;ID;FR;;;WD)"),
                                         L"O:BAG:SYD:AI(A;OICI;FW;;;BU)(A;OICIIO;GA;;;CO)", false, &rewritten);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(out, Owned(L"D:AI(A;;FA;;;BA)(A;ID;FW;;;BU)(A;ID;FA;;;" + kUser + L")"));
}

TEST(Reinherit, UnchangedInheritedPartIsNotRewritten) {
    bool rewritten = true;
    const std::wstring parent = L"O:BAG:SYD:AI(A;OICI;FR;;;WD)(A;OICIIO;GA;;;CO)";
    const Bytes child = winapi::CreateInheritedDescriptor(SdFromSddl(parent), true, SidFromText(kUser),
                                                          SidFromText(kGroup), winapi::FileGenericMapping());
    Reinherited(SddlOf(child), parent, true, &rewritten);
    EXPECT_FALSE(rewritten);
    // An explicit ACE changes nothing about that.
    Reinherited(Owned(L"D:AI(A;;FA;;;BA)(A;ID;FR;;;WD)"), L"O:BAG:SYD:AI(A;OICI;FR;;;WD)", false, &rewritten);
    EXPECT_FALSE(rewritten);
}

// Children of one parent, one after another as a walk meets them: each
// takes CREATOR OWNER as its own owner and files and directories their own
// flags, and the parent's next version is read afresh.
TEST(Reinherit, SiblingsOfOneParentEachGetTheirOwnInheritedPart) {
    const std::wstring parent = L"O:BAG:SYD:AI(A;OICI;FW;;;BU)(A;OICIIO;GA;;;CO)";
    bool rewritten = false;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Reinherited(L"O:BAG:SYD:AI(A;;FA;;;BA)", parent, false, &rewritten),
                  L"O:BAG:SYD:AI(A;;FA;;;BA)(A;ID;FW;;;BU)(A;ID;FA;;;BA)");
        EXPECT_EQ(Reinherited(L"O:SYG:SYD:AI(A;;FA;;;BA)", parent, false, &rewritten),
                  L"O:SYG:SYD:AI(A;;FA;;;BA)(A;ID;FW;;;BU)(A;ID;FA;;;SY)");
        EXPECT_EQ(Reinherited(L"O:SYG:SYD:AI(A;;FA;;;BA)", parent, true, &rewritten),
                  L"O:SYG:SYD:AI(A;;FA;;;BA)(A;OICIID;FW;;;BU)(A;ID;FA;;;SY)(A;OICIIOID;GA;;;CO)");
    }
    EXPECT_EQ(Reinherited(L"O:BAG:SYD:AI(A;;FA;;;BA)", L"O:BAG:SYD:AI(A;OICI;FR;;;BU)(A;OICIIO;GA;;;CO)", false,
                          &rewritten),
              L"O:BAG:SYD:AI(A;;FA;;;BA)(A;ID;FR;;;BU)(A;ID;FA;;;BA)");
}

TEST(Reinherit, ProtectedChildIsLeftAlone) {
    bool rewritten = true;
    Reinherited(Owned(L"D:PAI(A;;FA;;;BA)"), L"O:BAG:SYD:AI(A;OICI;FW;;;BU)", false, &rewritten);
    EXPECT_FALSE(rewritten);
}

TEST(Reinherit, ParentLosingItsInheritableAcesEmptiesTheInheritedPart) {
    bool rewritten = false;
    const std::wstring out =
        Reinherited(Owned(L"D:AI(A;;FA;;;BA)(A;ID;FR;;;WD)"), L"O:BAG:SYD:PAI(A;;FA;;;BA)", false, &rewritten);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(out, Owned(L"D:AI(A;;FA;;;BA)"));
}

TEST(Reinherit, NullDaclIsNotTurnedIntoTheParentsRestrictions) {
    bool rewritten = true;
    Reinherited(Owned(L"D:NO_ACCESS_CONTROL"), L"O:BAG:SYD:AI(A;OICI;FR;;;BU)", false, &rewritten);
    EXPECT_FALSE(rewritten);
}

TEST(Reinherit, SaclIsReinheritedEvenWhenTheDaclIsProtected) {
    bool rewritten = false;
    const std::wstring out = Reinherited(Owned(L"D:PAI(A;;FA;;;BA)"),
                                         L"O:BAG:SYD:AI(A;OICI;FR;;;BU)S:AI(AU;OICIFA;FA;;;WD)", false, &rewritten);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(out, Owned(L"D:PAI(A;;FA;;;BA)S:AI(AU;IDFA;FA;;;WD)"));
}

TEST(Reinherit, DamagedDescriptorsAreNotRewritten) {
    Bytes child = SdFromSddl(Owned(L"D:AI(A;ID;FR;;;WD)"));
    child[child.size() - 30] ^= 0xFF;
    child.resize(child.size() - 3);
    Bytes result;
    bool changed = true;
    EXPECT_EQ(winapi::Reinherit(child, SdFromSddl(L"O:BAG:SYD:AI(A;OICI;FW;;;BU)"), false,
                                winapi::FileGenericMapping(), &result, &changed),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_FALSE(changed);
    EXPECT_EQ(winapi::Reinherit(SdFromSddl(Owned(L"D:AI")), Bytes{1, 0, 4}, false, winapi::FileGenericMapping(),
                                &result, &changed),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

// Reads and writes below an owed directory keep their recent answers: a kept
// answer serves only the same child bytes, parent bytes and kind of child,
// and one that left the child unchanged hands back no descriptor.
TEST(RecentReinherits, AnswerAsReinheritItselfDoesInAnyOrder) {
    const Bytes parent = SdFromSddl(L"O:BAG:SYD:AI(A;OICI;FW;;;BU)(A;OICIIO;GA;;;CO)");
    const Bytes otherParent = SdFromSddl(L"O:BAG:SYD:AI(A;OICI;FR;;;WD)");
    const Bytes file = SdFromSddl(L"O:BAG:SYD:AI(A;;FA;;;BA)");
    const Bytes protectedFile = SdFromSddl(L"O:BAG:SYD:PAI(A;;FA;;;BA)");
    const Bytes damaged = {1, 2, 3};
    struct Case {
        const Bytes* child;
        const Bytes* parent;
        bool isContainer;
    };
    // More cases than answers are kept, so some come back after eviction.
    const std::vector<Case> cases = {
        {&file, &parent, false},         {&file, &parent, true},           {&file, &otherParent, false},
        {&protectedFile, &parent, false}, {&damaged, &parent, false},      {&parent, &file, true},
    };
    winapi::RecentReinherits recent;
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[round == 1 ? cases.size() - 1 - i : i];
            Bytes expected = {0xEE}, kept = {0xEE};
            bool expectedChanged = false, keptChanged = true;
            const DWORD expectedStatus = winapi::Reinherit(*c.child, *c.parent, c.isContainer,
                                                           winapi::FileGenericMapping(), &expected, &expectedChanged);
            const DWORD keptStatus =
                recent.Reinherit(*c.child, *c.parent, c.isContainer, winapi::FileGenericMapping(), &kept, &keptChanged);
            EXPECT_EQ(keptStatus, expectedStatus) << "case " << i << " round " << round;
            EXPECT_EQ(keptChanged, expectedChanged) << "case " << i << " round " << round;
            EXPECT_EQ(kept, expected) << "case " << i << " round " << round;
        }
    }
}

// A walk plans each object's write from the same few descriptors: a kept
// answer serves only the same current and parent bytes, kind of object,
// parts written and bytes of each written part.
TEST(RecentAppliedWrites, AnswerAsApplySecurityInformationDoesInAnyOrder) {
    const Bytes parent = SdFromSddl(L"O:BAG:SYD:AI(A;OICI;FW;;;BU)(A;OICIIO;GA;;;CO)");
    const Bytes otherParent = SdFromSddl(L"O:BAG:SYD:AI(A;OICI;FR;;;BU)(A;OICIIO;GA;;;CO)");  // as long
    const Bytes file = SdFromSddl(L"O:BAG:SYD:AI(A;;FA;;;BA)");
    const Bytes otherFile = SdFromSddl(L"O:BAG:SYD:AI(A;;FA;;;BG)");  // as long
    const Bytes damaged = {1, 2, 3};
    Bytes grant = DaclFromSddl(L"D:(A;OICI;0x1200a9;;;BU)");
    Bytes otherGrant = DaclFromSddl(L"D:(A;OICI;0x1200a9;;;BG)");  // as long
    Bytes broken = {ACL_REVISION, 0, 16, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // an ACE of no size
    Bytes owner = SidFromText(L"S-1-5-32-544");
    Bytes otherOwner = SidFromText(L"S-1-5-32-545");
    constexpr SECURITY_INFORMATION D = DACL_SECURITY_INFORMATION;
    constexpr SECURITY_INFORMATION O = OWNER_SECURITY_INFORMATION;
    constexpr SECURITY_INFORMATION P = PROTECTED_DACL_SECURITY_INFORMATION;
    struct Case {
        const Bytes* current;
        const Bytes* parent;  // null: none
        bool isContainer;
        SECURITY_INFORMATION info;
        Bytes* owner;
        Bytes* dacl;  // null: a NULL DACL
    };
    // More cases than answers are kept, each differing from another in one
    // input only.
    const std::vector<Case> cases = {
        {&file, &parent, false, D, nullptr, &grant},
        {&file, &parent, true, D, nullptr, &grant},
        {&file, &otherParent, false, D, nullptr, &grant},
        {&file, nullptr, false, D, nullptr, &grant},
        {&otherFile, &parent, false, D, nullptr, &grant},
        {&file, &parent, false, D, nullptr, &otherGrant},
        {&file, &parent, false, D | P, nullptr, &grant},
        {&file, &parent, false, D, nullptr, nullptr},
        {&file, &parent, false, D | O, &owner, &grant},
        {&file, &parent, false, D | O, &otherOwner, &grant},
        {&file, &parent, false, D, &otherOwner, &grant},  // an owner not written is no part of the question
        {&file, &parent, false, D, nullptr, &broken},
        {&damaged, &parent, false, D, nullptr, &grant},
    };
    winapi::RecentAppliedWrites recent;
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[round == 1 ? cases.size() - 1 - i : i];
            PSID ownerSid = c.owner ? AsSid(*c.owner) : nullptr;
            PACL dacl = c.dacl ? AsAcl(*c.dacl) : nullptr;
            Bytes expected = {0xEE}, kept = {0xEE};
            const DWORD expectedStatus = winapi::ApplySecurityInformation(
                *c.current, c.parent, c.isContainer, c.info, ownerSid, nullptr, dacl, nullptr,
                winapi::FileGenericMapping(), &expected);
            const DWORD keptStatus = recent.Apply(*c.current, c.parent, c.isContainer, c.info, ownerSid, nullptr, dacl,
                                                  nullptr, winapi::FileGenericMapping(), &kept);
            EXPECT_EQ(keptStatus, expectedStatus) << "case " << i << " round " << round;
            EXPECT_EQ(kept, expected) << "case " << i << " round " << round;
        }
    }
}

}  // namespace
