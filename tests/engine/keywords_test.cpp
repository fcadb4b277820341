// Permission keywords becoming access masks, per object type.
#include <iterator>

#include "acl/ace.h"
#include "engine_fixture.h"

namespace tavrik::test {
namespace {

class KeywordsTest : public EngineTest {
protected:
    // A job of `type` with one entry; returns the code of ParsePermissions.
    DWORD Parse(DWORD type, const std::wstring& permissions, DWORD mode = GRANT_ACCESS, DWORD aclType = ACL_DACL,
                DWORD inheritance = 0, BOOL given = FALSE) {
        job = NewJob();
        job->m_objectType = type;
        EXPECT_EQ(job->AddACE(L"alice", FALSE, permissions, inheritance, given, mode, aclType), RTN_OK);
        return job->ParsePermissions();
    }
    const CACE& Entry(size_t index) { return **std::next(job->m_aces.begin(), static_cast<long>(index)); }

    std::unique_ptr<CTavrik> job;
};

TEST_F(KeywordsTest, FileKeywordsAddSynchronizeAndDefaultInheritance) {
    ASSERT_EQ(Parse(SE_FILE_OBJECT, L"READ,Write"), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0x12019Fu);
    EXPECT_EQ(Entry(0).m_inheritance, 3u);

    ASSERT_EQ(Parse(SE_FILE_OBJECT, L"READ,Write", DENY_ACCESS), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0x2019Fu);

    ASSERT_EQ(Parse(SE_FILE_OBJECT, L"list_folder"), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0x1200A9u);
    EXPECT_EQ(Entry(0).m_inheritance, 2u);
    EXPECT_TRUE(Entry(0).m_inheritanceGiven);

    ASSERT_EQ(Parse(SE_FILE_OBJECT, L"read", GRANT_ACCESS, ACL_DACL, 4, TRUE), RTN_OK);
    EXPECT_EQ(Entry(0).m_inheritance, 4u);
}

TEST_F(KeywordsTest, AuditEntriesLoseSynchronize) {
    ASSERT_EQ(Parse(SE_FILE_OBJECT, L"full", SET_AUDIT_SUCCESS, ACL_SACL), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0xF01FFu);
}

TEST_F(KeywordsTest, OnlyTheOuterBlanksAreTrimmed) {
    EXPECT_EQ(Parse(SE_FILE_OBJECT, L"read, write"), RTN_ERR_KEYWORD_FILE);
    EXPECT_EQ(Parse(SE_FILE_OBJECT, L"  read,write \t"), RTN_OK);
    EXPECT_EQ(Parse(SE_FILE_OBJECT, L"read,"), RTN_OK);
    EXPECT_EQ(Parse(SE_FILE_OBJECT, L"read,,write"), RTN_ERR_KEYWORD_FILE);
}

TEST_F(KeywordsTest, RegistryServiceAndShareKeywords) {
    ASSERT_EQ(Parse(SE_REGISTRY_KEY, L"read,set_val,create_link"), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0x20019u | 0x2u | 0x20u);
    EXPECT_EQ(Entry(0).m_inheritance, 2u);
    ASSERT_EQ(Parse(SE_REGISTRY_KEY, L"full"), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0xF003Fu);
    EXPECT_EQ(Parse(SE_REGISTRY_KEY, L"start_stop"), RTN_ERR_KEYWORD_REGISTRY);

    ASSERT_EQ(Parse(SE_SERVICE, L"start_stop", GRANT_ACCESS, ACL_DACL, 3, FALSE), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0x201FDu);
    EXPECT_EQ(Entry(0).m_inheritance, 0u);
    EXPECT_EQ(Parse(SE_SERVICE, L"query_val"), RTN_ERR_KEYWORD_SERVICE);

    ASSERT_EQ(Parse(SE_LMSHARE, L"change"), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0x1301BFu);
    EXPECT_EQ(Parse(SE_LMSHARE, L"profile"), RTN_ERR_KEYWORD_SHARE);
}

TEST_F(KeywordsTest, WordsOfAListingTypeBackToTheSameRights) {
    // SYNCHRONIZE: files get it from every allowing keyword, the listing leaves it out.
    struct Case {
        DWORD type;
        DWORD mask;
        DWORD added;
    } cases[] = {
        {SE_FILE_OBJECT, 0x1F01FF, 0},  {SE_FILE_OBJECT, 0x1200A9, 0},    {SE_FILE_OBJECT, 0x160116, 0},
        {SE_FILE_OBJECT, 0x080061, 0x100000}, {SE_FILE_OBJECT, 0x1301BF, 0},
        {SE_REGISTRY_KEY, 0xF003F, 0},  {SE_REGISTRY_KEY, 0x60019, 0},
        {SE_SERVICE, 0x201FD, 0},       {SE_SERVICE, 0x10030, 0},
        {SE_LMSHARE, 0x1301BF, 0},      {SE_PRINTER, 0x20008, 0},       {SE_PRINTER, 0x40008, 0},
    };
    for (const auto& c : cases) {
        job = NewJob();
        job->m_objectType = c.type;
        const std::wstring text = job->MaskToText(c.mask);
        ASSERT_EQ(Parse(c.type, text), RTN_OK) << std::string(text.begin(), text.end());
        EXPECT_EQ(Entry(0).m_accessMask, c.mask | c.added) << std::string(text.begin(), text.end());
    }
    ASSERT_EQ(Parse(SE_FILE_OBJECT, L"read_ex+write_dacl,DELETE"), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0x1700A9u);
    EXPECT_EQ(Parse(SE_FILE_OBJECT, L"read++write"), RTN_ERR_KEYWORD_FILE);
    EXPECT_EQ(Parse(SE_SERVICE, L"FILE_TRAVERSE"), RTN_ERR_KEYWORD_SERVICE);
}

TEST_F(KeywordsTest, PrinterDocumentRightsNeedASecondEntry) {
    ASSERT_EQ(Parse(SE_PRINTER, L"man_docs"), RTN_OK);
    ASSERT_EQ(job->m_aces.size(), 2u);
    EXPECT_EQ(Entry(0).m_accessMask, 0x20000u);
    EXPECT_EQ(Entry(0).m_inheritance, 0xAu);
    EXPECT_EQ(Entry(1).m_accessMask, 0xF0030u);
    EXPECT_EQ(Entry(1).m_inheritance, 0x9u);
    EXPECT_EQ(Entry(1).m_trustee->m_name, L"alice");
    EXPECT_NE(Entry(1).m_trustee, Entry(0).m_trustee);
    EXPECT_EQ(job->m_daclAceCount, 2u);

    ASSERT_EQ(Parse(SE_PRINTER, L"print,full"), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0xF000Cu);  // full replaces what print gave
    EXPECT_EQ(job->m_aces.size(), 2u);

    ASSERT_EQ(Parse(SE_PRINTER, L"man_docs", GRANT_ACCESS, ACL_DACL, 0, TRUE), RTN_OK);
    EXPECT_EQ(Entry(0).m_accessMask, 0xF0030u);
    EXPECT_EQ(job->m_aces.size(), 1u);

    EXPECT_EQ(Parse(SE_PRINTER, L"read"), RTN_ERR_KEYWORD_PRINTER);
    EXPECT_EQ(job->m_aces.size(), 1u);
    EXPECT_EQ(job->m_daclAceCount, 1u);
}

TEST_F(KeywordsTest, CombinedAuditEntriesSplitOnceAcrossRuns) {
    ASSERT_EQ(Parse(SE_REGISTRY_KEY, L"full", AUDIT_SUCCESS_AND_FAILURE, ACL_SACL), RTN_OK);
    ASSERT_EQ(job->m_aces.size(), 2u);
    EXPECT_EQ(Entry(0).m_accessMode, static_cast<DWORD>(SET_AUDIT_FAILURE));
    EXPECT_EQ(Entry(1).m_accessMode, static_cast<DWORD>(SET_AUDIT_SUCCESS));
    EXPECT_EQ(Entry(1).m_accessMask, 0xF003Fu);
    EXPECT_EQ(job->m_saclAceCount, 2u);

    ASSERT_EQ(job->ParsePermissions(), RTN_OK);
    EXPECT_EQ(job->m_aces.size(), 2u);
    EXPECT_EQ(job->m_saclAceCount, 2u);
}

TEST_F(KeywordsTest, ASecondRunDerivesPrinterDocumentEntriesAfresh) {
    ASSERT_EQ(Parse(SE_PRINTER, L"full"), RTN_OK);
    ASSERT_EQ(job->ParsePermissions(), RTN_OK);
    ASSERT_EQ(job->m_aces.size(), 2u);
    EXPECT_EQ(Entry(0).m_accessMask, 0xF000Cu);
    EXPECT_EQ(Entry(1).m_accessMask, 0xF0030u);
    EXPECT_EQ(Entry(1).m_inheritance, 0x9u);
    EXPECT_EQ(job->m_daclAceCount, 2u);
}

TEST(SplitListTest, PiecesKeepInnerBlanksAndDropATrailingEmptyOne) {
    std::vector<std::wstring> out{L"stale"};
    ASSERT_TRUE(SplitList(L",", L" a, b,,c, ", out));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"a", L" b", L"", L"c"}));
    ASSERT_TRUE(SplitList(L"+", L"", out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(SplitList(L"::", L"x::y", out));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"x", L"y"}));
}

}  // namespace
}  // namespace tavrik::test
