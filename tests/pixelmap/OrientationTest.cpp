#include <gtest/gtest.h>

#include <cstring>

#include "pixelmap/Orientation.h"

using namespace quenlo;

namespace {

// 3 x 2, every pixel distinct.
std::unique_ptr<TPixelMapRGB> Asymmetric() {
    auto m = std::make_unique<TPixelMapRGB>();
    m->SetSize(3, 2);
    for (int i = 0; i < m->DataSize(); ++i) m->Data()[i] = static_cast<uint8_t>(i * 7 + 1);
    return m;
}

bool Same(const TPixelMap& a, const TPixelMap& b) {
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.Data(), b.Data(), static_cast<size_t>(a.DataSize())) == 0;
}

}  // namespace

// Checked by what each value means, not by the mapping itself: the stored
// top-left pixel lands on the corner the value names, and turns compose.
TEST(Orientation, TopLeftLandsWhereEachValueSays) {
    const auto held = Asymmetric();
    const TPixelMapRGB& m = *held;
    struct Row { int orientation; int32_t w, h, x, y; };  // where stored (0, 0) is shown
    const Row rows[] = {{1, 3, 2, 0, 0}, {2, 3, 2, 2, 0}, {3, 3, 2, 2, 1}, {4, 3, 2, 0, 1},
                        {5, 2, 3, 0, 0}, {6, 2, 3, 1, 0}, {7, 2, 3, 1, 2}, {8, 2, 3, 0, 2}};
    for (const Row& r : rows) {
        const auto up = TurnUpright(m, r.orientation);
        ASSERT_EQ(up->Width(), r.w) << r.orientation;
        ASSERT_EQ(up->Height(), r.h) << r.orientation;
        EXPECT_EQ(std::memcmp(up->PixelAddr(r.x, r.y), m.PixelAddr(0, 0), 3), 0) << r.orientation;
    }
    const auto q = TurnUpright(m, 6);
    EXPECT_TRUE(Same(*TurnUpright(*q, 6), *TurnUpright(m, 3)));  // two quarter turns
    EXPECT_TRUE(Same(*TurnUpright(*q, 8), m));                   // and back
    EXPECT_TRUE(Same(*TurnUpright(*TurnUpright(m, 5), 5), m));   // a transpose undoes itself
    EXPECT_TRUE(Same(*TurnUpright(*TurnUpright(m, 3), 5), *TurnUpright(m, 7)));
    EXPECT_TRUE(Same(*TurnUpright(m, 0), m));
}
