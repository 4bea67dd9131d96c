// Cel drawing against its truncating rule, and lifting drawn pixels with CutOut.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"
#include "scene/kinds/VlxMat.h"

namespace quenlo {
namespace {

void SetArgb(TPixelMapARGB& m, int32_t x, int32_t y, uint8_t v, uint8_t a) {
    uint8_t* p = m.PixelAddr(x, y);
    p[0] = p[1] = p[2] = v;
    p[3] = a;
}

class CelDrawTest : public ::testing::TestWithParam<float> {};

TEST_P(CelDrawTest, MatchesTheReferenceLoop) {
    auto cel = MakeVelora<TVlxCel>();
    cel->SetSize(23, 17);
    cel->SetOpq(GetParam());
    std::mt19937 rng(7);
    for (int32_t i = 0; i < cel->Map->DataSize(); ++i) {
        const uint32_t pick = rng() % 4;  // alpha 0 and 255 often: the fast paths
        cel->Map->Data()[i] = i % 4 != 3 || pick > 1 ? uint8_t(rng()) : pick ? 255 : 0;
    }
    TPixelMapRGB target, expected;
    target.SetSize(31, 19);
    expected.SetSize(31, 19);
    for (int32_t i = 0; i < target.DataSize(); ++i) target.Data()[i] = uint8_t(rng());
    std::memcpy(expected.Data(), target.Data(), size_t(target.DataSize()));

    const uint32_t a = AlphaFromOpq(GetParam());
    for (int32_t r = 0; r < 14; ++r)
        for (int32_t c = 0; c < 19; ++c) {
            const uint8_t* s = cel->Map->PixelAddr(3 + c, 1 + r);
            uint8_t* d = expected.PixelAddr(5 + c, 2 + r);
            const uint32_t g = a * s[3] / 255;
            for (int k = 0; k < 3 && g != 0; ++k)
                d[k] = g == 255 ? s[k] : uint8_t(((255 - g) * d[k] + g * s[k]) / 255);
        }
    cel->DrawArea(5, 2, 3, 1, 19, 14, target);
    EXPECT_EQ(0, std::memcmp(target.Data(), expected.Data(), size_t(target.DataSize())));
}

INSTANTIATE_TEST_SUITE_P(Opacities, CelDrawTest, ::testing::Values(0.0f, 0.5f, 1.0f, 1.5f));

// Left, top, width, height.
std::array<int32_t, 4> Box(const TVelora& n) { return {n.Left, n.Top, n.Width, n.Height}; }

std::vector<TVelora*> Children(TVelora& parent) {
    std::vector<TVelora*> v;
    for (TVelora* c = parent.FirstChild(); c; c = c->NextSibling()) v.push_back(c);
    return v;
}

// A 100 x 100 cel at (10, 20) between two mattes; drawn: the block (30, 40)
// .. (39, 44) with a transparent hole at (33, 42).
class CutOutTest : public ::testing::Test {
protected:
    void SetUp() override {
        root->SetSize(200, 200);
        for (TVelora* n : {static_cast<TVelora*>(below.get()), static_cast<TVelora*>(cel.get()),
                           static_cast<TVelora*>(above.get())})
            root->AddChild(n);
        below->SetSize(200, 200);
        above->SetSize(1, 1);
        cel->SetSize(100, 100);
        cel->SetPosition(10, 20);
        for (int32_t y = 40; y <= 44; ++y)
            for (int32_t x = 30; x <= 39; ++x) SetArgb(*cel->Map, x, y, uint8_t(x + y), 255);
        SetArgb(*cel->Map, 33, 42, 0, 0);
    }

    TVeloraPtr<TVelora> root = MakeVelora<TVelora>();
    TVeloraPtr<TVlxMat> below = MakeVelora<TVlxMat>();
    TVeloraPtr<TVlxCel> cel = MakeVelora<TVlxCel>();
    TVeloraPtr<TVlxMat> above = MakeVelora<TVlxMat>();
};

TEST_F(CutOutTest, LiftsTheBlockIntoATightCelInTheCelsPlace) {
    TVeloraPtr<TVlxCel> cut(cel->CutOut());
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(Box(*cut), (std::array<int32_t, 4>{40, 60, 10, 5}));
    EXPECT_EQ(Children(*root), (std::vector<TVelora*>{below.get(), cut.get(), cel.get(), above.get()}));
    EXPECT_EQ(cut->Map->PixelAddr(9, 4)[0], 39 + 44);
    for (int32_t i = 3; i < cel->Map->DataSize(); i += 4) ASSERT_EQ(cel->Map->Data()[i], 0);

    // The pointer passes through the cut's transparent pixels.
    cel->Visible = false;  // the cel itself is hit everywhere
    EXPECT_EQ(root->FindNodeAt({41, 61}), cut.get());
    EXPECT_EQ(root->FindNodeAt({43, 62}), below.get());
    EXPECT_EQ(root->FindNodeAt({50, 61}), below.get());

    // A second cut lands between the first and the cel.
    SetArgb(*cel->Map, 0, 0, 1, 1);
    TVeloraPtr<TVlxCel> cut2(cel->CutOut());
    ASSERT_NE(cut2, nullptr);
    EXPECT_EQ(Children(*root),
              (std::vector<TVelora*>{below.get(), cut.get(), cut2.get(), cel.get(), above.get()}));
}

TEST_F(CutOutTest, NothingDrawnGivesNone) {
    TVeloraPtr<TVlxCel> first(cel->CutOut());
    EXPECT_EQ(cel->CutOut(), nullptr);
    EXPECT_EQ(Children(*root), (std::vector<TVelora*>{below.get(), first.get(), cel.get(), above.get()}));

    auto bare = MakeVelora<TVlxCel>();
    EXPECT_EQ(bare->CutOut(), nullptr);  // no map
    // On maps 0 or 1 pixel wide the empty bounds look like a real rectangle.
    for (int32_t h : {0, 1, 3}) {
        bare->SetSize(h == 0 ? 0 : 1, h);
        EXPECT_EQ(bare->CutOut(), nullptr) << h;
    }
    SetArgb(*bare->Map, 0, 2, 5, 9);
    TVeloraPtr<TVlxCel> one(bare->CutOut());
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(Box(*one), (std::array<int32_t, 4>{0, 2, 1, 1}));
}

}  // namespace
}  // namespace quenlo
