// Where a restore puts records: names moved by prefix, SIDs by account or
// by domain, and the lines of a SID map file.
#include <gtest/gtest.h>

#include "listing/restore_maps.h"
#include "winapi/win32.h"

namespace tavrik {
namespace {

TEST(ObjectNameMap, LongestWholeComponentPrefixWinsInAnyCaseAndKeepsTheRecordsForm) {
    ObjectNameMap map;
    ASSERT_TRUE(map.Add(L"C:\\Data", L"D:\\Archive\\Data"));
    ASSERT_TRUE(map.Add(L"c:\\data\\Private\\", L"E:\\Vault"));
    ASSERT_TRUE(map.Add(L"\\\\OLDSRV\\share", L"\\\\NEWSRV\\share"));
    ASSERT_TRUE(map.Add(L"HKLM\\SOFTWARE\\Vendor", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor2"));
    EXPECT_FALSE(map.Add(L"", L"D:\\x"));
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"\\\\?\\C:\\Data", L"\\\\?\\D:\\Archive\\Data"},
        {L"\\\\?\\C:\\DATA\\report.txt", L"\\\\?\\D:\\Archive\\Data\\report.txt"},
        {L"\\\\?\\C:\\Data\\private\\salaries.txt", L"\\\\?\\E:\\Vault\\salaries.txt"},
        {L"\\\\?\\C:\\Database\\x", L"\\\\?\\C:\\Database\\x"},  // not below C:\Data
        {L"C:\\Data\\x", L"D:\\Archive\\Data\\x"},
        {L"\\\\?\\UNC\\oldsrv\\share\\dir", L"\\\\?\\UNC\\NEWSRV\\share\\dir"},
        {L"\\\\OLDSRV\\share", L"\\\\NEWSRV\\share"},
        {L"\\\\OLDSRV\\shared", L"\\\\OLDSRV\\shared"},
        {L"machine\\SOFTWARE\\Vendor\\Sub", L"machine\\SOFTWARE\\Vendor2\\Sub"},
        {L"machine\\SOFTWARE\\Other", L"machine\\SOFTWARE\\Other"},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(map.Apply(name), expected) << name;
}

std::vector<BYTE> SidBytes(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << text;
    std::vector<BYTE> bytes(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
    return bytes;
}

std::wstring SidText(PSID sid) {
    if (!sid) return L"(none)";
    LPWSTR text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(sid, &text));
    std::wstring result = text;
    LocalFree(text);
    return result;
}

TEST(SidMap, AccountsBeforeTheirDomainAndDomainsKeepRids) {
    auto oldDomain = SidBytes(L"S-1-5-21-1-2-3"), newDomain = SidBytes(L"S-1-5-21-4-5-6");
    auto jane = SidBytes(L"S-1-5-21-1-2-3-1105"), other = SidBytes(L"S-1-5-21-7-8-9-500");
    EXPECT_TRUE(IsDomainSid(oldDomain.data()));
    EXPECT_FALSE(IsDomainSid(jane.data()));
    EXPECT_FALSE(IsDomainSid(SidBytes(L"S-1-5-32").data()));
    SidMap map;
    map.Add(oldDomain.data(), newDomain.data(), true);
    map.Add(jane.data(), other.data(), false);
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"S-1-5-21-1-2-3-1105", L"S-1-5-21-7-8-9-500"},
        {L"S-1-5-21-1-2-3-1106", L"S-1-5-21-4-5-6-1106"},
        {L"S-1-5-21-1-2-3", L"(none)"},            // the domain itself is no account of it
        {L"S-1-5-21-1-2-3-1106-7", L"(none)"},     // nor is a longer SID
        {L"S-1-5-21-1-2-4-1106", L"(none)"},
        {L"S-1-5-32-544", L"(none)"},
    };
    for (const auto& [from, to] : cases) {
        auto sid = SidBytes(from);
        EXPECT_EQ(SidText(map.Map(sid.data())), to) << from;
    }
}

TEST(SidMapLine, PairsBlanksCommentsAndMistakes) {
    struct Case {
        const wchar_t* line;
        bool ok;
        const wchar_t *from, *to;
    };
    const Case cases[] = {
        {L"OLDDOM\\jane=NEWDOM\\jane", true, L"OLDDOM\\jane", L"NEWDOM\\jane"},
        {L"  S-1-5-21-1-2-3 = S-1-5-21-4-5-6 \r", true, L"S-1-5-21-1-2-3", L"S-1-5-21-4-5-6"},
        {L"", true, L"", L""},
        {L"   ", true, L"", L""},
        {L"# moved in 2024", true, L"", L""},
        {L"; old style", true, L"", L""},
        {L"OLDDOM\\jane NEWDOM\\jane", false, L"", L""},
        {L"=NEWDOM\\jane", false, L"", L""},
        {L"OLDDOM\\jane=", false, L"", L""},
        {L"a=b=c", false, L"", L""},
    };
    for (const Case& c : cases) {
        std::wstring from = L"x", to = L"y";
        EXPECT_EQ(ParseSidMapLine(c.line, from, to), c.ok) << c.line;
        EXPECT_EQ(from, c.from) << c.line;
        EXPECT_EQ(to, c.to) << c.line;
    }
}

}  // namespace
}  // namespace tavrik
