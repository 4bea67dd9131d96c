#include "low/polygons.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <span>
#include <vector>

namespace quenlo {
namespace {

using TCoverage = std::map<std::pair<int64_t, int64_t>, int>;  // (row, column) -> 0..255

// Runs a fill; fails on a pixel reported twice or an alpha that is not n/255.
TCoverage Fill(TPoly& poly) {
    TCoverage cov;
    poly.OnCoverage = [&](TPoint p, float alpha) {
        const int a = int(std::lround(alpha * 255));
        EXPECT_EQ(float(a) / 255.0f, alpha);
        EXPECT_TRUE(cov.emplace(std::make_pair(p.Y, p.X), a).second) << p.X << "," << p.Y;
    };
    poly.FillPolygon();
    return cov;
}

// The same through OnCoverageRow; fails on runs that leave gaps, overlap,
// are empty, or could have been merged with their left neighbour.
TCoverage FillRows(TPoly& poly) {
    TCoverage cov;
    int64_t lastRow = INT64_MIN;
    poly.OnCoverageRow = [&](int32_t row, std::span<const TCoverageRun> runs) {
        EXPECT_GT(row, lastRow);
        lastRow = row;
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_GT(runs[i].Len, 0);
            if (i > 0) {
                EXPECT_EQ(runs[i].X, runs[i - 1].X + runs[i - 1].Len);
                EXPECT_NE(runs[i].Cover, runs[i - 1].Cover);
            }
            for (int32_t x = runs[i].X; x < runs[i].X + runs[i].Len; ++x)
                cov[{row, x}] = runs[i].Cover;
        }
    };
    poly.FillPolygon();
    poly.OnCoverageRow = nullptr;
    return cov;
}

TCoverage FillChain(TArrayOfPointF pts, int32_t l = 0, int32_t t = 0, int32_t r = 1000000,
                    int32_t b = 1000000) {
    TPoly poly;
    poly.Points = std::move(pts);
    poly.SetClip(l, t, r, b);
    return Fill(poly);
}

TArrayOfPointF Rect(float l, float t, float r, float b) {
    return {{l, t}, {r, t}, {r, b}, {l, b}, {l, t}};
}

// Slow reference: each sub-scanline's crossings computed edge by edge in
// closed form, then each of a pixel's 16 x 15 sample points tested for an
// odd number of crossings at or left of it.
TCoverage ReferenceFill(const TArrayOfPointF& loop, int64_t cl, int64_t ct, int64_t cr,
                        int64_t cb) {
    TCoverage cov;
    std::vector<std::pair<int64_t, int64_t>> v;
    for (const TPointF& p : loop)
        v.push_back({int64_t(std::nearbyint(16 * p.X)) + 7, int64_t(std::nearbyint(16 * p.Y)) + 7});
    const size_t m = v.size();
    if (m < 3) return cov;
    int64_t y0 = v[0].second, y1 = y0;
    for (auto& p : v) y0 = std::min(y0, p.second), y1 = std::max(y1, p.second);
    y0 = std::clamp(y0, 16 * ct, 16 * cb - 1);
    y1 = std::clamp(y1, 16 * ct, 16 * cb - 1);
    if (y0 >= y1) return cov;
    std::vector<int> dir(m);  // vertical direction of each edge, 0 = flat
    for (size_t i = 0; i < m; ++i)
        dir[i] = (v[(i + 1) % m].second > v[i].second) - (v[(i + 1) % m].second < v[i].second);
    std::map<int64_t, std::vector<int64_t>> lines;
    for (int64_t y = y0; y <= y1; ++y) {
        std::vector<int64_t>& xs = lines[y];
        for (size_t i = 0; i < m; ++i) {
            if (!dir[i]) continue;
            const auto a = v[i], b = v[(i + 1) % m];
            if (dir[i] > 0 ? a.second <= y && y < b.second : b.second < y && y <= a.second) {
                const int64_t dx = std::llabs(b.first - a.first),
                              dy = std::llabs(b.second - a.second);
                const __int128 t = (dx % dy) / 2 + __int128(std::llabs(y - a.second)) * dx;
                const int64_t s = t <= dy ? 0 : int64_t((t - 1) / dy);
                xs.push_back(a.first + (b.first > a.first ? s : -s));
            }
            size_t k = 1;  // a reversal against the previous sloped edge doubles the vertex
            while (!dir[(i + m - k) % m]) ++k;
            if (y == a.second && dir[(i + m - k) % m] != dir[i]) xs.push_back(a.first);
        }
        for (auto& x : xs) x = std::clamp(x, 16 * cl, 16 * cr - 1);
        std::sort(xs.begin(), xs.end());
    }
    for (int64_t row = y0 / 16; row <= y1 / 16; ++row) {
        const int64_t ya = std::max(y0, 16 * row), yb = std::min(y1, 16 * row + 15);
        int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (int64_t y = ya; y <= yb; ++y)
            if (!lines[y].empty())
                lo = std::min(lo, lines[y].front() / 16),
                hi = std::max(hi, (lines[y].back() + 15) / 16);
        for (int64_t c = lo; c <= hi + 1; ++c) {
            int64_t n = 0;
            for (int64_t y = ya; y <= yb; ++y)
                for (int64_t x = 16 * c; x < 16 * c + 15; ++x)
                    n +=
                        (std::upper_bound(lines[y].begin(), lines[y].end(), x) - lines[y].begin()) %
                        2;
            cov[{row, c}] = int(n * 273 / 256);
        }
    }
    return cov;
}

TEST(PolygonsTest, OutlineOrderAndClipping) {
    TPoly poly;
    std::vector<std::pair<TPointF, TPointF>> got;
    poly.OnEdge = [&](TPointF a, TPointF b) { got.push_back({a, b}); };
    poly.Points = {{0, 0}, {10, 0}, {10, 10}};
    poly.DrawOutline(false);
    poly.DrawOutline(true);
    using E = std::pair<TPointF, TPointF>;
    EXPECT_EQ(got, (std::vector<E>{{{10, 10}, {0, 0}},
                                   {{0, 0}, {10, 0}},
                                   {{10, 0}, {10, 10}},
                                   {{0, 0}, {10, 0}},
                                   {{10, 0}, {10, 10}}}));

    // Half a pixel beyond the clip columns and rows; non-finite ends dropped.
    got.clear();
    poly.SetClip(0, 0, 9, 9);
    const float nan = std::numeric_limits<float>::quiet_NaN(),
                inf = std::numeric_limits<float>::infinity();
    poly.Points = {{0, 20},  {0, 0},   {20, 0}, {20, 5}, {-10, 5}, {-5, -5},
                   {-5, 20}, {nan, 3}, {3, 3},  {4, 4},  {inf, 3}};
    poly.DrawOutline(true);
    EXPECT_EQ(
        got,
        (std::vector<E>{
            {{0, 9.5f}, {0, 0}}, {{0, 0}, {9.5f, 0}}, {{9.5f, 5}, {-0.5f, 5}}, {{3, 3}, {4, 4}}}));

    got.clear();
    poly.Points.resize(1);
    poly.DrawOutline(false);
    EXPECT_TRUE(got.empty());
}

TEST(PolygonsTest, FindLoopTakesFirstSelfContact) {
    TPoly poly;
    poly.Points = {{0, 0}, {10, 10}, {10, 0}, {0, 10}};
    EXPECT_EQ(poly.FindLoop(), (TArrayOfPointF{{5, 5}, {10, 10}, {10, 0}, {5, 5}}));
    poly.Points = Rect(2, 2, 6, 6);
    EXPECT_EQ(poly.FindLoop(), poly.Points);
    // Segment 0 meets segment 2 (x = 6) and segment 4 (x = 7): the largest j wins.
    poly.Points = {{0, 5}, {10, 5}, {10, 0}, {2, 10}, {6, 10}, {8, 0}};
    EXPECT_EQ(poly.FindLoop(),
              (TArrayOfPointF{{7, 5}, {10, 5}, {10, 0}, {2, 10}, {6, 10}, {7, 5}}));
    poly.Points = {{0, 5}, {10, 5}, {20, 5}, {0, 5}};  // collinear never crosses
    EXPECT_TRUE(poly.FindLoop().empty());
}

TEST(PolygonsTest, WorkedSquares) {
    const TCoverage cov = FillChain(Rect(2, 2, 6, 6));
    EXPECT_EQ(cov.size(), 5u * 7u);
    auto row = [&](const TCoverage& c, int r, int from, int to) {
        std::vector<int> v;
        for (int x = from; x <= to; ++x) v.push_back(c.count({r, x}) ? c.at({r, x}) : -1);
        return v;
    };
    EXPECT_EQ(row(cov, 2, 2, 8), (std::vector<int>{68, 127, 127, 127, 59, 0, 0}));
    for (int r : {3, 4, 5})
        EXPECT_EQ(row(cov, r, 2, 8), (std::vector<int>{136, 255, 255, 255, 119, 0, 0}));
    EXPECT_EQ(row(cov, 6, 2, 8), (std::vector<int>{59, 111, 111, 111, 52, 0, 0}));
    // Halves round to even: 16 * 2.03125 = 32.5 lands where 2.0 does.
    EXPECT_EQ(FillChain(Rect(2.03125f, 2, 6, 6)), cov);

    // The last clip column and row get no fill.
    const TCoverage big = FillChain(Rect(-5, -5, 20, 20), 0, 0, 9, 9);
    EXPECT_EQ(big.size(), 9u * 11u);
    for (int r = 0; r <= 8; ++r)
        EXPECT_EQ(row(big, r, 0, 10),
                  (std::vector<int>{255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0}));
}

TEST(PolygonsTest, NothingToFill) {
    TArrayOfPointF open = Rect(2, 2, 6, 6);
    open.pop_back();
    EXPECT_TRUE(FillChain(open).empty());
    EXPECT_TRUE(FillChain({{0, 0}, {10, 0}, {0, 0}}).empty());
    EXPECT_TRUE(FillChain({{0, 5}, {10, 5}, {20, 5}, {0, 5}}).empty());
    EXPECT_TRUE(FillChain(Rect(2, 2, 6, 6), 0, 20, 50, 40).empty());
    EXPECT_TRUE(FillChain(Rect(1, -2, 5, 5), 0, -3, 10, 10).empty());  // negative base row
    // A vertex that cannot be placed refuses the loop.
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
        EXPECT_TRUE(FillChain({{2, 2}, {6, 2}, {bad, 6}, {2, 6}, {2, 2}}).empty());
    TPoly poly;
    poly.Points = Rect(2, 2, 6, 6);
    poly.FillPolygon();  // OnCoverage unassigned
}

TEST(PolygonsTest, NegativeCrossingEndsFillWithMessage) {
    std::vector<std::string> msgs;
    TMessageNotifier old = SetPolyNotifier([&](const std::string& s) { msgs.push_back(s); });
    // The left edge passes sub-pixel 0 on row 7; rows before it stay drawn.
    const TCoverage cov = FillChain({{4, 0.5f}, {8, 8}, {-1, 8}, {4, 0.5f}}, -2, 0, 20, 20);
    SetPolyNotifier(std::move(old));
    EXPECT_EQ(msgs, std::vector<std::string>{"got it!!! (bug 1)"});
    std::set<int64_t> rows;
    for (const auto& [rc, a] : cov) rows.insert(rc.first);
    EXPECT_EQ(rows, (std::set<int64_t>{0, 1, 2, 3, 4, 5, 6}));
}

TEST(PolygonsTest, SquaresSharingAnEdgeSumToTheirUnion) {
    std::mt19937 rng(7);
    auto u = [&] { return float(rng() % 64) / 16; };  // dyadic, so every chain closes exactly
    for (int it = 0; it < 40; ++it) {
        const float x0 = 1 + u(), xs = x0 + 1.5f + u(), x1 = xs + 1.5f + u(), y0 = 1 + u(),
                    y1 = y0 + 1 + u();
        const TCoverage a = FillChain(Rect(x0, y0, xs, y1)), b = FillChain(Rect(xs, y0, x1, y1));
        const TCoverage all = FillChain(Rect(x0, y0, x1, y1));
        ASSERT_FALSE(all.empty());
        for (const auto& [rc, want] : all) {
            const int sum = (a.count(rc) ? a.at(rc) : 0) + (b.count(rc) ? b.at(rc) : 0);
            EXPECT_LE(std::abs(sum - want), 1) << "row " << rc.first << " col " << rc.second;
        }
    }
}

TEST(PolygonsTest, CoverageMatchesDirectSampling) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> coord(-3, 22);
    int filled = 0;
    for (int it = 0; it < 300; ++it) {
        TPoly poly;
        for (int i = 0, n = 3 + int(rng() % 7); i < n; ++i) {
            float x = coord(rng), y = coord(rng);
            if (it % 4)
                x = std::round(x * 32) / 32, y = std::round(y * 32) / 32;  // exact halves, closing
            if (it % 5 == 0 && i % 2) y = poly.Points.back().Y;            // flat edges
            poly.Points.push_back({x, y});
        }
        if (it % 3) poly.Points.push_back(poly.Points.front());  // else an open, crossing stroke
        if (it % 2)
            poly.SetClip(int(rng() % 6), int(rng() % 6), 8 + int(rng() % 15), 8 + int(rng() % 15));
        if (it % 25 == 0)
            poly.Points[0] = {-2e6f, 1e5f}, poly.SetClip(0, 0, 12, 12);  // cut long edges short
        const TCoverage want = ReferenceFill(poly.FindLoop(), poly.ClipLeft, poly.ClipTop,
                                             poly.ClipRight, poly.ClipBottom);
        ASSERT_EQ(Fill(poly), want) << "case " << it;
        ASSERT_EQ(FillRows(poly), want) << "case " << it;
        filled += !want.empty();
    }
    EXPECT_GT(filled, 150);

