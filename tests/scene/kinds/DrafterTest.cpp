// Polygon and text nodes: label layout and clipping, the pen statements,
// outline/fill order, written statements and hostile coordinates.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <utility>

#include "TestUtil.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/VlxDrafter.h"
#include "scene/kinds/VlxImg.h"

namespace quenlo {
namespace {

using ::testing::HasSubstr;

constexpr uint8_t kBg = 40;
constexpr TColor kBgCol = kBg * 0x010101u;

TPixelMapRGB& Fill(TPixelMapRGB& m, int w, int h) {
    m.SetSize(w, h);
    std::memset(m.Data(), kBg, size_t(m.DataSize()));
    return m;
}

using test::PixelAt;

std::set<std::pair<int, int>> Ink(std::string_view s, int x, int y) {
    std::set<std::pair<int, int>> ink;
    TAnk88 font;
    font.OnPlot = [&](int32_t px, int32_t py) { ink.insert({px, py}); };
    font.DrawText(s, uint16_t(x), uint16_t(y));
    return ink;
}

std::string Written(TVelora& n) {
    std::string s;
    return n.WriteStatements(s), s;
}

TEST(VlxAnk88, Layout) {
    auto l = MakeVelora<TVlxAnk88>();
    l->RunStatements("text(HELLO)");
    EXPECT_EQ((std::array{l->Width, l->Height, l->TextX, l->TextY}), (std::array{40, 7, 0, 0}));
    EXPECT_TRUE(l->Visible);
    l->RunStatements("size(100,20)");  // a size change alone keeps the layout
    EXPECT_EQ(l->TextX, 0);
    l->RunStatements("text(HELLO)");
    EXPECT_EQ((std::array{l->Width, l->Height, l->TextX, l->TextY}), (std::array{100, 20, 8, 6}));

    // Height 5 puts the row at -1, far away as a 16-bit position: box only.
    auto five = MakeVelora<TVlxAnk88>();
    five->RunStatements("size(30,5);col(10,20,30);text(HI)");
    EXPECT_EQ(five->TextY, -1);
    TPixelMapRGB m;
    five->DrawArea(0, 0, 0, 0, 30, 5, Fill(m, 30, 5));
    for (int i = 0; i < 30 * 5; ++i) ASSERT_EQ(PixelAt(m, i % 30, i / 30), ColorFromRGB(10, 20, 30)) << i;
    auto six = MakeVelora<TVlxAnk88>();
    six->RunStatements("size(30,6);text(HI)");
    EXPECT_EQ(six->TextY, 0);
}

TEST(VlxAnk88, GlyphsStayInsideTheNodeAndTheDrawnArea) {
    // HELLO from x 8 needs 48 columns; the box has 20.
    auto root = MakeVelora<TVelora>();
    root->RunStatements("size(80,30);col(1,2,3)");
    root->NewChildOf<TVlxAnk88>("size(20,9);pos(5,5);col(0,0,0);opq(0.5);text(HELLO)");
    TPixelMapRGB full;
    full.SetSize(80, 30);
    root->RenderInto(full);
    const auto ink = Ink("HELLO", 8, 1);
    const TColor box = PixelAt(full, 5, 5);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 80; ++x) {
            const bool inNode = x >= 5 && x < 25 && y >= 5 && y < 14;
            const TColor want = !inNode ? ColorFromRGB(1, 2, 3) : ink.count({x - 5, y - 5}) ? 0x808080 : box;
            ASSERT_EQ(PixelAt(full, x, y), want) << x << "," << y;
        }

