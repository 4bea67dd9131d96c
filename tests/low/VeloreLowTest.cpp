#include "low/VeloreLow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <climits>
#include <limits>
#include <locale>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quenlo {
namespace {

// ---- MatchCommand ------------------------------------------------------

struct MatchCase {
    const char* keyword;
    int count;
    std::string text;
    bool match;
    std::vector<std::string> args;  // the filled slots when matched
};

class MatchCommandTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchCommandTest, Shapes) {
    const MatchCase& c = GetParam();
    std::array<std::string, 4> args;
    args.fill("?");
    EXPECT_EQ(MatchCommand(c.keyword, c.count, c.text, args), c.match) << c.text;
    if (!c.match) return;
    for (std::size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(args[i], i < c.args.size() ? c.args[i] : "?") << c.text << " slot " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MatchCommandTest,
    ::testing::Values(
        MatchCase{"size", 2, "size(10, 20)", true, {"10", "20"}},
        MatchCase{"size", 2, "size( 10 , 20 ) trailing", true, {"10", "20"}},
        MatchCase{"size", 2, "size 10 20", true, {"10", "20"}},
        MatchCase{"wipe", 0, "wipe", true, {}},
        MatchCase{"wipe", 0, "wipe()", true, {}},
        MatchCase{"col", 3, "col(1,2)", false, {}},
        MatchCase{"col", 3, "col(1,2,3,4)", false, {}},
        MatchCase{"col", 3, "COL ( 1 , 2 , 3 )", true, {"1", "2", "3"}},
        MatchCase{"col", 3, "col(1,,2,3)", true, {"1", "2", "3"}},
        MatchCase{"name", 1, "names(x)", false, {}},
        MatchCase{"file", 1, "file(\"C:\\a b\\c.bmp\")", true, {"\"C:\\a b\\c.bmp\""}},
        MatchCase{"file", 1, "file(\"a),b\")", true, {"\"a),b\""}},
        // Surplus arguments are counted although only four slots exist.
        MatchCase{"poly", 6, "poly(1,2,3,4,5,6)", true, {"1", "2", "3", "4"}},
        MatchCase{"poly", 4, "poly(1,2,3,4,5,6)", false, {}}));

TEST(MatchCommand, KeywordMismatchLeavesArgsAlone) {
    std::array<std::string, 4> args{"a", "b", "c", "d"};
    EXPECT_FALSE(MatchCommand("pos", 2, "size(1,2)", args));
    EXPECT_EQ(args, (std::array<std::string, 4>{"a", "b", "c", "d"}));
}

// ---- FormatCommand -----------------------------------------------------

// A leading blank takes the general cutting path, where the text is the
// same statement: both paths agree on random plain statements.
TEST(MatchCommand, PlainStatementsCutAsTheGeneralPathDoes) {
    std::mt19937 rng(11);
    const std::string heads[] = {"size", "SiZe", "siz", "sizes", "", "size("};
    const std::string alphabet = "(),,,019e";
    for (int i = 0; i < 20000; ++i) {
        std::string text = heads[rng() % std::size(heads)];
        for (int n = int(rng() % 12); n > 0; --n) text += alphabet[rng() % alphabet.size()];
        for (int count = 0; count <= 3; ++count) {
            std::array<std::string, 3> fast, general;
            const bool a = MatchCommand("size", count, text, fast);
            const bool b = MatchCommand("size", count, " " + text, general);
            ASSERT_EQ(a, b) << text;
            ASSERT_EQ(fast, general) << text;
        }
    }
}

TEST(FormatCommand, WritesEachKind) {
    EXPECT_EQ(FormatCommand("size", {320, 240}, 0), "size(320,240);");
    EXPECT_EQ(FormatCommand("pos", {-3, 0}, 0), "pos(-3,0);");
    EXPECT_EQ(FormatCommand("opq", {0.5}, 2), "opq(0.50);");
    EXPECT_EQ(FormatCommand("wipe", std::initializer_list<TFormatValue>{}, 0), "wipe();");
    EXPECT_EQ(FormatCommand("k",
                            {int64_t(-9000000000), true, 'c', TShortString{"a b"},
                             std::string("n"), "cs", TClassName{"TVelora"}, TNoText{}, 1},
                            0),
              "k(-9000000000,true,c,\"a b\",n,cs,TVelora,,1);");
}

TEST(FormatReal, Table) {
    const struct {
        double v;
        int digits;
        const char* text;
    } cases[] = {
        {0.5, 2, "0.50"},
        {0, 3, "0.000"},
        {0.125, 2, "0.12"},  // an exact half goes to the even neighbour
        {3.5, 0, "4"},
        {1.0, 30, "1.000000000000000000"},
        {0.6, 0, "1"},
        {9.996, 2, "10.00"},
        {-0.001, 2, "0.00"},
        {1.005, 2, "1.00"},  // the double lies just below 1.005
        {1000000000000000.5, 0, "1000000000000000"},
        {1e17, 2, "100000000000000000.00"},
        {1e18, 2, "1E18"},
        {-1.5e20, 2, "-1.5E20"},
        // 18 significant digits, then zeros.
        {0.1, 18, "0.100000000000000006"},
        {123.456, 18, "123.456000000000003000"},
        {1.25, -4, "1"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatReal(c.v, c.digits), c.text) << c.v;
}

// A comma locale must not leak into statements: they would no longer read back.
TEST(FormatCommand, IgnoresCommaLocale) {
    struct CommaPunct : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale oldCpp = std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
    const std::string oldC = std::setlocale(LC_ALL, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"})
        if (std::setlocale(LC_ALL, name)) break;

    const std::string text = FormatCommand("opq", {-0.25}, 2);

    std::setlocale(LC_ALL, oldC.c_str());
    std::locale::global(oldCpp);

    EXPECT_EQ(text, "opq(-0.25);");
    std::array<std::string, 4> args;
    ASSERT_TRUE(MatchCommand("opq", 1, text, args));
    double back = 0;
    std::from_chars(args[0].data(), args[0].data() + args[0].size(), back);
    EXPECT_EQ(back, -0.25);
}

// ---- Points and rectangles ---------------------------------------------

TEST(Rect, SizeAndExtent) {
    EXPECT_EQ(RectFromSize(10, 20, 5, 3), MakeRect(10, 20, 14, 22));
    EXPECT_EQ(RectFromPointSize(MakePoint(10, 20), 5, 3), MakeRect(10, 20, 14, 22));
    EXPECT_EQ(RectExtent(MakeRect(10, 20, 14, 22)), (TExtent{5, 3}));
    EXPECT_EQ(RectExtent(MakeRect(14, 22, 10, 20)), (TExtent{5, 3}));
    EXPECT_EQ(RectExtent(MakeRect(1147483646, 0, -1000000000, 0)), (TExtent{INT32_MAX, 1}));
}

TEST(Rect, ZeroWidthBecomesTwoColumnsWhenNormalised) {
    const TRect r = RectFromSize(10, 0, 0, 1);
    EXPECT_EQ(r.Right, 9);
    EXPECT_EQ(NormalizeRect(r), MakeRect(9, 0, 10, 0));
    EXPECT_EQ(NormalizeRect(MakeRect(5, 8, 1, 2)), MakeRect(1, 2, 5, 8));
    EXPECT_TRUE(PointInRect(MakePoint(9, 0), r));
    EXPECT_TRUE(PointInRect(MakePoint(10, 0), r));
    EXPECT_EQ(IntersectRects(r, MakeRect(0, 0, 100, 100)), MakeRect(9, 0, 10, 0));
}

TEST(Rect, PointInRectIsInclusiveOnEveryEdge) {
    const TRect r = MakeRect(5, 8, 1, 2);  // unnormalised on purpose
    const struct {
        int x, y;
        bool in;
    } cases[] = {
        {5, 8, true},  {1, 2, true},  {1, 8, true},  {5, 2, true},  {3, 5, true},
        {0, 2, false}, {6, 2, false}, {1, 1, false}, {1, 9, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PointInRect(MakePoint(c.x, c.y), r), c.in) << c.x << "," << c.y;
}

TEST(Rect, Intersect) {
    TRect c = MakeRect(-1, -1, -1, -1);
    EXPECT_TRUE(IntersectRects(MakeRect(0, 0, 9, 9), MakeRect(9, 9, 20, 20), c));
    EXPECT_EQ(c, MakeRect(9, 9, 9, 9));

    c = MakeRect(-1, -2, -3, -4);
    EXPECT_FALSE(IntersectRects(MakeRect(0, 0, 9, 9), MakeRect(10, 0, 20, 9), c));
    EXPECT_EQ(c, MakeRect(-1, -2, -3, -4));
    EXPECT_FALSE(IntersectRects(MakeRect(0, 0, 9, 9), MakeRect(0, 10, 9, 20), c));

    EXPECT_EQ(IntersectRects(MakeRect(9, 9, 0, 0), MakeRect(20, 5, 5, 20)), MakeRect(5, 5, 9, 9));
    EXPECT_TRUE(RectsOverlap(MakeRect(0, 0, 9, 9), MakeRect(9, 0, 20, 0)));
    EXPECT_FALSE(RectsOverlap(MakeRect(0, 0, 9, 9), MakeRect(-5, 10, 20, 12)));
}

TEST(Point, Arithmetic) {
    EXPECT_EQ(AddPoint(MakePoint(1, 2), MakePoint(10, -20)), MakePoint(11, -18));
    EXPECT_EQ(SubPoint(MakePoint(1, 2), MakePoint(10, -20)), MakePoint(-9, 22));
    EXPECT_EQ(AddPoint(MakePoint(INT32_MAX, 0), MakePoint(1, 0)), MakePoint(INT32_MIN, 0));
    EXPECT_EQ(SubPoint(MakePoint(INT32_MIN, 0), MakePoint(1, 0)), MakePoint(INT32_MAX, 0));
    EXPECT_EQ(AddPointF(MakePointF(0.5f, -0.25f), MakePoint(2, 3)), MakePointF(2.5f, 2.75f));
    EXPECT_EQ(SubPointF(MakePointF(0.5f, -0.25f), MakePoint(2, 3)), MakePointF(-1.5f, -3.25f));
}

// ---- Plane geometry -----------------------------------------------------

TEST(ClipSegment, Table) {
    const TClipBox box{-0.5f, 9.5f, -0.5f, 9.5f};
    const struct {
        const char* name;
        TPointF p1, p2;
        bool inside;
        TPointF q1, q2;  // expected end points when inside
    } cases[] = {
        {"RightEdge", {0, 0}, {20, 0}, true, {0, 0}, {9.5f, 0}},
        {"BottomEdge", {0, 0}, {0, 20}, true, {0, 0}, {0, 9.5f}},
        {"StartOutside", {0, 20}, {0, 0}, true, {0, 9.5f}, {0, 0}},
        {"BothOutside", {-10, 5}, {20, 5}, true, {-0.5f, 5}, {9.5f, 5}},
        {"Diagonal", {-5, -5}, {15, 15}, true, {-0.5f, -0.5f}, {9.5f, 9.5f}},
        {"OnBoundary", {9.5f, 3}, {9.5f, 5}, true, {9.5f, 3}, {9.5f, 5}},
        {"Outside", {-5, -5}, {-1, 20}, false, {}, {}},
        {"MissesCorner", {-2, 8}, {1, 12}, false, {}, {}},
        {"SameSide", {10, 0}, {12, 9}, false, {}, {}},
    };
    for (const auto& c : cases) {
        TPointF p1 = c.p1, p2 = c.p2;
        EXPECT_EQ(ClipSegment(p1, p2, box), c.inside) << c.name;
        if (!c.inside) continue;
        EXPECT_EQ(p1, c.q1) << c.name;
        EXPECT_EQ(p2, c.q2) << c.name;
    }
}

TEST(ClipSegment, InvertedBoxTerminates) {
    TPointF p1{0, 0}, p2{10, 0};
    EXPECT_FALSE(ClipSegment(p1, p2, TClipBox{6, 4, -1, 1}));
    EXPECT_EQ(ClipOutcode(11, -1, TClipBox{0, 10, 0, 10}), kOutRight | kOutTop);
}

TEST(SolveLinear2, SolvesOrLeavesOutputs) {
    float x = 0, y = 0;
    ASSERT_TRUE(SolveLinear2(1, 1, 3, 1, -1, 1, x, y));
    EXPECT_EQ(x, 2.0f);
    EXPECT_EQ(y, 1.0f);

    x = 7, y = 8;
    EXPECT_FALSE(SolveLinear2(1, 2, 3, 2, 4, 5, x, y));  // parallel
    EXPECT_FALSE(SolveLinear2(0, 0, 1, 3, 4, 5, x, y));
    EXPECT_EQ(x, 7.0f);
    EXPECT_EQ(y, 8.0f);
}

TEST(SegmentsIntersect, Table) {
    const struct {
        const char* name;
        TPointF a1, a2, b1, b2;
        bool cross;
        TPointF at;
    } cases[] = {
        {"X", {0, 0}, {10, 10}, {0, 10}, {10, 0}, true, {5, 5}},
        {"SharedEnd", {0, 0}, {10, 0}, {10, 0}, {10, 10}, true, {10, 0}},
        {"TJunction", {0, 0}, {10, 0}, {5, 0}, {5, 5}, true, {5, 0}},
        {"Collinear", {0, 0}, {10, 0}, {5, 0}, {15, 0}, false, {}},
        {"Parallel", {0, 0}, {10, 0}, {0, 1}, {10, 1}, false, {}},
        {"ApartExtents", {0, 0}, {1, 1}, {5, 0}, {6, -1}, false, {}},
        // The lines cross at (5, 5), which lies beyond the second segment.
        {"LinesCrossOutside", {0, 0}, {10, 10}, {6, 4}, {10, 0}, false, {}},
    };
    for (const auto& c : cases) {
        TPointF at{-99, -99};
        EXPECT_EQ(SegmentsIntersect(c.a1, c.a2, c.b1, c.b2, at), c.cross) << c.name;
        const TPointF want = c.cross ? c.at : TPointF{-99, -99};
        EXPECT_EQ(at, want) << c.name;
    }
}

// A closed chain's first and last segments must meet at the repeated vertex
// itself, not a rounding step beside it.
TEST(SegmentsIntersect, SharedEndPointIsExact) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-20, 20);
    for (int it = 0; it < 500; ++it) {
        const TPointF v0{u(rng), u(rng)}, v1{u(rng), u(rng)}, v2{u(rng), u(rng)};
        TPointF at{};
        ASSERT_TRUE(SegmentsIntersect(v0, v1, v2, v0, at)) << it;
        EXPECT_EQ(at, v0) << it;
    }
}

// ---- Integer chores ------------------------------------------------------

TEST(Clamp, Table) {
    const struct {
        int v, lo, hi, out;
    } cases[] = {{5, 0, 3, 3}, {-1, 0, 3, 0}, {0, 0, 3, 0}, {2, 0, 3, 2}, {3, 0, 3, 3}};
    for (const auto& c : cases) EXPECT_EQ(Clamp(c.v, c.lo, c.hi), c.out) << c.v;
}

TEST(RoundToInt32, HalvesToEvenNaNToZeroFarEndsClamp) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double v;
        int32_t out;
    } cases[] = {{0.5, 0},          {1.5, 2},           {-0.5, 0},           {-1.5, -2},
                 {2.4999, 2},       {-2.5001, -3},      {NAN, 0},            {inf, INT32_MAX},
                 {-inf, INT32_MIN}, {2147483647.4, INT32_MAX}, {2147483648.0, INT32_MAX},
                 {-2147483648.6, INT32_MIN}, {-1e300, INT32_MIN}, {-2147483647.0, -2147483647}};
    for (const auto& c : cases) EXPECT_EQ(RoundToInt32(c.v), c.out) << c.v;
}

