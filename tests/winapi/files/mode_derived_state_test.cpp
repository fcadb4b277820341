// When a write leaves an object with nothing but its mode-derived
// descriptor, so that the layer removes the attribute instead of storing it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/semantics_support.h"
#include "winapi/files/mode_derived_state.h"
#include "winapi/files/ntacl.h"

namespace {

using tavrik::test::SdFromSddl;
using winapi::Bytes;

const std::wstring kIds = L"O:S-1-22-1-1000G:S-1-22-2-100";
// A file of mode 0640 without the attribute: its explicit entries.
const std::wstring kFileEntries = L"(A;;0x1f019f;;;S-1-22-1-1000)(A;;FR;;;S-1-22-2-100)(A;;;;;WD)";
// What a directory of mode 0750 without the attribute hands such a file.
const std::wstring kFromDerivedDirectory = L"(A;ID;FA;;;S-1-22-1-1000)(A;ID;0x1200a9;;;S-1-22-2-100)(A;ID;;;;WD)";

struct stat FileStatus(mode_t mode = 0640) {
    struct stat status {};
    status.st_mode = S_IFREG | mode;
    status.st_uid = 1000;
    status.st_gid = 100;
    return status;
}

TEST(ModeDerivedState, OnlyTheFlagAndEntriesFromAModeDerivedDirectoryMayDiffer) {
    const Bytes derivedParent = winapi::ModeDerivedDescriptor(0750, 1000, 100, true);
    const Bytes storedParent = SdFromSddl(L"O:S-1-5-32-544G:S-1-5-18D:AI(A;OICI;FA;;;S-1-5-32-544)");
    winapi::machine::Drive plain;
    winapi::machine::Drive samba;
    samba.samba = winapi::machine::SambaShare{};
    const struct {
        const char* why;
        std::wstring result;
        const Bytes* parent;
        mode_t mode;
        bool sambaShare;
        bool staysDerived;
    } cases[] = {
        {"the derived descriptor itself", kIds + L"D:" + kFileEntries, &derivedParent, 0640, false, true},
        {"inherited from a mode-derived directory", kIds + L"D:AI" + kFileEntries + kFromDerivedDirectory,
         &derivedParent, 0640, false, true},
        {"a drive's root: nothing to inherit", kIds + L"D:AI" + kFileEntries, nullptr, 0640, false, true},
        {"a stored directory that hands down nothing", kIds + L"D:AI" + kFileEntries, &storedParent, 0640, false,
         true},
        {"an empty unprotected SACL", kIds + L"D:AI" + kFileEntries + L"S:", &derivedParent, 0640, false, true},
        {"inherited from a stored directory", kIds + L"D:AI" + kFileEntries + L"(A;ID;FA;;;S-1-5-32-544)", &storedParent, 0640,
         false, false},
        {"an entry more", kIds + L"D:AI(A;;FR;;;S-1-5-32-545)" + kFileEntries, &derivedParent, 0640, false, false},
        {"an entry fewer", kIds + L"D:AI(A;;0x1f019f;;;S-1-22-1-1000)(A;;FR;;;S-1-22-2-100)", &derivedParent, 0640,
         false, false},
        {"entries reordered", kIds + L"D:AI(A;;FR;;;S-1-22-2-100)(A;;0x1f019f;;;S-1-22-1-1000)(A;;;;;WD)",
         &derivedParent, 0640, false, false},
        {"an inherited entry before explicit ones",
         kIds + L"D:AI(A;ID;FA;;;S-1-22-1-1000)" + kFileEntries, &derivedParent, 0640, false, false},
        {"protected", kIds + L"D:PAI" + kFileEntries, &derivedParent, 0640, false, false},
        {"another owner", L"O:S-1-5-32-544G:S-1-22-2-100D:" + kFileEntries, &derivedParent, 0640, false, false},
        {"another group", L"O:S-1-22-1-1000G:S-1-5-18D:" + kFileEntries, &derivedParent, 0640, false, false},
        {"an audit entry", kIds + L"D:" + kFileEntries + L"S:(AU;SA;FR;;;WD)", &derivedParent, 0640, false, false},
        {"a protected empty SACL", kIds + L"D:" + kFileEntries + L"S:P", &derivedParent, 0640, false, false},
        {"a NULL DACL", kIds + L"D:NO_ACCESS_CONTROL", &derivedParent, 0640, false, false},
        {"the mode changed since", kIds + L"D:" + kFileEntries, &derivedParent, 0600, false, false},
        {"a Samba share", kIds + L"D:" + kFileEntries, &derivedParent, 0640, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        auto parentModeDerived = [&c] { return c.parent && winapi::IsModeDerivedDirectoryDescriptor(*c.parent); };
        EXPECT_EQ(winapi::StaysModeDerived(c.sambaShare ? samba : plain, SdFromSddl(c.result), FileStatus(c.mode),
                                           parentModeDerived),
                  c.staysDerived);
    }
}

TEST(ModeDerivedState, RecognisesADirectorysModeDerivedDescriptorByItsBytes) {
    for (mode_t mode : {0000, 0700, 0750, 0755, 0777, 0421, 0200}) {
        EXPECT_TRUE(winapi::IsModeDerivedDirectoryDescriptor(winapi::ModeDerivedDescriptor(mode, 1000, 100, true)))
            << std::oct << mode;
    }
    // A file's has no creator entries; a stored one carries the flag or more.
    EXPECT_FALSE(winapi::IsModeDerivedDirectoryDescriptor(winapi::ModeDerivedDescriptor(0750, 1000, 100, false)));
    EXPECT_FALSE(winapi::IsModeDerivedDirectoryDescriptor(
        SdFromSddl(kIds + L"D:AI(A;;FA;;;S-1-22-1-1000)(A;;0x1200a9;;;S-1-22-2-100)(A;;;;;WD)(A;OICIIO;FA;;;CO)"
                          L"(A;OICIIO;0x1200a9;;;CG)(A;OICIIO;;;;WD)")));
    EXPECT_FALSE(winapi::IsModeDerivedDirectoryDescriptor(SdFromSddl(L"O:S-1-5-32-544G:S-1-5-18D:(A;OICI;FA;;;S-1-5-32-544)")));
    EXPECT_FALSE(winapi::IsModeDerivedDirectoryDescriptor(Bytes{1, 2, 3}));
}

// A write asks the question of object after object, and the last answers
// are kept: each still follows the descriptor's bytes, the object's mode,
// owner and group, and whether inherited entries may follow.
TEST(ModeDerivedState, RepeatedQuestionsFollowTheBytesModeOwnersAndInheritance) {
    const Bytes derived = SdFromSddl(kIds + L"D:" + kFileEntries);
    const Bytes inherited = SdFromSddl(kIds + L"D:AI" + kFileEntries + kFromDerivedDirectory);
    struct stat otherOwner = FileStatus(), otherGroup = FileStatus(), directory = FileStatus();
    otherOwner.st_uid = 1001;
    otherGroup.st_gid = 101;
    directory.st_mode = S_IFDIR | 0640;
    const struct {
        const Bytes* result;
        struct stat status;
        bool inheritedAllowed;
        bool matches;
    } cases[] = {
        {&derived, FileStatus(), false, true},     {&derived, FileStatus(0600), false, false},
        {&derived, otherOwner, false, false},      {&derived, otherGroup, false, false},
        {&derived, directory, false, false},       {&inherited, FileStatus(), true, true},
        {&inherited, FileStatus(), false, false},
    };
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[round == 1 ? std::size(cases) - 1 - i : i];
            EXPECT_EQ(winapi::MatchesModeDerived(*c.result, c.status, c.inheritedAllowed), c.matches)
                << "case " << i << " round " << round;
        }
    }
}

}  // namespace
