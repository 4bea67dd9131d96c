// GetRect / PutRect: the worked cases, then seeded random blocks on every
// kind of map against the plain per-pixel definition.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "pixelmap/pixelmap.h"

namespace quenlo {
namespace {

using V = std::vector<int>;

// Gray map whose pixel (x, y) holds base + 10 * y + x.
struct Numbered : TPixelMapGray {
    Numbered(int w, int h, int base = 0) {
        SetSize(w, h);
        Renumber(base);
    }
    void Renumber(int base) {
        for (int i = 0; i < DataSize(); ++i) Data()[i] = static_cast<uint8_t>(base + i / Width() * 10 + i % Width());
    }
    V Row(int y) const { return V(ScanLine(y), ScanLine(y) + Width()); }
};

TEST(GetRect, WorkedCases) {
    Numbered src(4, 1), dest(6, 1, 100);
    src.WrapX = true;
    src.GetRect(3, 0, 6, 1, dest);
    EXPECT_EQ(dest.Row(0), (V{3, 0, 1, 2, 3, 0}));
    dest.Renumber(100);
    src.WrapX = false;
    src.GetRect(3, 0, 6, 1, dest);
    EXPECT_EQ(dest.Row(0), (V{3, 101, 102, 103, 104, 105}));

    Numbered wide(10, 1), five(5, 1, 100);
    wide.GetRect(-2, 0, 5, 1, five);
    EXPECT_EQ(five.Row(0), (V{100, 101, 0, 1, 2}));

    Numbered tall(2, 3), four(2, 4, 100);
    tall.WrapY = true;
    tall.GetRect(0, -1, 2, 4, four);
    EXPECT_EQ(four.Row(0), (V{20, 21}));
    EXPECT_EQ(four.Row(3), (V{20, 21}));

    TPixelMapRGB rgb;  // another pixel size: nothing happens
    rgb.SetSize(4, 4);
    rgb.Clear();
    rgb.GetRect(0, 0, 2, 1, five);
    EXPECT_EQ(five.Row(0), (V{100, 101, 0, 1, 2}));
}

TEST(PutRect, WorkedCasesAndSmallSource) {
    Numbered src(5, 1, 100), dst(6, 1);
    dst.WrapX = true;
    dst.PutRect(4, 0, 5, 1, src);
    EXPECT_EQ(dst.Row(0), (V{102, 103, 104, 3, 100, 101}));
    dst.Renumber(0);
    dst.WrapX = false;
    dst.PutRect(4, 0, 5, 1, src);
    EXPECT_EQ(dst.Row(0), (V{0, 1, 2, 3, 100, 101}));

    // A source smaller than the block gives only what it holds.
    Numbered small(2, 2, 100), big(4, 4);
    big.PutRect(1, 1, 4, 4, small);
    EXPECT_EQ(big.Row(2), (V{20, 110, 111, 23}));
    EXPECT_EQ(big.Row(3), (V{30, 31, 32, 33}));
}

// Plain definition: block pixel (j, i) pairs with map pixel (x + j, y + i),
// taken modulo the size on a wrapping axis, skipped where it falls outside.
bool Place(const TPixelMap& m, int64_t x, int64_t y, int& mx, int& my) {
    if (m.Width() == 0 || m.Height() == 0) return false;
    if (m.WrapX) x = (x % m.Width() + m.Width()) % m.Width();
    if (m.WrapY) y = (y % m.Height() + m.Height()) % m.Height();
    mx = static_cast<int>(x), my = static_cast<int>(y);
    return x >= 0 && x < m.Width() && y >= 0 && y < m.Height();
}

void RefBlock(bool get, TPixelMap& map, int x, int y, int w, int h, TPixelMap& other) {
    if (w < 0 || h < 0 || map.BytesPerPixel() != other.BytesPerPixel()) return;
    w = std::min(w, other.Width());
    h = std::min(h, other.Height());
    if (!get) w = std::min(w, map.Width()), h = std::min(h, map.Height());
    int mx, my;
    for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j)
            if (Place(map, int64_t{x} + j, int64_t{y} + i, mx, my)) {
                uint8_t *a = map.PixelAddr(mx, my), *b = other.PixelAddr(j, i);
                std::memcpy(get ? b : a, get ? a : b, map.BytesPerPixel());
            }
}

std::vector<uint8_t> Bytes(const TPixelMap& m) { return {m.Data(), m.Data() + m.DataSize()}; }

class BlockKinds : public ::testing::TestWithParam<PixelKind> {};

TEST_P(BlockKinds, RandomBlocksMatchThePlainDefinition) {
    std::mt19937 rng(1234 + static_cast<int>(GetParam()));
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    // Now and then a value at the ends of the int range.
    auto edgy = [&](int lo, int hi) { return pick(0, 19) ? pick(lo, hi) : pick(0, 1) ? INT32_MIN : INT32_MAX; };
    auto random = [&](int w, int h, const TPixelMap* like = nullptr) {
        auto m = CreatePixelMap(GetParam());
        m->SetSize(w, h);
        for (int i = 0; i < m->DataSize(); ++i) m->Data()[i] = like ? like->Data()[i] : static_cast<uint8_t>(rng());
        if (like) m->WrapX = like->WrapX, m->WrapY = like->WrapY;
        return m;
    };
    for (int round = 0; round < 3000; ++round) {
        auto a = random(pick(0, 6), pick(0, 6)), b = random(pick(0, 6), pick(0, 6));
        a->WrapX = pick(0, 1), a->WrapY = pick(0, 1);
        const int x = edgy(-15, 15), y = edgy(-15, 15), w = edgy(-2, 9), h = edgy(-2, 9);
        auto got = random(b->Width(), b->Height(), b.get()), want = random(b->Width(), b->Height(), b.get());
        a->GetRect(x, y, w, h, *got);
        RefBlock(true, *a, x, y, w, h, *want);
        ASSERT_EQ(Bytes(*got), Bytes(*want)) << "GetRect, round " << round;

        got = random(a->Width(), a->Height(), a.get()), want = random(a->Width(), a->Height(), a.get());
        got->PutRect(x, y, w, h, *b);
        RefBlock(false, *want, x, y, w, h, *b);
        ASSERT_EQ(Bytes(*got), Bytes(*want)) << "PutRect, round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, BlockKinds,
                         ::testing::Values(PixelKind::RGB, PixelKind::Gray, PixelKind::WGray, PixelKind::ARGB));

}  // namespace
}  // namespace quenlo
