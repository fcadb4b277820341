// The WQL parser: the accepted grammar and the texts it must refuse.
#include <gtest/gtest.h>

#include <string>

#include "winapi/wql/wql_parser.h"

using namespace winapi::wql;

namespace {

bool Refused(const std::wstring& text) {
    try {
        ParseWql(text);
        return false;
    } catch (const WqlSyntaxError&) {
        return true;
    }
}

}  // namespace

TEST(WqlParser, SelectListAndClassAreRead) {
    WqlQuery star = ParseWql(L"SELECT * FROM Win32_Service");
    EXPECT_TRUE(star.allProperties);
    EXPECT_TRUE(star.properties.empty());
    EXPECT_EQ(star.className, L"Win32_Service");
    EXPECT_EQ(star.where, nullptr);

    WqlQuery list = ParseWql(L"  select Name ,State,__CLASS\tfrom\nwin32_service  ");
    EXPECT_FALSE(list.allProperties);
    EXPECT_EQ(list.properties, (std::vector<std::wstring>{L"Name", L"State", L"__CLASS"}));
    EXPECT_EQ(list.className, L"win32_service");
}

TEST(WqlParser, KeywordsIgnoreCase) {
    WqlQuery q = ParseWql(L"sElEcT * fRoM C wHeRe NoT A = 1 aNd B LiKe 'x' oR C iS nOt NuLl");
    ASSERT_NE(q.where, nullptr);
    EXPECT_EQ(q.where->kind, WqlCondition::Kind::Or);
}

TEST(WqlParser, AndBindsTighterThanOrAndChainsStayFlat) {
    WqlQuery q = ParseWql(L"SELECT * FROM C WHERE A = 1 OR B = 2 AND C = 3 AND D = 4");
    ASSERT_EQ(q.where->kind, WqlCondition::Kind::Or);
    ASSERT_EQ(q.where->children.size(), 2u);
    EXPECT_EQ(q.where->children[0]->kind, WqlCondition::Kind::Compare);
    const WqlCondition& conjunction = *q.where->children[1];
    ASSERT_EQ(conjunction.kind, WqlCondition::Kind::And);
    EXPECT_EQ(conjunction.children.size(), 3u);
    EXPECT_EQ(conjunction.children[2]->property, L"D");
}

TEST(WqlParser, ParenthesesOverridePrecedence) {
    WqlQuery q = ParseWql(L"SELECT * FROM C WHERE (A = 1 OR B = 2) AND NOT (C = 3)");
    ASSERT_EQ(q.where->kind, WqlCondition::Kind::And);
    EXPECT_EQ(q.where->children[0]->kind, WqlCondition::Kind::Or);
    ASSERT_EQ(q.where->children[1]->kind, WqlCondition::Kind::Not);
    EXPECT_EQ(q.where->children[1]->children[0]->property, L"C");
}

TEST(WqlParser, ComparisonOperators) {
    const std::pair<const wchar_t*, WqlOperator> cases[] = {
        {L"=", WqlOperator::Equal},          {L"<>", WqlOperator::NotEqual}, {L"!=", WqlOperator::NotEqual},
        {L"<", WqlOperator::Less},           {L">", WqlOperator::Greater},   {L"<=", WqlOperator::LessOrEqual},
        {L">=", WqlOperator::GreaterOrEqual}};
    for (const auto& [text, op] : cases) {
        WqlQuery q = ParseWql(std::wstring(L"SELECT * FROM C WHERE Size ") + text + L" 10");
        ASSERT_EQ(q.where->kind, WqlCondition::Kind::Compare) << text;
        EXPECT_EQ(q.where->op, op) << text;
        EXPECT_EQ(q.where->literal.kind, WqlLiteral::Kind::Number);
        EXPECT_EQ(q.where->literal.number, 10);
    }
}

