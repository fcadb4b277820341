// The backup record: how it is written, how a line is split back into its
// fields, and which lines may name an object.
#include <gtest/gtest.h>

#include <climits>

#include "listing/backup_record.h"

namespace tavrik {
namespace {

TEST(BackupRecordTest, RecordsAreWrittenAsTheDocumentedExamples) {
    EXPECT_EQ(FormatSddlRecord(L"\\\\?\\C:\\Data\\Reports", 1, L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"),
              L"\"\\\\?\\C:\\Data\\Reports\",1,\"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)\"");
    EXPECT_EQ(FormatSddlRecord(L"machine\\software\\ExampleVendor", 4, L"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)"),
              L"\"machine\\software\\ExampleVendor\",4,\"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)\"");
    // A name that already starts with a quote gets none added.
    EXPECT_EQ(FormatSddlRecord(L"\"Spooler\"", 2, L"D:"), L"\"Spooler\",2,\"D:\"");
    EXPECT_EQ(QuotedObjectName(L""), L"\"\"");
}

TEST(BackupRecordTest, WrittenRecordsParseBackToTheirFields) {
    for (const std::wstring name : {L"\\\\?\\C:\\Data", L"machine\\software\\a,\"b", L"x\"", L"\u00e9\U0001F600",
                                    L"a\"b", L"\\\\?\\UNC\\srv\\share\\d ir"}) {
        ASSERT_TRUE(IsBackupSafeName(name));
        const BackupEntry entry = ParseBackupEntry(FormatSddlRecord(name, 4, L"O:BAD:P(A;;KA;;;SY)") + L"\r\n");
        EXPECT_EQ(entry.name, name);
        EXPECT_EQ(entry.objectType, 4u);
        EXPECT_EQ(entry.sddl, L"O:BAD:P(A;;KA;;;SY)");
        EXPECT_TRUE(entry.exactShape) << std::wstring(name).size();
    }
}

TEST(BackupRecordTest, SddlIsUpperCasedAndLineEndsAndQuotesAreTrimmed) {
    const BackupEntry entry = ParseBackupEntry(L"\"C:\\x\",1,\"d:pai(a;;fa;;;ba)\"\"\r\n\r\n");
    EXPECT_EQ(entry.name, L"C:\\x");
    EXPECT_EQ(entry.sddl, L"D:PAI(A;;FA;;;BA)");
    // Two closing quotes are not what the listing writes.
    EXPECT_FALSE(entry.exactShape);
    EXPECT_TRUE(ParseBackupEntry(L"\"C:\\x\",1,\"d:pai(a;;fa;;;ba)\"\n").exactShape);
    EXPECT_TRUE(ParseBackupEntry(L"\"C:\\x\",1,\"d:pai(a;;fa;;;ba)\"").exactShape);
}

TEST(BackupRecordTest, EveryLetterOfAnSddlTextIsUpperCasedWhereverItStands) {
    // Texts of lengths around the blocks the upper-casing goes in, with a
    // lower-case letter or a character past ASCII at each position.
    for (size_t length : {1u, 15u, 16u, 17u, 32u, 45u}) {
        for (size_t at = 0; at < length; ++at) {
            for (wchar_t odd : {L'a', L'z', L'\u00C9', L'\u4E2D'}) {
                std::wstring sddl(length, L'A');
                sddl[at] = odd;
                std::wstring upper = sddl;
                upper[at] = odd == L'a' ? L'A' : odd == L'z' ? L'Z' : odd;
                EXPECT_EQ(ParseBackupEntry(L"\"C:\\x\",1,\"" + sddl + L"\"").sddl, upper) << length << " " << at;
            }
        }
    }
}

TEST(BackupRecordTest, EachRecordGetsItsOwnTextWhetherItRepeatsTheOneBeforeOrNot) {
    const std::pair<const wchar_t*, const wchar_t*> texts[] = {
        {L"d:(a;;fa;;;ba)", L"D:(A;;FA;;;BA)"}, {L"d:(a;;fa;;;ba)", L"D:(A;;FA;;;BA)"},
        {L"d:(a;;fa;;;sy)", L"D:(A;;FA;;;SY)"}, {L"D:(A;;FA;;;SY)", L"D:(A;;FA;;;SY)"},
        {L"", L""},                             {L"d:(a;;fa;;;ba)", L"D:(A;;FA;;;BA)"},
    };
    for (const auto& [text, upper] : texts) {
        EXPECT_EQ(ParseBackupEntry(L"\"C:\\x\",1,\"" + std::wstring(text) + L"X\"").sddl, std::wstring(upper) + L"X");
    }
}

TEST(BackupRecordTest, ABreakAnywhereInTheLineRefusesItEvenWhenItsTextRepeats) {
    // Each line twice in a row, and after a clean line with the same text.
    const std::wstring clean = L"\"C:\\x\",1,\"D:(A;;FA;;;BA)\"";
    const std::wstring broken[] = {
        L"\"C:\\x\",1,\"D:(A;;FA;\r;;BA)\"",  L"\"C:\\x\",1,\"D:(A;;FA;;;BA)\r\"",
        L"\"C:\\x\",1,\"D:(A;;FA;;;BA)\"\r\"", L"\"C:\\\rx\",1,\"D:(A;;FA;;;BA)\"",
        std::wstring(L"\"C:\\x\",1,\"D:(A;;FA;\0;;BA)\"", 26),
    };
    for (const std::wstring& line : broken) {
        EXPECT_TRUE(ParseBackupEntry(clean).exactShape);
        EXPECT_FALSE(ParseBackupEntry(line).exactShape) << line.size();
        EXPECT_FALSE(ParseBackupEntry(line).exactShape) << line.size();
    }
}

TEST(BackupRecordTest, AnEntryParsedIntoAgainHoldsOnlyTheNewLine) {
    const std::wstring lines[] = {
        L"\"C:\\a long name\",1,\"d:(a;;fa;;;ba)\"", L"\"C:\\x\",1,\"\"", L"\"C:\\y\",4,\"D:(A;;FA;;;SY)\"\r\n",
        L"no entry at all",                          L"\"C:\\x\",1,\"\"",     L"\"C:\\z\",1,\"D:P\"",
    };
    BackupEntry reused;
    for (const std::wstring& line : lines) {
        ParseBackupEntry(line, &reused);
        const BackupEntry fresh = ParseBackupEntry(line);
        EXPECT_EQ(reused.name, fresh.name) << line;
        EXPECT_EQ(reused.objectType, fresh.objectType) << line;
        EXPECT_EQ(reused.sddl, fresh.sddl) << line;
        EXPECT_EQ(reused.exactShape, fresh.exactShape) << line;
        EXPECT_EQ(reused.noParts, fresh.noParts) << line;
    }
}

TEST(BackupRecordTest, ObjectTypesTheListingNeverWritesAreNoRecord) {
    for (const wchar_t* type : {L"0", L"6", L"13", L"99", L"4294967295"}) {
        EXPECT_FALSE(ParseBackupEntry(L"\"C:\\x\"," + std::wstring(type) + L",\"D:(A;;FA;;;BA)\"").exactShape) << type;
    }
    EXPECT_TRUE(ParseBackupEntry(L"\"share\",5,\"D:(A;;FA;;;BA)\"").exactShape);
}

TEST(BackupRecordTest, MissingSeparatorsCountAsFoundBeforeTheLine) {
    // No DQ "," at all: empty name; the type and SDDL fields follow from -1.
    BackupEntry entry = ParseBackupEntry(L"\r\n");
    EXPECT_EQ(entry.name, L"");
    EXPECT_EQ(entry.objectType, 0u);
    EXPECT_EQ(entry.sddl, L"");
    EXPECT_FALSE(entry.exactShape);

    entry = ParseBackupEntry(L"\"\\\\?\\C:\\Data\",1,DACL");
    EXPECT_EQ(entry.name, L"\\\\?\\C:\\Data");
    EXPECT_EQ(entry.objectType, 0u);  // no "," DQ: the type range is empty
    EXPECT_EQ(entry.sddl, L"\\?\\C:\\DATA\",1,DACL");
    EXPECT_FALSE(entry.exactShape);

    // A text record's name line: nothing to split.
    entry = ParseBackupEntry(L"\\\\?\\C:\\Data\\Reports\n");
    EXPECT_EQ(entry.name, L"");
    EXPECT_FALSE(entry.exactShape);
}

TEST(BackupRecordTest, TypeFieldIsReadLikeWtoi) {
    EXPECT_EQ(ParseBackupEntry(L"\"a\", 4x,\"D:\"").objectType, 4u);
    EXPECT_EQ(ParseBackupEntry(L"\"a\",x4,\"D:\"").objectType, 0u);
    EXPECT_EQ(ParseBackupEntry(L"\"a\",-1,\"D:\"").objectType, static_cast<DWORD>(-1));
    EXPECT_EQ(ParseBackupEntry(L"\"a\",99999999999999999999,\"D:\"").objectType, static_cast<DWORD>(INT_MAX));
    EXPECT_EQ(ParseBackupEntry(L"\"a\",-99999999999999999999,\"D:\"").objectType, static_cast<DWORD>(INT_MIN));
    // Only plain decimal digits make the exact shape.
    EXPECT_FALSE(ParseBackupEntry(L"\"a\", 4,\"D:\"").exactShape);
    EXPECT_FALSE(ParseBackupEntry(L"\"a\",-1,\"D:\"").exactShape);
    EXPECT_FALSE(ParseBackupEntry(L"\"a\",,\"D:\"").exactShape);
    EXPECT_FALSE(ParseBackupEntry(L"\"a\",\"D:\"").exactShape);
    EXPECT_FALSE(ParseBackupEntry(L"\"a\",12345678901,\"D:\"").exactShape);
}

TEST(BackupRecordTest, LinesThatOnlyResembleAnEntryAreNotExact) {
    // Truncated: the closing quote is missing, the SDDL may be cut short.
    EXPECT_FALSE(ParseBackupEntry(L"\"C:\\x\",1,\"D:PAI(A;;FA;;;BA)").exactShape);
    EXPECT_FALSE(ParseBackupEntry(L"\"C:\\x\",1,\"D:PAI(A;;FA;;;BA)\r\n").exactShape);
    // No opening quote, or several.
    EXPECT_FALSE(ParseBackupEntry(L"C:\\x\",1,\"D:\"").exactShape);
    EXPECT_FALSE(ParseBackupEntry(L"\"\"C:\\x\",1,\"D:\"").exactShape);
    // A text record's owner line whose account name carries an entry.
    EXPECT_FALSE(ParseBackupEntry(L"   Owner: machine\\software\\victim\",4,\"D:P(A;;KA;;;WD)\"\n").exactShape);
    // A line end or NUL inside.
    EXPECT_FALSE(ParseBackupEntry(L"\"C:\\x\",1,\"D:\r\"").exactShape);
    EXPECT_FALSE(ParseBackupEntry(std::wstring(L"\"C:\\x\0y\",1,\"D:\"", 15)).exactShape);
}

TEST(BackupRecordTest, NamesThatCannotBeStoredUnambiguously) {
    EXPECT_FALSE(IsBackupSafeName(L""));
    EXPECT_FALSE(IsBackupSafeName(L"\"quoted"));
    EXPECT_FALSE(IsBackupSafeName(L"machine\\software\\a\",4,\"D:P(A;;KA;;;WD)"));
    EXPECT_FALSE(IsBackupSafeName(L"a\nb"));
    EXPECT_FALSE(IsBackupSafeName(L"a\rb"));
    EXPECT_FALSE(IsBackupSafeName(std::wstring(L"a\0b", 3)));
    EXPECT_TRUE(IsBackupSafeName(L"a,\"b"));
    EXPECT_TRUE(IsBackupSafeName(L"a\""));

    // The name a hostile record would carry, and what a restore would make of it.
    const std::wstring hostile = L"machine\\software\\a\",4,\"D:P(A;;KA;;;WD)";
    const BackupEntry entry = ParseBackupEntry(FormatSddlRecord(hostile, 4, L"D:AI(A;;KR;;;BU)"));
    EXPECT_NE(entry.name, hostile);
}

TEST(BackupRecordTest, RepeatedSddlTextsKeepTheirOwnLineBreakVerdict) {
    // Texts of one length that differ only in a line break, in turns.
    const std::wstring plain = L"D:(A;;FA;;;SY)(A;;FR;;;WD)";
    std::wstring broken = plain;
    broken[14] = L'\n';
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(SddlHasLineBreak(plain));
        EXPECT_FALSE(SddlHasLineBreak(plain));
        EXPECT_TRUE(SddlHasLineBreak(broken));
        EXPECT_TRUE(SddlHasLineBreak(broken));
        EXPECT_FALSE(SddlHasLineBreak(plain.substr(0, 14)));
        EXPECT_TRUE(SddlHasLineBreak(broken.substr(0, 15)));
    }
    EXPECT_FALSE(SddlHasLineBreak(L""));
}

TEST(BackupRecordTest, DisplayableNameShowsControlCharacters) {
    EXPECT_EQ(DisplayableName(L"a\nb\rc\x7f"), L"a{U+000A}b{U+000D}c{U+007F}");
    EXPECT_EQ(DisplayableName(L"\\\\?\\C:\\plain"), L"\\\\?\\C:\\plain");
    // Without a copy: the name itself, or its escaped form in the room given.
    std::wstring room;
    const std::wstring plain = L"C:\\plain", odd = L"C:\\a\tb";
    EXPECT_EQ(&DisplayableName(plain, &room), &plain);
    EXPECT_EQ(DisplayableName(odd, &room), L"C:\\a{U+0009}b");
    EXPECT_EQ(&DisplayableName(plain, &room), &plain);
    // A control character at any place of a longer name.
    for (size_t at = 0; at < 40; ++at) {
        std::wstring name(40, L'n');
        name[at] = at % 2 ? L'\x7f' : L'\x1f';
        EXPECT_NE(&DisplayableName(name, &room), &name) << at;
    }
}

TEST(BackupRecordTest, SectionsDecideWhichPartsAreWritten) {
    EXPECT_EQ(SecurityInfoFromSddl(L"D:PAI(A;OICI;FA;;;BA)"),
              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION);
    EXPECT_EQ(SecurityInfoFromSddl(L"O:BAG:SYD:AI(A;OICIID;FA;;;SY)"),
              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                  UNPROTECTED_DACL_SECURITY_INFORMATION);
    EXPECT_EQ(SecurityInfoFromSddl(L"S:PAI(AU;SAFA;FA;;;WD)"),
              SACL_SECURITY_INFORMATION | PROTECTED_SACL_SECURITY_INFORMATION);
    EXPECT_EQ(SecurityInfoFromSddl(L"S:(AU;SA;FA;;;WD)"),
              SACL_SECURITY_INFORMATION | UNPROTECTED_SACL_SECURITY_INFORMATION);
    EXPECT_EQ(SecurityInfoFromSddl(L""), 0u);
    EXPECT_EQ(SecurityInfoFromSddl(L"D:ARP(A;;FA;;;BA)") & PROTECTED_DACL_SECURITY_INFORMATION,
              PROTECTED_DACL_SECURITY_INFORMATION);
    EXPECT_EQ(SecurityInfoFromSddl(L"D:NO_ACCESS_CONTROLP") & PROTECTED_DACL_SECURITY_INFORMATION,
              PROTECTED_DACL_SECURITY_INFORMATION);
}

TEST(BackupRecordTest, ProtectionIsReadFromTheLettersBehindEachMarker) {
    // An empty unprotected DACL before a protected SACL stays unprotected,
    // and an empty protected DACL is protected although no "(" follows.
    EXPECT_EQ(SecurityInfoFromSddl(L"D:AIS:PAI(AU;SA;FA;;;WD)"),
              DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION |
                  PROTECTED_SACL_SECURITY_INFORMATION);
    EXPECT_EQ(SecurityInfoFromSddl(L"D:P"), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION);
    EXPECT_EQ(SecurityInfoFromSddl(L"D:S:P"),
              DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION |
                  PROTECTED_SACL_SECURITY_INFORMATION);
}

}  // namespace
}  // namespace tavrik
