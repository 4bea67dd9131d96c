// Polygons the fuzzers found, reduced to what broke the fill.
#include <gtest/gtest.h>

#include "low/polygons.h"

namespace quenlo {
namespace {

// Pixels with coverage, in a clip box from (l, t) to (r, b).
int CoveredPixels(const TArrayOfPointF& pts, int32_t l, int32_t t, int32_t r, int32_t b) {
    TPoly poly;
    poly.Points = pts;
    poly.SetClip(l, t, r, b);
    int covered = 0;
    poly.OnCoverage = [&](TPoint, float alpha) { covered += alpha > 0; };
    poly.FillPolygon();
    return covered;
}

// A clip box with left 31 beyond right 27: the crossings were pinned
// between the two sides and pixels 27..30 filled although no pixel may be.
TEST(PolygonsFuzz, AnInsideOutClipBoxFillsNothing) {
    const TArrayOfPointF square = {{0, 0}, {40, 0}, {40, 40}, {0, 40}, {0, 0}};
    EXPECT_EQ(CoveredPixels(square, 31, 0, 27, 1), 0);
    EXPECT_EQ(CoveredPixels(square, 0, 30, 10, 2), 0);
    // A box of one column or row still gives nothing, by the last-column rule.
    EXPECT_EQ(CoveredPixels(square, 27, 0, 27, 5), 0);
    EXPECT_EQ(CoveredPixels(square, 0, 3, 5, 3), 0);
    EXPECT_EQ(CoveredPixels(square, 27, 0, 28, 1), 1);
}

}  // namespace
}  // namespace quenlo