TEST(ClampToInt32, Saturates) {
    EXPECT_EQ(ClampToInt32(int64_t(INT32_MAX) + 1), INT32_MAX);
    EXPECT_EQ(ClampToInt32(int64_t(INT32_MIN) - 1), INT32_MIN);
    EXPECT_EQ(ClampToInt32(INT64_MIN), INT32_MIN);
    EXPECT_EQ(ClampToInt32(-7), -7);
}

TEST(WrapAdd, WrapsAtBothEnds) {
    EXPECT_EQ(WrapAdd(INT32_MAX, 1), INT32_MIN);
    EXPECT_EQ(WrapSub(INT32_MIN, 1), INT32_MAX);
    EXPECT_EQ(WrapSub(3, 5), -2);
}

TEST(FillInts, WritesOnlyCount) {
    const struct {
        int count;
        std::vector<int32_t> out;
    } cases[] = {
        {0, {1, 2, 3, 4}}, {-2, {1, 2, 3, 4}}, {3, {9, 9, 9, 4}}, {10, {9, 9, 9, 9}}};
    for (const auto& c : cases) {
        std::vector<int32_t> a{1, 2, 3, 4};
        FillInts(a, c.count, 9);
        EXPECT_EQ(a, c.out) << c.count;
    }
}

TEST(OrderInts, PutsSmallerFirst) {
    for (auto [a, b] : {std::pair{3, 1}, std::pair{1, 3}, std::pair{2, 2}}) {
        int32_t lo = a, hi = b;
        OrderInts(lo, hi);
        EXPECT_EQ(lo, std::min(a, b));
        EXPECT_EQ(hi, std::max(a, b));
    }
}