    // Partial renders match the full one; at opacity 0.5 a glyph pixel
    // drawn twice, or drawn outside its area, would show.
    for (const TRect part : {TRect{0, 0, 14, 29}, TRect{15, 0, 79, 29}}) {
        TPixelMapRGB m;
        m.SetBounds(part);
        root->RenderInto(m);
        for (int y = part.Top; y <= part.Bottom; ++y)
            for (int x = part.Left; x <= part.Right; ++x)
                ASSERT_EQ(PixelAt(m, x - part.Left, y - part.Top), PixelAt(full, x, y)) << x << "," << y;
    }
    root.release()->DestroyTree();
}

TEST(VlxAnk88, WrittenStatementsRoundTrip) {
    auto l = MakeVelora<TVlxAnk88>();
    l->RunStatements("text(\"Hi, there\");pos(4,5)");
    const std::string text = Written(*l);
    EXPECT_EQ(text, "size(72,7);pos(4,5);text(\"Hi, there\");");
    // Size first, so the text comes back in the fixed-box layout.
    auto copy = MakeVelora<TVlxAnk88>();
    copy->RunStatements(text);
    EXPECT_EQ(copy->Text, "Hi, there");
    EXPECT_EQ((std::array{copy->Width, copy->TextX, copy->TextY}), (std::array{72, 8, 0}));
    EXPECT_EQ(Written(*copy), text);
}

TEST(VlxAnk, PenStatementsAndWrittenText) {
    auto a = MakeVelora<TVlxAnk>();
    EXPECT_THAT(Written(*a), HasSubstr("wipe;PenPos(0,0);PenCol(255,255,255);"));
    a->RunStatements("PenCol(300,-1,128);PenPos(q,9)");
    EXPECT_EQ(a->PenCol, ColorFromRGB(44, 255, 128));
    EXPECT_EQ(a->PenPos, (TPoint{0, 9}));
    a->RunStatements("PenPos(1,2,3);PenCol(1,2);text(ZZ)");  // wrong counts; no map yet
    EXPECT_EQ(a->PenPos, (TPoint{0, 9}));
    EXPECT_EQ(a->Text, "ZZ");
    EXPECT_FALSE(a->Map);

    a->RunStatements("size(40,10);col(5,6,7);wipe;PenPos(1,2);PenCol(9,8,7);text(old);PenPos(3,1);text(\"N w\")");
    const std::string text = Written(*a);
    EXPECT_THAT(text, HasSubstr("wipe;PenPos(3,1);PenCol(9,8,7);text(\"N w\");"));

    // Read back: a cleared map with only the last text on it.
    const auto ink = Ink("N w", 3, 1);
    auto b = MakeVelora<TVlxAnk>();
    b->RunStatements(text);
    ASSERT_TRUE(b->Map);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(PixelAt(*b->Map, x, y), ink.count({x, y}) ? ColorFromRGB(9, 8, 7) : ColorFromRGB(5, 6, 7));
    EXPECT_EQ(Written(*b), text);
}

TEST(VlxPoly, WrittenStatements) {
    auto p = MakeVelora<TVlxPoly>();
    EXPECT_EQ(Written(*p), "size(0,0);pos(0,0);col(255,255,255);facecol(0,0,255);FaceOpq(0.40);"
                           "linecol(68,51,255);LineOpq(0.30);visible(0);");
    p->RunStatements("polyline;POLYGON();polygon(1)");
    const std::string text = Written(*p);
    EXPECT_EQ(text.substr(text.size() - 17), "polygon;polyline;");
    auto q = MakeVelora<TVlxPoly>();
    q->RunStatements(text);
    EXPECT_TRUE(q->Fill && q->Outline);
}

TEST(VlxPoly, OutlineIsOpenAndTheFillLiesOverIt) {
    auto p = MakeVelora<TVlxPoly>();
    p->RunStatements("size(20,20);polyline;LineOpq(1);FaceOpq(1);linecol(255,0,0);facecol(0,255,0)");
    p->Poly.Points = {{0, 0}, {10, 0}, {10, 10}};
    TPixelMapRGB m;
    p->DrawArea(0, 0, 0, 0, 20, 20, Fill(m, 20, 20));
    EXPECT_EQ(PixelAt(m, 5, 0), ColorFromRGB(255, 0, 0));
    EXPECT_EQ(PixelAt(m, 10, 5), ColorFromRGB(255, 0, 0));
    EXPECT_EQ(PixelAt(m, 5, 5), kBgCol) << "no closing segment";

    // A closed square with a diagonal through it.
    p->RunStatements("polygon");
    p->Poly.Points = {{2, 2}, {12, 2}, {12, 12}, {2, 12}, {2, 2}, {12, 12}};
    p->DrawArea(0, 0, 0, 0, 20, 20, Fill(m, 20, 20));
    EXPECT_EQ(PixelAt(m, 7, 7), ColorFromRGB(0, 255, 0)) << "fully covered";
    const TColor edge = PixelAt(m, 12, 7);  // half covered: both show
    EXPECT_TRUE((edge & 0xFF) > 0 && (edge >> 8 & 0xFF) > 0) << std::hex << edge;
}

TEST(VlxPoly, HostileVerticesAndAreasAreHarmless) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const TArrayOfPointF chains[] = {
        {{0, 0}, {nan, 5}, {10, 10}, {0, 10}, {0, 0}},
        {{-inf, 0}, {inf, 10}, {10, inf}, {0, -inf}, {-inf, 0}},
        {{-3e38f, -3e38f}, {3e38f, -3e38f}, {3e38f, 3e38f}, {-3e38f, 3e38f}, {-3e38f, -3e38f}},
        {{1e9f, 1e9f}, {-1e9f, 2}, {5, -1e9f}, {1e9f, 1e9f}, {3, 3}},
    };
    auto p = MakeVelora<TVlxPoly>();
    p->RunStatements("size(30,30);polygon;polyline");
    TPixelMapRGB m;
    for (const auto& chain : chains) {
        p->Poly.Points = chain;
        p->DrawArea(5, 5, 0, 0, 30, 30, Fill(m, 10, 10));  // node larger than the map
        // Areas that miss the node or the map draw nothing.
        p->DrawArea(0, 0, -20, 40, 100, 100, Fill(m, 30, 30));
        p->DrawArea(INT32_MAX, INT32_MIN, 0, 0, 30, 30, m);
        for (int i = 0; i < m.DataSize(); ++i) ASSERT_EQ(m.Data()[i], kBg);
    }
    // A huge node and a label at the far end of the coordinate range.
    auto root = MakeVelora<TVelora>();
    root->RunStatements("size(16,16)");
    root->NewChildOf<TVlxPoly>("size(2000000000,2000000000);pos(-1000000000,-1000000000);polygon")
        ->Poly.Points = chains[2];
    root->NewChildOf<TVlxAnk88>("pos(2147483000,0);text(far)")->TextX = INT32_MIN;
    root->RenderInto(Fill(m, 16, 16));
    root.release()->DestroyTree();
}

