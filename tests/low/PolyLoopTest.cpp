#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

#include "low/Sanitized.h"
#include "low/VeloreLow.h"
#include "low/polygons.h"

namespace quenlo {
namespace {

// The search order the loop is defined by: every pair, smallest i first
// and for it the largest j.
TArrayOfPointF LoopByEveryPair(const TArrayOfPointF& p) {
    const size_t n = p.size();
    for (size_t i = 0; n >= 4 && i + 4 <= n; ++i)
        for (size_t j = n - 2; j >= i + 2; --j) {
            TPointF x;
            if (!SegmentsIntersect(p[i], p[i + 1], p[j], p[j + 1], x)) continue;
            TArrayOfPointF loop{x};
            loop.insert(loop.end(), p.begin() + std::ptrdiff_t(i + 1), p.begin() + std::ptrdiff_t(j + 1));
            loop.push_back(x);
            return loop;
        }
    return {};
}

TEST(PolyLoop, TheSweepFindsTheLoopEveryPairWouldFind) {
    std::mt19937 rng(25);
    TPoly poly;
    int found = 0;
    for (int it = 0; it < 3000; ++it) {
        const size_t n = 4 + rng() % (it % 3 == 0 ? 200 : 12);
        poly.Points.clear();
        for (size_t k = 0; k < n; ++k) {
            // Small grids give shared vertices, collinear runs, repeats and
            // touching boxes; fractions give crossings between grid points.
            const int grid = it % 2 ? 4 : 40;
            TPointF v{float(int(rng() % grid)), float(int(rng() % grid))};
            if (it % 5 == 0) v = {v.X + float(rng() % 1000) / 997.0f, v.Y - float(rng() % 1000) / 991.0f};
            poly.Points.push_back(v);
        }
        if (it % 7 == 0) poly.Points.push_back(poly.Points[0]);  // closed
        const TArrayOfPointF want = LoopByEveryPair(poly.Points);
        ASSERT_EQ(poly.FindLoop(), want) << "case " << it;
        ASSERT_EQ(poly.Loop(), want) << "case " << it;
        found += !want.empty();
    }
    EXPECT_GT(found, 1500);
}

TEST(PolyLoop, LongChainsAreSearchedInTimeAndOnlyOnceWhileUnchanged) {
    TPoly spiral, same, zigzag;  // none meets itself
    for (int i = 0; i < 100000; ++i) {
        const double a = i * 0.01, r = 10 + i * 0.0018;
        spiral.Points.push_back({float(200 + r * std::cos(a)), float(200 + r * std::sin(a))});
        same.Points.push_back({5, 5});
        zigzag.Points.push_back({float(i % 2 * 1000), float(i)});  // every segment spans every x
    }
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(spiral.Loop().empty());
    EXPECT_TRUE(same.Loop().empty());
    EXPECT_TRUE(zigzag.Loop().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));

    // Closing the spiral on its start changes the answer: the kept one is not reused.
    spiral.Points.push_back(spiral.Points[0]);
    EXPECT_EQ(spiral.Loop(), LoopByEveryPair(spiral.Points));
    EXPECT_EQ(spiral.Loop().size(), spiral.Points.size());
}

// A serpentine of long rows, then one of long columns beside it: each box
// meets only its neighbours, but on either axis half of them overlap.
TEST(PolyLoop, TwoSerpentinesAreSearchedInNLogN) {
    const int n = 100000;
    TPoly chain;
    for (int k = 0; k < n / 4; ++k)
        for (int e : {0, 1}) chain.Points.push_back({float((k + e) % 2 * 300), float(k)});
    for (int k = 0; k < n / 4; ++k)
        for (int e : {0, 1}) chain.Points.push_back({float(310 + k), float(n / 4 + 10 + (k + e) % 2 * 300)});
    const auto t0 = std::chrono::steady_clock::now();
    TLoopWork work;
    ASSERT_TRUE(chain.KeepLoop(work));
    EXPECT_TRUE(chain.Loop().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(kSanitized ? 5 : 1));
    EXPECT_LT(work.Done, uint64_t(n) * 24);  // n (log2 n + 1) for the boxes, a few pairs each

    // Closed on its start, the loop is the whole chain; and a search held
    // below its work stops, keeping nothing.
    chain.Points.push_back(chain.Points[0]);
    TLoopWork tight{work.Done / 2, 0};
    EXPECT_FALSE(chain.KeepLoop(tight));
    EXPECT_EQ(chain.Loop(), LoopByEveryPair(chain.Points));
}

}  // namespace
}  // namespace quenlo