TEST(WqlParser, ValueBeforePropertyIsMirrored) {
    WqlQuery q = ParseWql(L"SELECT * FROM C WHERE 10 < Size");
    EXPECT_EQ(q.where->property, L"Size");
    EXPECT_EQ(q.where->op, WqlOperator::Greater);
    WqlQuery eq = ParseWql(L"SELECT * FROM C WHERE 'x' = Name");
    EXPECT_EQ(eq.where->op, WqlOperator::Equal);
    EXPECT_EQ(eq.where->literal.text, L"x");
}

TEST(WqlParser, QuotedValuesWithEitherQuoteAndBackslashEscapes) {
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = 'say \"hi\"'").where->literal.text, L"say \"hi\"");
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = \"it's\"").where->literal.text, L"it's");
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = 'C:\\\\Data\\\\x'").where->literal.text, L"C:\\Data\\x");
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = 'it\\'s'").where->literal.text, L"it's");
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = ''").where->literal.text, L"");
    // Keywords inside strings are plain text.
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = 'a OR b'").where->kind, WqlCondition::Kind::Compare);
}

TEST(WqlParser, NumbersBooleansAndNull) {
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = -42").where->literal.number, -42);
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = 2.5").where->literal.number, 2.5L);
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = 18446744073709551615").where->literal.number,
              18446744073709551615.0L);
    const WqlQuery truthQuery = ParseWql(L"SELECT * FROM C WHERE N = true");
    const WqlLiteral& truth = truthQuery.where->literal;
    EXPECT_EQ(truth.kind, WqlLiteral::Kind::Boolean);
    EXPECT_TRUE(truth.boolean);
    EXPECT_FALSE(ParseWql(L"SELECT * FROM C WHERE N = FALSE").where->literal.boolean);

    WqlQuery isNull = ParseWql(L"SELECT * FROM C WHERE N IS NULL");
    EXPECT_EQ(isNull.where->kind, WqlCondition::Kind::IsNull);
    EXPECT_FALSE(isNull.where->negated);
    EXPECT_TRUE(ParseWql(L"SELECT * FROM C WHERE N IS NOT NULL").where->negated);
    EXPECT_TRUE(ParseWql(L"SELECT * FROM C WHERE N <> NULL").where->negated);
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = NULL").where->kind, WqlCondition::Kind::IsNull);
}

TEST(WqlParser, LikeTakesAQuotedPattern) {
    WqlQuery q = ParseWql(L"SELECT * FROM C WHERE Name LIKE \"%[_]x%\"");
    EXPECT_EQ(q.where->kind, WqlCondition::Kind::Like);
    EXPECT_EQ(q.where->literal.text, L"%[_]x%");
    EXPECT_TRUE(Refused(L"SELECT * FROM C WHERE Name LIKE 5"));
    EXPECT_TRUE(Refused(L"SELECT * FROM C WHERE Name LIKE"));
}

TEST(WqlParser, SyntaxErrorsAreRefused) {
    const wchar_t* bad[] = {
        L"",
        L"   ",
        L"SELECT",
        L"SELECT *",
        L"SELECT * FROM",
        L"SELECT FROM C",
        L"SELECT Name, FROM C",
        L"SELECT Name,, X FROM C",
        L"SELECT * FROM C WHERE",
        L"SELECT * FROM C WHERE Name",
        L"SELECT * FROM C WHERE Name =",
        L"SELECT * FROM C WHERE = 'x'",
        L"SELECT * FROM C WHERE Name = Caption",
        L"SELECT * FROM C WHERE 1 = 2",
        L"SELECT * FROM C WHERE (Name = 'x'",
        L"SELECT * FROM C WHERE Name = 'x')",
        L"SELECT * FROM C WHERE Name = 'x' AND",
        L"SELECT * FROM C WHERE Name = 'x' OR OR Name = 'y'",
        L"SELECT * FROM C WHERE NOT",
        L"SELECT * FROM C WHERE Name IS 'x'",
        L"SELECT * FROM C WHERE Name IS NOT",
        L"SELECT * FROM C WHERE Name < NULL",
        L"SELECT * FROM C WHERE Name ! 'x'",
        L"SELECT * FROM C WHERE Name == 'x'",
        L"SELECT * FROM C WHERE Size = 1.2.3",
        L"SELECT * FROM C WHERE Size = 12abc",
        L"SELECT * FROM C WHERE Size = -",
        L"SELECT * FROM C trailing",
        L"SELECT * FROM C; DROP",
        L"SELECT * FROM Win32-Service",
        L"SELECT * FROM SELECT",
        L"SELECT WHERE FROM C",
        L"DELETE FROM C",
        L"ASSOCIATORS OF {Win32_Service.Name='x'}",
        L"SELECT * FROM C WHERE Name = 'x' # comment",
    };
    for (const wchar_t* text : bad) EXPECT_TRUE(Refused(text)) << "accepted: " << testing::PrintToString(std::wstring(text));
}