    // Far-reaching edges are cut to the clip, not walked: full coverage inside.
    const TCoverage cov = FillChain(
        {{-0x1p24f, -0x1p24f}, {0x1p24f, 0}, {0, 0x1p24f}, {-0x1p24f, -0x1p24f}}, 0, 0, 20, 20);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 20; ++c)
            EXPECT_EQ(cov.count({r, c}) ? cov.at({r, c}) : -1, 255) << r << "," << c;
}

// A vertex past the 32-bit walk (some 33 million pixels out) is walked
// exactly as the reference does in 64 bits; past what 64 bits hold, the
// loop is cut to a square where the lost precision lies far below a pixel.
TEST(PolygonsTest, FarVerticesAreClippedExactly) {
    const TCoverage tri = FillChain({{5, 5}, {4e7f, 20}, {5, 35}, {5, 5}}, 0, 0, 40, 40);
    EXPECT_EQ(std::count_if(tri.begin(), tri.end(), [](const auto& p) { return p.second == 255; }), 986);  // 34 columns x 29 rows inside
    EXPECT_EQ(tri, ReferenceFill({{5, 5}, {4e7f, 20}, {5, 35}, {5, 5}}, 0, 0, 40, 40));

    std::mt19937 rng(37);
    std::uniform_real_distribution<float> near(-5, 45), far(-1e12f, 1e12f);
    for (int it = 0; it < 24; ++it) {
        TArrayOfPointF pts;
        for (int i = 0, n = 3 + int(rng() % 5); i < n; ++i) {
            // Far in x, in y or in both: an edge more than 2^31 sixteenths
            // tall outgrows the 32-bit walk.
            const int kind = int(rng() % 4);
            pts.push_back({kind & 1 ? far(rng) : near(rng), kind & 2 ? far(rng) : near(rng)});
        }
        pts.push_back(pts.front());
        TPoly poly;
        poly.Points = pts;
        poly.SetClip(0, 0, 40, 40);
        const TCoverage want = ReferenceFill(poly.FindLoop(), 0, 0, 40, 40);
        ASSERT_EQ(Fill(poly), want) << "case " << it;
        ASSERT_EQ(FillRows(poly), want) << "case " << it;
    }

    // Beyond 64 bits: the clip's interior is covered whole, its edges as the
    // nearer vertices make them.
    const TCoverage huge = FillChain({{-3e30f, -5}, {3e30f, -5}, {3e30f, 1e30f}, {-3e30f, -5}}, 0, 0, 20, 20);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 20; ++c) EXPECT_EQ(huge.count({r, c}) ? huge.at({r, c}) : -1, 255) << r << "," << c;
}

