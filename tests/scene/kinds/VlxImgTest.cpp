// The image node: its map, loading, "wipe", compositing and pointer painting.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "low/VeloreLow.h"
#include "pixelmap/pixelmap.h"
#include "scene/PointingMsg.h"
#include "scene/kinds/VlxImg.h"

namespace quenlo {
namespace {

using test::TempDir;

std::vector<uint8_t> Bytes(const TPixelMap& m) {
    return std::vector<uint8_t>(m.Data(), m.Data() + m.DataSize());
}

void FillPattern(TPixelMap& m, int seed) {
    for (int32_t i = 0; i < m.DataSize(); ++i) m.Data()[i] = uint8_t(i * 29 + seed * 71 + (i / 7) * 13);
}

TEST(VlxImg, SizeAndWipeFillWithCol) {
    auto img = MakeVelora<TVlxImg>();
    std::string stmt = "wipe";
    img->ApplyStatement(stmt);  // no map yet: consumed, nothing else
    EXPECT_TRUE(stmt.empty());

    img->RunStatements("col(1,2,3);size(2,2)");
    EXPECT_TRUE(img->Visible);
    EXPECT_EQ(Bytes(*img->Map), (std::vector<uint8_t>{3, 2, 1, 3, 2, 1, 3, 2, 1, 3, 2, 1}));
    FillPattern(*img->Map, 1);
    img->SetCol(0xFFFFFF);
    img->RunStatements("WIPE()");
    EXPECT_EQ(Bytes(*img->Map), std::vector<uint8_t>(12, 255));
    EXPECT_EQ(img->Width, 2);

    stmt = "wipe(1)";  // wrong argument count: not this statement
    img->ApplyStatement(stmt);
    EXPECT_EQ(stmt, "wipe(1)");

    EXPECT_THROW(img->SetSize(-1, 5), EInvalidImageSize);
    EXPECT_EQ(img->Map, nullptr);  // never a map of the wrong size
}

class VlxImgFile : public ::testing::Test {
protected:
    void SetUp() override {
        TPixelMapRGB m;
        m.SetSize(6, 4);
        FillPattern(m, 3);
        pattern = Bytes(m);
        SaveBmpFile(m, bmp);
    }
    TempDir dir;
    std::string bmp = dir / "pic.bmp";
    std::vector<uint8_t> pattern;
};

TEST_F(VlxImgFile, LoadTakesImageSizeAndNameForItsStatements) {
    auto img = MakeVelora<TVlxImg>();
    img->LoadFile(bmp);
    ASSERT_NE(img->Map, nullptr);
    EXPECT_EQ(img->Width, 6);
    EXPECT_EQ(img->Height, 4);
    EXPECT_TRUE(img->Visible);
    EXPECT_EQ(Bytes(*img->Map), pattern);

    std::string text;
    img->WriteStatements(text);
    auto copy = MakeVelora<TVlxImg>();
    copy->RunStatements(text);
    ASSERT_NE(copy->Map, nullptr) << text;
    EXPECT_EQ(Bytes(*copy->Map), pattern);

    // A file the loader does not know by its extension: 0 x 0, visible.
    const std::string odd = dir / "pic.psd";
    test::WriteBytes(odd, {1, 2, 3});
    img->LoadFile(odd);
    EXPECT_EQ(img->Width, 0);
    EXPECT_EQ(img->Map->Width(), 0);
}

TEST_F(VlxImgFile, FailedLoadsKeepThePreviousImage) {
    auto img = MakeVelora<TVlxImg>();
    img->LoadFile(bmp);
    TPixelMapRGB* const kept = img->Map.get();
    img->LoadFile(dir / "missing.bmp");
    img->LoadFile("");
    const std::string bad = dir / "bad.bmp";
    test::WriteBytes(bad, {'B', 'M', 1, 2, 3});
    EXPECT_ANY_THROW(img->LoadFile(bad));
    EXPECT_EQ(img->Map.get(), kept);
    EXPECT_EQ(img->Width, 6);
    EXPECT_EQ(img->FileName, bmp);
}

// The compositing rule written out pixel by pixel; pixels outside either
// map are left alone.
void ReferenceDraw(const TPixelMapRGB& src, float opq, int32_t dstX, int32_t dstY, int32_t srcX,
                   int32_t srcY, int32_t w, int32_t h, TPixelMapRGB& dst) {
    const uint32_t a = uint32_t(int64_t(std::nearbyint(double(opq) * 255.0)) & 0xFF);
    for (int32_t r = 0; r < h; ++r)
        for (int32_t c = 0; c < w; ++c) {
            const int32_t sx = srcX + c, sy = srcY + r, dx = dstX + c, dy = dstY + r;
            if (!src.InMap(sx, sy) || !dst.InMap(dx, dy) || a == 0) continue;
            for (int k = 0; k < 3; ++k) {
                const uint32_t s = src.PixelAddr(sx, sy)[k];
                uint8_t& d = dst.PixelAddr(dx, dy)[k];
                d = a == 255 ? uint8_t(s) : uint8_t(((255 - a) * d + a * s + 128) / 255);
            }
        }
}

class VlxImgDraw : public ::testing::TestWithParam<float> {};

TEST_P(VlxImgDraw, MatchesTheReferenceLoop) {
    auto img = MakeVelora<TVlxImg>();
    img->SetSize(13, 9);
    FillPattern(*img->Map, 4);
    img->SetOpq(GetParam());

    struct TCase {
        int32_t DstX, DstY, SrcX, SrcY, W, H;
    };
    // Inside both maps; then blocks hanging over every edge of either.
    const TCase cases[] = {{5, 7, 2, 1, 9, 6}, {0, 0, 0, 0, 13, 9}, {-3, 12, 1, 2, 10, 6},
                           {15, -2, 8, 3, 9, 9}, {2, 2, -4, -1, 20, 20}};
    for (const TCase& t : cases) {
        TPixelMapRGB got, want;
        got.SetSize(20, 15);
        FillPattern(got, 5);
        want.SetSize(20, 15);
        FillPattern(want, 5);
        img->DrawArea(t.DstX, t.DstY, t.SrcX, t.SrcY, t.W, t.H, got);
        ReferenceDraw(*img->Map, GetParam(), t.DstX, t.DstY, t.SrcX, t.SrcY, t.W, t.H, want);
        EXPECT_EQ(Bytes(got), Bytes(want)) << "block at " << t.DstX << "," << t.DstY;
    }
}

INSTANTIATE_TEST_SUITE_P(Opacities, VlxImgDraw, ::testing::Values(0.0f, 0.5f, 1.0f, 1.5f));

TEST(VlxImg, PaintsASpotOnlyOnMovesWithAButton) {
    auto img = MakeVelora<TVlxImg>();
    img->SetSize(120, 120);
    const auto white = Bytes(*img->Map);
    TPointingMsg m;
    for (uint8_t state : {kPointLeftDown, kPointLeftUp, kPointOtherDown, kPointMove}) {
        m.State = state;
        m.LeftDown = state != kPointMove;  // a move without buttons
        img->DoPointing({60, 60}, {60, 60}, m);
    }
    EXPECT_EQ(Bytes(*img->Map), white);

    img->ResetDirty();
    m.LeftDown = true;
    img->DoPointing({60, 50}, {60.4f, 50.2f}, m);
    EXPECT_EQ(img->LastPaint, (TPointF{60, 50}));
    const uint8_t* c = img->Map->PixelAddr(60, 50);
    EXPECT_LT(c[0], 255);  // blue falls towards the yellow-green pen
    EXPECT_EQ(c[1], 255);
    EXPECT_EQ(img->Map->PixelAddr(0, 119)[0], 255);  // far outside the spot
    // Dirty: the spot's box, r + 1 around the centre with r in 10..59.
    const TRect d = img->Dirty;
    EXPECT_EQ(d, MakeRect(60 - (d.Right - 60), 50 - (d.Right - 60), d.Right, 50 + (d.Right - 60)));
    EXPECT_GE(d.Right - 60, 11);
    EXPECT_LE(d.Right - 60, 60);

    img->RunStatements("wipe");
    m.LeftDown = false;
    m.RightDown = true;
    img->DoPointing({30, 30}, {30, 30}, m);
    const uint8_t* p = img->Map->PixelAddr(30, 30);
    // Blue-green: the red pen (0..49) lies below both the green (50..199)
    // and the blue (100..249), so red falls furthest.
    EXPECT_LT(p[2], p[0]);
    EXPECT_LE(p[2], p[1]);
    EXPECT_LT(p[2], 255);

    auto bare = MakeVelora<TVlxImg>();  // no map: nothing to paint
    bare->DoPointing({1, 1}, {1, 1}, m);
}

}  // namespace
}  // namespace quenlo
