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

// Cut to the square of 2^56 pixels, an edge some 2^59 sixteenths tall
// crosses the clip: its walk wrapped in 32-bit lanes into crossings out of
// order, which unbalanced the row's sums and covered pixels right of it.
TEST(PolygonsFuzz, ATallFarEdgeStaysInsideTheClip) {
    const int32_t lo = 1751738, hi = 1751787;
    TPoly poly;
    poly.Points = {{1751753.125f, 1751753.125f}, {-4.8e25f, -1.5e26f}, {1752078, 1752078},
                   {0, -750022.3125f}, {1751753.125f, 1751753.125f}};
    poly.SetClip(lo, lo, hi, hi);
    int inside = 0, outside = 0;
    poly.OnCoverage = [&](TPoint p, float alpha) {
        if (alpha > 0) ++(p.X >= lo && p.X < hi && p.Y >= lo && p.Y < hi ? inside : outside);
    };
    poly.FillPolygon();
    EXPECT_GT(inside, 0);
    EXPECT_EQ(outside, 0);
}

}  // namespace
}  // namespace quenlo