TEST(WqlParser, UnterminatedStringsAreRefused) {
    EXPECT_TRUE(Refused(L"SELECT * FROM C WHERE Name = 'abc"));
    EXPECT_TRUE(Refused(L"SELECT * FROM C WHERE Name = \"abc'"));
    EXPECT_TRUE(Refused(L"SELECT * FROM C WHERE Name = 'abc\\'"));
    EXPECT_TRUE(Refused(L"SELECT * FROM C WHERE Name = 'abc\\"));
    EXPECT_TRUE(Refused(L"SELECT * FROM C WHERE Name = '"));
}

TEST(WqlParser, ErrorsCarryThePositionOfTheFault) {
    try {
        ParseWql(L"SELECT * FROM C WHERE Name = 'open");
        FAIL() << "accepted an unterminated string";
    } catch (const WqlSyntaxError& e) {
        EXPECT_EQ(e.Position(), 29u);
    }
}

TEST(WqlParser, EmbeddedNulAndForeignCharactersAreRefusedNotTruncated) {
    std::wstring text = L"SELECT * FROM C";
    text += L'\0';
    text += L" WHERE";
    EXPECT_TRUE(Refused(text));
    EXPECT_TRUE(Refused(L"SELECT * FROM C\u00e9"));
    // Outside quotes only; inside a string any character is a character.
    EXPECT_EQ(ParseWql(L"SELECT * FROM C WHERE N = '\u00e9\u4e2d'").where->literal.text, L"\u00e9\u4e2d");
}

TEST(WqlParser, VeryLongInputIsRefused) {
    std::wstring longName(kMaxWqlLength, L'A');
    EXPECT_TRUE(Refused(L"SELECT * FROM " + longName));
    // Just within the limit is fine.
    std::wstring prefix = L"SELECT * FROM ";
    EXPECT_NO_THROW(ParseWql(prefix + std::wstring(kMaxWqlLength - prefix.size(), L'A')));
}

TEST(WqlParser, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    auto nested = [](int depth) {
        return L"SELECT * FROM C WHERE " + std::wstring(depth, L'(') + L"A = 1" + std::wstring(depth, L')');
    };
    EXPECT_NO_THROW(ParseWql(nested(kMaxWqlNesting - 1)));
    EXPECT_TRUE(Refused(nested(kMaxWqlNesting + 1)));
    EXPECT_TRUE(Refused(nested(5000)));
    std::wstring nots = L"SELECT * FROM C WHERE ";
    for (int i = 0; i < 5000; ++i) nots += L"NOT ";
    EXPECT_TRUE(Refused(nots + L"A = 1"));
}

TEST(WqlParser, LongFlatChainsAreAccepted) {
    std::wstring text = L"SELECT * FROM C WHERE A = 0";
    for (int i = 1; i < 1000; ++i) text += L" OR A = " + std::to_wstring(i);
    WqlQuery q = ParseWql(text);
    EXPECT_EQ(q.where->children.size(), 1000u);
}