// The node fills by rows; the pixels must be those of FillPixel on every
// covered pixel, whatever the opacity, the drawn area and the shape.
TEST(VlxPoly, RowFillMatchesPixelFill) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> coord(-8, 48);
    for (int it = 0; it < 120; ++it) {
        auto p = MakeVelora<TVlxPoly>();
        p->RunStatements("size(41,37);polygon");
        p->SetFaceCol(rng() & 0xFFFFFF);
        p->SetFaceOpq(it % 4 ? float(rng() % 1001) / 1000 : 1.0f);
        for (int i = 0, n = 3 + int(rng() % 8); i < n; ++i)
            p->Poly.Points.push_back({coord(rng), coord(rng)});
        p->Poly.Points.push_back(p->Poly.Points.front());
        const int sx = int(rng() % 20), sy = int(rng() % 20), w = 1 + int(rng() % 45),
                  h = 1 + int(rng() % 45), dx = int(rng() % 9), dy = int(rng() % 9);
        TPixelMapRGB rows, pixels;
        rows.SetSize(53, 47);
        for (int i = 0; i < rows.DataSize(); ++i) rows.Data()[i] = uint8_t(rng());
        pixels.SetSize(53, 47);
        std::memcpy(pixels.Data(), rows.Data(), size_t(rows.DataSize()));

        p->DrawArea(dx, dy, sx, sy, w, h, rows);
        // Again one pixel at a time, with the clip the node chose.
        p->TVlxDrafter::DrawArea(dx, dy, sx, sy, w, h, pixels);
        pixels.SetPen(p->FaceCol);
        p->Poly.OnCoverageRow = nullptr;
        p->Poly.OnCoverage = [&](TPoint q, float a) { p->FillPixel(q, a); };
        p->Poly.FillPolygon();
        ASSERT_EQ(std::memcmp(rows.Data(), pixels.Data(), size_t(rows.DataSize())), 0) << it;
    }
}

}  // namespace
}  // namespace quenlo
