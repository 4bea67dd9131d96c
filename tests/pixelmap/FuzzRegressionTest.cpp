// Inputs the fuzzers found, reduced to the map operations they broke.
#include <gtest/gtest.h>

#include <climits>

#include "low/Errors.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {
namespace {

// A .ipr of "1111111115" (width only, height 0): no bytes, but a row stride
// of 3.3 billion that overflowed 32 bits.
TEST(PixelMapFuzz, RefusesAWidthWhoseRowOverflowsEvenWithNoRows) {
    TPixelMapRGB m;
    m.SetSize(2, 2);
    EXPECT_THROW(m.SetSize(1111111115, 0), EInvalidImageSize);
    EXPECT_EQ(m.Width(), 0);
    EXPECT_EQ(m.Stride(), 0);
    EXPECT_EQ(m.Data(), nullptr);
    EXPECT_THROW(TPixelMap::CheckedDataSize(715827883, 0, 3), EInvalidImageSize);
    EXPECT_EQ(TPixelMap::CheckedDataSize(715827882, 0, 3), 0);
    EXPECT_EQ(TPixelMap::CheckedDataSize(INT32_MAX, 0, 1), 0);
    EXPECT_THROW(TPixelMap::CheckedDataSize(536870912, 0, 4), EInvalidImageSize);
    // A PNG header's two 31-bit sizes: their product times 3 passes 2^63.
    EXPECT_THROW(TPixelMap::CheckedDataSize(2000000000, 1573646889, 3), EInvalidImageSize);
    EXPECT_EQ(TPixelMap::CheckedDataSize(1000, 1000, 3), 3000000);

    TPixelMapARGB a;
    a.SetSize(536870911, 0);  // stride 2147483644 still fits
    EXPECT_EQ(a.Stride(), 2147483644);
    EXPECT_EQ(a.DataSize(), 0);
}

// A map placed near INT32_MAX: its far edges overflowed and the bounds
// came out inside out.
TEST(PixelMapFuzz, BoundsAtTheFarEndOfThePlaneStopThere) {
    TPixelMapRGB m;
    m.SetSize(40, 30);
    m.Left = INT32_MAX - 1;
    m.Top = INT32_MAX - 20;
    const TRect r = m.Bounds();
    EXPECT_EQ(r.Left, INT32_MAX - 1);
    EXPECT_EQ(r.Top, INT32_MAX - 20);
    EXPECT_EQ(r.Right, INT32_MAX);
    EXPECT_EQ(r.Bottom, INT32_MAX);

    m.Left = INT32_MIN;
    m.Top = -5;
    const TRect s = m.Bounds();
    EXPECT_EQ(s.Right, INT32_MIN + 39);
    EXPECT_EQ(s.Bottom, 24);
}

}  // namespace
}  // namespace quenlo
