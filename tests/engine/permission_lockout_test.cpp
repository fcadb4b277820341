// Which DACL and owner still let someone change an object's permissions.
#include <gtest/gtest.h>

#include "acl/permission_lockout.h"
#include "engine/local_memory.h"

namespace tavrik::test {
namespace {

bool Changeable(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr));
    LocalPtr<> descriptor(raw);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    EXPECT_TRUE(GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
    return LeavesPermissionsChangeable(present ? dacl : nullptr, owner);
}

TEST(PermissionLockout, KeepersAreReadAsTheAccessCheckReadsTheEntries) {
    // Owner BU with OWNER RIGHTS granting read control only: the owner's own
    // right is withheld, so only entries can keep someone in charge.
    const std::wstring withheld = L"O:BUD:(A;;RC;;;OW)";
    const struct {
        std::wstring sddl;
        bool changeable;
    } cases[] = {
        {L"O:BUD:", true},                                  // the owner's own right
        {L"O:BUD:(D;;FA;;;WD)", true},                      // which no deny takes away
        {L"D:", false},                                     // no owner, no entry
        {L"D:NO_ACCESS_CONTROL", true},                     // NULL DACL
        {withheld, false},
        {withheld + L"(A;;WD;;;OW)", true},                 // OWNER RIGHTS giving the right back
        {withheld + L"(A;;WD;;;BU)", true},                 // the owner's SID itself
        {withheld + L"(A;;FA;;;BA)", true},
        {withheld + L"(A;;GA;;;SY)", true},
        {withheld + L"(A;;FA;;;S-1-22-1-0)", true},         // the Unix root account of a Linux tree
        {withheld + L"(A;;WD;;;WD)", true},                 // Everyone includes them all
        {withheld + L"(A;;0x1200a9;;;BA)", false},          // read and execute only
        {withheld + L"(A;OICIIO;FA;;;BA)", false},          // for children only
        {withheld + L"(A;OICIIO;FA;;;CO)", false},
        {withheld + L"(A;;FA;;;CO)", false},                // CREATOR OWNER stands for nobody on the object
        {withheld + L"(A;;FA;;;S-1-5-21-1-2-3-1001)", false},
        {withheld + L"(D;;WD;;;WD)(A;;FA;;;BA)(A;;FA;;;SY)", false},
        {withheld + L"(A;;FA;;;BA)(D;;WD;;;WD)", true},     // a deny after the allow is too late
        {withheld + L"(D;;WD;;;BU)(A;;FA;;;SY)", true},     // SYSTEM is no member of Users
        {withheld + L"(D;;WD;;;BU)(A;;FA;;;S-1-5-32-544)", true},  // but holds Administrators
        {withheld + L"(D;;WD;;;AU)(A;;FA;;;BA)", false},    // every keeper of a Windows token is authenticated
        {withheld + L"(D;;WD;;;BA)(A;;FA;;;SY)", false},    // SYSTEM's token holds Administrators
        {withheld + L"(D;;WO;;;WD)(A;;FA;;;BA)", true},     // a deny of another right
        {withheld + L"(D;;FA;;;BA)(A;;FA;;;S-1-22-1-0)", true},
        {L"O:S-1-22-1-0D:(A;;RC;;;OW)(D;;GA;;;WD)(A;;FA;;;S-1-22-1-0)", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Changeable(c.sddl), c.changeable) << std::string(c.sddl.begin(), c.sddl.end());
    }
}

// A recursive job asks the question of the same few lists object after
// object, and the last answers are kept: each still follows the bytes of
// the DACL and of the owner, whatever came before.
TEST(PermissionLockout, RepeatedQuestionsFollowTheDaclAndOwnerBytes) {
    const struct {
        std::wstring sddl;
        bool changeable;
    } cases[] = {
        {L"O:S-1-5-21-1-2-3-1001D:(A;;RC;;;OW)(A;;WD;;;S-1-5-21-1-2-3-1001)", true},
        {L"O:S-1-5-21-1-2-3-1002D:(A;;RC;;;OW)(A;;WD;;;S-1-5-21-1-2-3-1001)", false},  // another owner
        {L"O:BUD:(A;;RC;;;OW)(A;;FA;;;BA)", true},
        {L"O:BUD:(A;;RC;;;OW)(A;;0x1200a9;;;BA)", false},  // as long, another mask
        {L"O:BUD:(A;;RC;;;OW)(A;;FA;;;BG)", false},        // as long, another account
        {L"O:BUD:(A;;RC;;;OW)", false},
        {L"O:BUD:(A;;RC;;;BU)", true},                     // no OWNER RIGHTS entry
        {L"D:(A;;RC;;;OW)(A;;FA;;;BA)", true},             // no owner
        {L"D:(A;;RC;;;OW)(A;;FA;;;BG)", false},
    };
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[round == 1 ? std::size(cases) - 1 - i : i];
            EXPECT_EQ(Changeable(c.sddl), c.changeable) << std::string(c.sddl.begin(), c.sddl.end()) << " round "
                                                        << round;
        }
    }
}

}  // namespace
}  // namespace tavrik::test
