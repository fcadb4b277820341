// The comparison of two descriptors: what it calls added, removed and
// changed, and the lines it shows in the listing's words and in SDDL.
#include <gtest/gtest.h>

#include "listing/descriptor_diff.h"
#include "listing_fixture.h"

namespace tavrik::test {
namespace {

constexpr SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

class DescriptorDiffTest : public ListingTest {
protected:
    std::vector<std::wstring> Lines(const std::wstring& before, const std::wstring& after, bool sddl = false,
                                    SECURITY_INFORMATION parts = kAll) {
        auto job = NewJob();
        DescriptorDiff diff;
        EXPECT_TRUE(DiffSddl(*job, SE_FILE_OBJECT, before, after, parts, diff)) << before << " / " << after;
        EXPECT_EQ(diff.Same(), DiffLines(diff, sddl).empty());
        return DiffLines(diff, sddl);
    }
};

TEST_F(DescriptorDiffTest, ShowsEachKindOfChangeInTheListingsWords) {
    struct Case {
        const wchar_t *before, *after;
        std::vector<std::wstring> lines;
    };
    const Case cases[] = {
        {L"O:BAG:SYD:(A;;FA;;;SY)", L"O:BAG:SYD:(A;;FA;;;SY)", {}},
        {L"D:(A;;FA;;;SY)", L"D:(A;;FA;;;SY)(A;OICI;0x1200a9;;;BU)",
         {L"+ DACL: BUILTIN\\Users   read_execute   allow   container_inherit+object_inherit"}},
        {L"D:(A;;FA;;;SY)(D;;FA;;;WD)", L"D:(A;;FA;;;SY)", {L"- DACL: Everyone   full   deny   no_inheritance"}},
        // Same trustee, type and flags: other rights, one line.
        {L"D:(A;;FR;;;BU)", L"D:(A;;0x1301bf;;;BU)", {L"~ DACL: BUILTIN\\Users   read -> change   allow   no_inheritance"}},
        // Other flags make another entry.
        {L"D:(A;;FR;;;BU)", L"D:(A;OI;FR;;;BU)",
         {L"- DACL: BUILTIN\\Users   read   allow   no_inheritance",
          L"+ DACL: BUILTIN\\Users   read   allow   object_inherit"}},
        {L"O:BAD:(A;;FA;;;SY)", L"O:SYD:(A;;FA;;;SY)", {L"Owner: BUILTIN\\Administrators -> NT AUTHORITY\\SYSTEM"}},
        {L"G:BAD:(A;;FA;;;SY)", L"G:BUD:(A;;FA;;;SY)", {L"Group: BUILTIN\\Administrators -> BUILTIN\\Users"}},
        {L"D:AI(A;;FA;;;SY)", L"D:PAI(A;;FA;;;SY)",
         {L"DACL(not_protected+auto_inherited) -> DACL(protected+auto_inherited)"}},
        {L"D:NO_ACCESS_CONTROL", L"D:(A;;FA;;;SY)",
         {L"no_DACL(everyone_has_full_access) -> DACL(not_protected)",
          L"+ DACL: NT AUTHORITY\\SYSTEM   full   allow   no_inheritance"}},
        {L"D:(A;;FA;;;SY)(A;;FR;;;BU)", L"D:(A;;FR;;;BU)(A;;FA;;;SY)", {L"DACL: the same entries in another order"}},
        // A doubled entry that lost its twin shows as removed.
        {L"D:(A;;FR;;;BU)(A;;FR;;;BU)", L"D:(A;;FR;;;BU)", {L"- DACL: BUILTIN\\Users   read   allow   no_inheritance"}},
        {L"S:(AU;FA;FA;;;WD)", L"S:(AU;SA;FA;;;WD)",
         {L"- SACL: Everyone   full   audit   audit_fail", L"+ SACL: Everyone   full   audit   audit_success"}},
        // An unknown SID is shown as itself.
        {L"D:", L"D:(A;ID;FA;;;S-1-5-21-1-2-3-4242)",
         {L"+ DACL: S-1-5-21-1-2-3-4242   full   allow   inherited"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Lines(c.before, c.after), c.lines) << c.before << " -> " << c.after;
}

TEST_F(DescriptorDiffTest, SddlFormAndOnlyTheAskedParts) {
    EXPECT_EQ(Lines(L"O:BAD:(A;;FR;;;BU)", L"O:SYD:(A;;0x1301bf;;;BU)(A;OICI;FA;;;SY)", true),
              (std::vector<std::wstring>{L"Owner: BA -> SY", L"~ DACL: (A;;FR;;;BU) -> (A;;0x1301bf;;;BU)",
                                         L"+ DACL: (A;OICI;FA;;;SY)"}));
    // Parts not asked for are not compared.
    EXPECT_TRUE(Lines(L"O:BAD:(A;;FR;;;BU)", L"O:SYD:(A;;FR;;;BU)", false, DACL_SECURITY_INFORMATION).empty());

    auto job = NewJob();
    DescriptorDiff diff;
    EXPECT_FALSE(DiffSddl(*job, SE_FILE_OBJECT, L"D:(nonsense", L"D:", kAll, diff));
    // The data carries what a JSON or other writer needs.
    ASSERT_TRUE(DiffSddl(*job, SE_FILE_OBJECT, L"D:", L"D:(A;OICI;FA;;;BU)", kAll, diff));
    ASSERT_EQ(diff.entries.size(), 1u);
    EXPECT_EQ(diff.entries[0].after.sid, L"S-1-5-32-545");
    EXPECT_EQ(diff.entries[0].after.mask, 0x1F01FFu);
    EXPECT_EQ(diff.entries[0].acl, static_cast<DWORD>(ACL_DACL));
}

}  // namespace
}  // namespace tavrik::test
