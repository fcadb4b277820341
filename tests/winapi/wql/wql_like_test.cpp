// WQL's LIKE wildcards: %, _, [set], [a-z], [^set], and escaping by brackets.
#include <gtest/gtest.h>

#include <string>

#include "winapi/wql/wql_like.h"

using winapi::wql::MatchesLike;

TEST(WqlLike, PercentMatchesAnyRunIncludingNone) {
    EXPECT_TRUE(MatchesLike(L"Win32_Service", L"Win%"));
    EXPECT_TRUE(MatchesLike(L"Win", L"Win%"));
    EXPECT_TRUE(MatchesLike(L"", L"%"));
    EXPECT_TRUE(MatchesLike(L"abc", L"%%%"));
    EXPECT_TRUE(MatchesLike(L"Spooler", L"%oo%"));
    EXPECT_TRUE(MatchesLike(L"abcabd", L"%abd"));
    EXPECT_FALSE(MatchesLike(L"Spooler", L"%xx%"));
    EXPECT_FALSE(MatchesLike(L"abcab", L"%abd"));
    EXPECT_FALSE(MatchesLike(L"Wi", L"Win%"));
}

TEST(WqlLike, UnderscoreMatchesExactlyOneCharacter) {
    EXPECT_TRUE(MatchesLike(L"cat", L"c_t"));
    EXPECT_FALSE(MatchesLike(L"ct", L"c_t"));
    EXPECT_FALSE(MatchesLike(L"coat", L"c_t"));
    EXPECT_TRUE(MatchesLike(L"C:", L"__"));
    EXPECT_FALSE(MatchesLike(L"", L"_"));
}

TEST(WqlLike, WithoutWildcardsTheWholeTextMustMatch) {
    EXPECT_TRUE(MatchesLike(L"Spooler", L"Spooler"));
    EXPECT_FALSE(MatchesLike(L"Spooler2", L"Spooler"));
    EXPECT_FALSE(MatchesLike(L"Spoole", L"Spooler"));
    EXPECT_TRUE(MatchesLike(L"", L""));
    EXPECT_FALSE(MatchesLike(L"x", L""));
}

TEST(WqlLike, CaseIsIgnored) {
    EXPECT_TRUE(MatchesLike(L"SPOOLER", L"spo%"));
    EXPECT_TRUE(MatchesLike(L"spooler", L"SP[O]OLER"));
    EXPECT_TRUE(MatchesLike(L"Q", L"[a-z]"));
}

TEST(WqlLike, BracketSetsAndRanges) {
    EXPECT_TRUE(MatchesLike(L"bat", L"b[ae]t"));
    EXPECT_TRUE(MatchesLike(L"bet", L"b[ae]t"));
    EXPECT_FALSE(MatchesLike(L"bit", L"b[ae]t"));
    EXPECT_TRUE(MatchesLike(L"C5", L"C[0-9]"));
    EXPECT_FALSE(MatchesLike(L"CX", L"C[0-9]"));
    EXPECT_TRUE(MatchesLike(L"d", L"[a-cd-f]"));
    EXPECT_TRUE(MatchesLike(L"-", L"[a-]"));
}

TEST(WqlLike, CaretNegatesASet) {
    EXPECT_TRUE(MatchesLike(L"hit", L"h[^ao]t"));
    EXPECT_FALSE(MatchesLike(L"hat", L"h[^ao]t"));
    EXPECT_FALSE(MatchesLike(L"h5", L"h[^0-9]"));
    EXPECT_TRUE(MatchesLike(L"^", L"[x^]"));
}

TEST(WqlLike, BracketsMakeWildcardsLiteral) {
    EXPECT_TRUE(MatchesLike(L"__CLASS", L"[_][_]%"));
    EXPECT_FALSE(MatchesLike(L"a_CLASS", L"[_][_]%"));
    EXPECT_TRUE(MatchesLike(L"100%", L"100[%]"));
    EXPECT_FALSE(MatchesLike(L"1000", L"100[%]"));
    EXPECT_TRUE(MatchesLike(L"[x]", L"[[]x]"));
}

TEST(WqlLike, UnclosedBracketMatchesNothing) {
    EXPECT_FALSE(MatchesLike(L"[abc", L"[abc"));
    EXPECT_FALSE(MatchesLike(L"a", L"[a"));
    EXPECT_FALSE(MatchesLike(L"a", L"%[a"));
}

TEST(WqlLike, BacktrackingStaysCheapOnHostilePatterns) {
    // Exponential matchers never finish these.
    std::wstring text(5000, L'a');
    std::wstring pattern;
    for (int i = 0; i < 200; ++i) pattern += L"%a";
    pattern += L"%b";
    EXPECT_FALSE(MatchesLike(text, pattern));
    EXPECT_TRUE(MatchesLike(text + L"b", pattern));
}