// Runs against pixels and the reference on the shapes that stress the row
// form: convex and concave figures, self-crossing chains, huge and
// sub-pixel ones, and clips that cut them on every side.
TEST(PolygonsTest, CoverageRowsMatchPixelsAndReference) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> unit(0, 1);
    auto figure = [&](int kind, float cx, float cy, float r) {
        TArrayOfPointF pts;
        const int n = 3 + int(rng() % 9);
        const float turn = unit(rng) * 6.2831853f;
        for (int i = 0; i < n; ++i) {
            const float t = turn + 6.2831853f * float(i) / float(n);
            float rr = r;
            if (kind == 1) rr *= i % 2 ? 0.3f + 0.3f * unit(rng) : 1;  // concave star
            if (kind == 2) rr *= unit(rng), rr = i % 3 ? rr : -rr;     // crossing itself
            pts.push_back({cx + rr * std::cos(t), cy + rr * std::sin(t)});
        }
        pts.push_back(pts.front());
        return pts;
    };
    for (int it = 0; it < 240; ++it) {
        const int kind = it % 6;
        TPoly poly;
        if (kind < 3)  // convex, concave, self-crossing
            poly.Points = figure(kind, 4 + 20 * unit(rng), 4 + 20 * unit(rng), 2 + 14 * unit(rng));
        else if (kind == 3)  // huge, cut down to the clip
            poly.Points = figure(it % 4, 8 + 16 * unit(rng), 8 + 16 * unit(rng), 1e6f * unit(rng));
        else if (kind == 4)  // sub-pixel
            poly.Points = figure(it % 3, 3 + 9 * unit(rng), 3 + 9 * unit(rng), 0.05f + unit(rng));
        else  // a random crossing stroke, open or closed
            for (int i = 0, n = 4 + int(rng() % 8); i < n; ++i)
                poly.Points.push_back({-4 + 36 * unit(rng), -4 + 36 * unit(rng)});
        if (kind == 3 || it % 2)
            poly.SetClip(int(rng() % 8), int(rng() % 8), 9 + int(rng() % 20), 9 + int(rng() % 20));
        const TCoverage want = ReferenceFill(poly.FindLoop(), poly.ClipLeft, poly.ClipTop,
                                             poly.ClipRight, poly.ClipBottom);
        ASSERT_EQ(FillRows(poly), want) << "case " << it;
        ASSERT_EQ(Fill(poly), want) << "case " << it;
    }
}

}  // namespace
}  // namespace quenlo
