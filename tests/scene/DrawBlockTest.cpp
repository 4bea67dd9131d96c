// The one clip rule of DrawArea against the formulas that the plain fill and
// the drafters used before they shared it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <random>

#include "scene/DrawBlock.h"

namespace quenlo {
namespace {

using TBox = std::array<int64_t, 4>;

TEST(DrawBlock, GivesThePlainFillAndDrafterRectanglesOfOld) {
    std::mt19937 rng(14);
    // Mostly small values, so that blocks often overlap; sometimes the far ends.
    const int32_t far[] = {INT32_MIN, INT32_MIN + 1, -1, 0, INT32_MAX - 1, INT32_MAX};
    auto v = [&] { return rng() % 8 == 0 ? far[rng() % 6] : int32_t(rng() % 41) - 20; };
    for (int i = 0; i < 200000; ++i) {
        const int32_t dx = v(), dy = v(), sx = v(), sy = v(), w = v(), h = v(), nw = v(), nh = v();
        const int32_t tw = int32_t(rng() % 12), th = int32_t(rng() % 12);
        SCOPED_TRACE(testing::Message() << dx << " " << dy << " " << sx << " " << sy << " " << w << " " << h
                                        << " " << tw << " " << th << " " << nw << " " << nh);
        TDrawBlock b;
        // The plain fill: only the target cuts the block.
        const int64_t x0 = std::max<int64_t>(dx, 0), x1 = std::min<int64_t>(int64_t(dx) + w, tw);
        const int64_t y0 = std::max<int64_t>(dy, 0), y1 = std::min<int64_t>(int64_t(dy) + h, th);
        ASSERT_EQ(ClipDrawBlock(dx, dy, 0, 0, w, h, tw, th, INT32_MAX, INT32_MAX, b), x0 < x1 && y0 < y1);
        if (x0 < x1 && y0 < y1) {
            EXPECT_EQ((TBox{b.DstX, b.DstY, b.W, b.H}), (TBox{x0, y0, x1 - x0, y1 - y0}));
        }

        // The drafter: node-local pixels inside the block, the node and the target.
        const int64_t ox = int64_t(dx) - sx, oy = int64_t(dy) - sy;
        const int64_t l = std::max({int64_t(sx), int64_t(0), -ox}), t = std::max({int64_t(sy), int64_t(0), -oy});
        const int64_t r = std::min({int64_t(sx) + w - 1, int64_t(nw) - 1, tw - 1 - ox});
        const int64_t bt = std::min({int64_t(sy) + h - 1, int64_t(nh) - 1, th - 1 - oy});
        const bool drafted = ox == int32_t(ox) && oy == int32_t(oy) && l <= r && t <= bt;
        ASSERT_EQ(ClipDrawBlock(dx, dy, sx, sy, w, h, tw, th, nw, nh, b), drafted);
        if (!drafted) continue;
        EXPECT_EQ((TBox{b.SrcX, b.SrcY, int64_t(b.SrcX) + b.W - 1, int64_t(b.SrcY) + b.H - 1}), (TBox{l, t, r, bt}));
        EXPECT_EQ((TBox{int64_t(b.DstX) - b.SrcX, int64_t(b.DstY) - b.SrcY, 0, 0}), (TBox{ox, oy, 0, 0}));
    }
}

}  // namespace
}  // namespace quenlo