// ---- TextToInt / TextToFloat ------------------------------------------

TEST(TextToInt, DecimalWithOptionalSignOnly) {
    struct {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {{"42", true, 42},       {"+7", true, 7},          {"-2147483648", true, INT32_MIN},
                 {"2147483648", false, 0}, {"", false, 0},        {"+", false, 0},
                 {"1.5", false, 0},      {"12a", false, 0},        {" 1", false, 0},
                 {"+-1", false, 0},      {"0x10", false, 0}};
    for (const auto& c : cases) {
        int32_t v = -99;
        EXPECT_EQ(TextToInt(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : -99) << c.text;  // untouched on failure
    }
}

TEST(TextToFloat, AcceptsPlainDecimalsOnly) {
    struct {
        const char* text;
        bool ok;
        double value;
    } cases[] = {{"0.5", true, 0.5}, {"+1.25", true, 1.25}, {"-.5", true, -0.5}, {"2.", true, 2.0},
                 {"1e3", true, 1000.0}, {"abc", false, 0}, {"", false, 0},   {"1,5", false, 0},
                 {"inf", false, 0},  {"nan", false, 0},    {"0x1p3", false, 0}, {"1.5x", false, 0},
                 {"1e999", false, 0}};
    for (const auto& c : cases) {
        double d = -99;
        EXPECT_EQ(TextToFloat(c.text, d), c.ok) << c.text;
        EXPECT_EQ(d, c.ok ? c.value : -99.0) << c.text;
    }
    float f = -99;
    EXPECT_FALSE(TextToFloat("1e39", f));  // beyond float, though fine as a double
    EXPECT_EQ(f, -99.0f);
    EXPECT_TRUE(TextToFloat("0.1", f));
    EXPECT_EQ(f, 0.1f);
}

TEST(TextToFloat, IgnoresTheProcessLocale) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    // Any installed locale with a decimal comma will do; skip when none is.
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) {
            comma = true;
            break;
        }
    if (!comma) GTEST_SKIP() << "no decimal-comma locale installed";
    float f = 0;
    const bool ok = TextToFloat("2.5", f);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_TRUE(ok);
    EXPECT_EQ(f, 2.5f);
}

}  // namespace
}  // namespace quenlo
