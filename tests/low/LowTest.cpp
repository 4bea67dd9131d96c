#include "low/Low.h"
#include "low/TextArena.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quenlo {
namespace {

struct TokenCase {
    const char* name;
    std::string text;
    const char* delims;
    Quotes quotes;
    std::string token;
    std::string rest;
};

class NextTokenTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(NextTokenTest, CutsOneToken) {
    const TokenCase& c = GetParam();
    std::string text = c.text, token = "stale";
    NextToken(text, TDelims(c.delims), c.quotes, token);
    EXPECT_EQ(token, c.token);
    EXPECT_EQ(text, c.rest);
}

const std::string k300(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, NextTokenTest,
    ::testing::Values(
        TokenCase{"Empty", "", ";", Quotes::On, "", ""},
        TokenCase{"BlanksOnly", " \t  ", ";", Quotes::On, "", ""},
        TokenCase{"TrailingBlankKept", "  a ; b", ";", Quotes::On, "a ", "b"},
        TokenCase{"BlanksAsDelims", "a   b", " \t", Quotes::On, "a", "b"},
        TokenCase{"BlanksAroundDelim", "a , b", " \t,", Quotes::On, "a", "b"},
        TokenCase{"LeadingDelimGivesEmpty", ",a", ",", Quotes::On, "", "a"},
        TokenCase{"CrLfAreNotBlanks", "\r\na;b", ";", Quotes::On, "\r\na", "b"},
        TokenCase{"QuotedProtectsDelim", "\"x;y\";z", ";", Quotes::On, "\"x;y\"", "z"},
        TokenCase{"QuotesOff", "\"x;y\";z", ";", Quotes::Off, "\"x", "y\";z"},
        TokenCase{"UnterminatedQuote", "\"abc;d", ";", Quotes::On, "\"abc;d", ""},
        TokenCase{"UnterminatedQuoteQuoteDelim", "\"abc", "\"", Quotes::On, "\"abc", ""},
        TokenCase{"InnerQuoteProtectsNothing", "ab\"c;d\";e", ";", Quotes::On, "ab\"c", "d\";e"},
        TokenCase{"QuotedRunsOnToDelim", "\"a b\"c d,e", " ,", Quotes::On, "\"a b\"c", "d,e"},
        TokenCase{"QuoteItselfDelim", "\"a\"b", "\"", Quotes::On, "\"a", "b"},
        TokenCase{"HighByteDelim", "a\xff" "b", "\xff", Quotes::On, "a", "b"},
        TokenCase{"LongTokenCut", "   " + k300, ";", Quotes::On, k300.substr(0, 255), ""},
        // The whole text is limited to 255 characters from its first non-blank.
        TokenCase{"RestLimited", "a;" + k300, ";", Quotes::On, "a", std::string(253, 'x')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NextTokenSequence, DoubleDelimiterYieldsEmptyToken) {
    std::string text = "a,,b", token;
    std::vector<std::string> tokens;
    for (int i = 0; i < 3; ++i) {
        NextToken(text, TDelims(","), Quotes::On, token);
        tokens.push_back(token);
    }
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(text.empty());
}

TEST(StripQuotes, Table) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"\"a\"b\"", "a\"b"}, {"\"ab", "\"ab"}, {"ab\"", "ab\""},
        {"\"\"", ""},         {"\"", ""},       {"x", "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(StripQuotes(c.in), c.out) << c.in;
}

TEST(SameTextAscii, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(SameTextAscii("vlxImg", "VLXIMG"));
    EXPECT_FALSE(SameTextAscii("VlxImg", "VlxIm"));
    EXPECT_FALSE(SameTextAscii("a\xE9", "A\xC9"));  // bytes beyond ASCII must match as they are
    EXPECT_FALSE(SameTextAscii("@[", "`{"));         // neighbours of the letter ranges
}

TEST(PointDistance, NeverZero) {
    EXPECT_EQ(PointDistance(3, 4, 3, 4), 0.0001f);
    EXPECT_EQ(PointDistance(0, 0, 3, 4), 5.0f);
    EXPECT_EQ(PointDistance(-1, -1, 2, 3), 5.0f);
}

TEST(AddBackslash, AppendsOnlyWhenMissing) {
    const std::string sep(1, kPathDelim);
    const struct {
        std::string in, out;
    } cases[] = {{"dir", "dir" + sep}, {"dir" + sep, "dir" + sep}, {"", ""}};
    for (const auto& c : cases) {
        std::string p = c.in;
        AddBackslash(p);
        EXPECT_EQ(p, c.out) << c.in;
    }
}

TEST(TextArena, HoldsEveryStringAcrossBlocks) {
    // Enough to fill several blocks, one longer than a block, and an empty one.
    std::vector<std::string> texts = {std::string(3u << 20, 'L'), ""};
    for (int i = 0; i < 40000; ++i) texts.push_back(std::to_string(i * 7919) + std::string(static_cast<size_t>(i % 97), 'a' + i % 26));
    texts.insert(texts.begin() + 1000, std::string((1u << 20) + 1, 'M'));
    TTextArena arena;
    std::vector<TTextArena::Ref> refs;
    for (const std::string& t : texts) refs.push_back(arena.Add(t));
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(arena.View(refs[i]), texts[i]) << i;
}

}  // namespace
}  // namespace quenlo
