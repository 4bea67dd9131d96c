// Anti-aliased dots, lines and spots: the weights they ask for, and seeded
// random runs on every kind against the plain loops, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "low/Low.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

struct Blend {
    int x, y;
    uint32_t w;
    friend bool operator==(const Blend&, const Blend&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Blend& b) {
        return os << "(" << b.x << "," << b.y << " w" << b.w << ")";
    }
};
using Blends = std::vector<Blend>;

// A 16-bit gray map that logs the BlendPixel calls it receives.
struct LogMap : TPixelMapWGray {
    Blends log;
    LogMap(int w, int h) { SetSize(w, h); }
    void BlendPixel(int32_t x, int32_t y, uint32_t w) override { log.push_back({x, y, w}); }
    long WeightAt(int x, int y) const {  // -1: no call there
        for (const auto& b : log)
            if (b.x == x && b.y == y) return b.w;
        return -1;
    }
};

TEST(PlotSpotAA, Weights) {
    LogMap m(8, 8);
    m.PlotSpotAA(2.0f, 3.0f, 7.0f);  // alpha above 1 counts as 1
    EXPECT_EQ(m.log, (Blends{{2, 3, 65535}, {3, 3, 0}, {2, 4, 0}, {3, 4, 0}}));
    m.log.clear();
    m.PlotSpotAA(2.5f, 3.5f, 1.0f);
    EXPECT_EQ(m.log, (Blends{{2, 3, 16383}, {3, 3, 16383}, {2, 4, 16383}, {3, 4, 16383}}));
    m.log.clear();
    m.PlotSpotAA(1.25f, 1.0f, 0.5f);  // a = 32768 (32767.5 to even), fx = 32
    EXPECT_EQ(m.log, (Blends{{1, 1, 24576}, {2, 1, 8192}, {1, 2, 0}, {2, 2, 0}}));
    m.log.clear();
    for (float bad : {0.0f, -1.0f, kNaN}) m.PlotSpotAA(2, 3, bad);
    for (float bad : {kNaN, kInf, -kInf, 1e30f, -1e30f}) m.PlotSpotAA(bad, 3, 1), m.PlotSpotAA(3, bad, 1);
    EXPECT_TRUE(m.log.empty());
}

TEST(DrawLineAA, DotCount) {
    LogMap m(12, 6);
    m.DrawLineAA(false, 2, 2, 6, 2, 1);  // n = 11: 12 dots, the last on (6, 2)
    ASSERT_EQ(m.log.size(), 4u * 12);
    EXPECT_EQ(m.log.front(), (Blend{2, 2, 65535}));
    const Blends last(m.log.end() - 4, m.log.end());  // on 6.0 or just short of it: full weight either way
    EXPECT_NE(std::find(last.begin(), last.end(), Blend{6, 2, 65535}), last.end());
    m.log.clear();
    m.DrawLineAA(true, 2, 2, 6, 2, 1);
    EXPECT_EQ(m.log.size(), 4u * 11);
}

TEST(DrawLineAA, HugeAndNonFiniteInputs) {
    LogMap m(16, 16);
    for (float bad : {kNaN, kInf, -kInf}) m.DrawLineAA(false, bad, 1, 5, 5, 1), m.DrawLineAA(false, 1, 1, 5, bad, 1);
    m.DrawLineAA(false, 1, 1, 5, 5, kNaN);
    m.DrawLineAA(false, -3e38f, -3e38f, -3e38f, 3e38f, 1);  // far to the left
    m.DrawLineAA(false, 1e9f, 5, 2e9f, 5, 1);               // far to the right
    EXPECT_TRUE(m.log.empty());
    // Lines across the map from far away are drawn where they cross it.
    m.DrawLineAA(false, -3e38f, 5, 3e38f, 5, 1);
    m.DrawLineAA(false, 1e7f, 5, -1e7f, 5, 1);
    for (int x = 0; x < 16; ++x) EXPECT_GT(m.WeightAt(x, 5), 0) << x;
    for (const auto& b : m.log) EXPECT_TRUE(b.y == 5 || b.w == 0) << b;
}

TEST(DrawSpot, WeightsAtChosenDistances) {
    struct Case { int kind; float r, s, alpha; int dx, dy; long w; } cases[] = {
        {1, 3, 1, 1, 0, 0, 65535}, {1, 3, 1, 1, 2, 0, 65535}, {1, 3, 1, 1, 2, 1, 50064},  // d = 2.236
        {1, 3, 1, 1, 2, 2, 11244}, {1, 3, 1, 1, 3, 0, -1},                                // d = 2.83, 3
        {2, 5, 3, 1, 1, 0, 65535}, {2, 5, 3, 1, 2, 0, 39749}, {2, 5, 3, 1, 4, 0, 728},    // e^-0.5, e^-4.5
        {2, 5, 3, 1, 5, 0, -1}, {2, 5, 3, 0.5f, 2, 0, 19874},                             // e^-8 < 0.002
        {0, 4, 1, 1, 0, 0, -1}, {0, 4, 1, 1, 1, 0, 0}, {0, 4, 1, 1, 2, 0, 65535},         // v = 2, u = 1
        {0, 4, 1, 1, 4, 0, 65535}, {0, 4, 1, 1, 4, 1, 57467}, {0, 4, 1, 1, 4, 4, -1},     // d = 4.12, 5.66
        {1, 3, 0, 1, 0, 0, -1}, {3, 3, 1, 1, 0, 0, -1}};                                  // soft 0, kind 3
    for (const auto& c : cases) {
        LogMap m(31, 31);
        m.DrawSpot(c.kind, 15, 15, c.r, c.s, c.alpha);
        EXPECT_EQ(m.WeightAt(15 + c.dx, 15 + c.dy), c.w) << "kind " << c.kind << " at " << c.dx << "," << c.dy;
    }
}

TEST(DrawSpot, BoxIsWalkedColumnByColumnAndCutAtTheMap) {
    LogMap m(10, 10);
    m.DrawSpot(2, 1, 1, 3, 100, 1);  // soft enough to reach every pixel of the box
    ASSERT_EQ(m.log.size(), 25u);    // columns and rows 0 .. ceil(1 + 3)
    for (size_t i = 0; i < m.log.size(); ++i) EXPECT_EQ(m.log[i], (Blend{int(i / 5), int(i % 5), m.log[i].w}));
    m.log.clear();
    for (float bad : {kNaN, kInf, -kInf}) m.DrawSpot(1, bad, 5, 3, 1, 1), m.DrawSpot(1, 5, bad, 3, 1, 1);
    m.DrawSpot(1, 5, 5, kNaN, 1, 1);
    m.DrawSpot(1, 5, 5, 3, kNaN, 1);
    EXPECT_TRUE(m.log.empty());
    m.DrawSpot(1, 5, 5, kInf, 1, 1);
    EXPECT_EQ(m.log.size(), 100u);
}

// --- against the plain loops ----------------------------------------------

void RefDot(TPixelMap& m, float x, float y, float alpha) {
    if (alpha <= 0) return;
    const uint32_t a = static_cast<uint32_t>(std::nearbyint(std::min(alpha, 1.0f) * 65535.0f));
    const float x0 = std::floor(x), y0 = std::floor(y);
    const uint32_t fx = std::nearbyint((x - x0) * 128.0f), fy = std::nearbyint((y - y0) * 128.0f);
    const int px = static_cast<int>(x0), py = static_cast<int>(y0);
    m.BlendPixel(px, py, ((128 - fx) * (128 - fy) * a) >> 14);
    m.BlendPixel(px + 1, py, (fx * (128 - fy) * a) >> 14);
    m.BlendPixel(px, py + 1, ((128 - fx) * fy * a) >> 14);
    m.BlendPixel(px + 1, py + 1, (fx * fy * a) >> 14);
}

void RefLine(TPixelMap& m, bool skipFirst, float x1, float y1, float x2, float y2, float alpha) {
    const float dx = x2 - x1, dy = y2 - y1;
    const int n = static_cast<int>(std::trunc(2.5f * std::sqrt(dx * dx + dy * dy))) + 1;
    const float sx = dx / static_cast<float>(n), sy = dy / static_cast<float>(n);
    float x = skipFirst ? x1 + sx : x1, y = skipFirst ? y1 + sy : y1;
    for (int k = skipFirst; k <= n; ++k, x += sx, y += sy) RefDot(m, x, y, alpha);
}

void RefSpot(TPixelMap& m, int kind, float x, float y, float r, float s, float a) {
    const float v = std::max(r - s - 1, 0.0f), u = std::max(r - s - 2, 0.0f), sigma = s / 3;
    for (int px = std::max<int>(std::floor(x - r), 0); px <= std::min<int>(std::ceil(x + r), m.MaxX()); ++px)
        for (int py = std::max<int>(std::floor(y - r), 0); py <= std::min<int>(std::ceil(y + r), m.MaxY()); ++py) {
            const float d = PointDistance(x, y, static_cast<float>(px), static_cast<float>(py));
            const float f = std::min((r - d) * (1 / s), 1.0f), g = std::exp(-((d - v) * (d - v) / (sigma * sigma)) / 2);
            if (kind == 0 && u <= d && d <= r + 1) m.BlendPixelF(px, py, d > r ? a * (1 - (d - r)) : d >= v ? a : a * (1 - (v - d)));
            if (kind == 1 && f > 0) m.BlendPixelF(px, py, a * f);
            if (kind == 2 && (d <= v || g > 0.002)) m.BlendPixelF(px, py, d <= v ? a : a * g);
        }
}

class DrawKinds : public ::testing::TestWithParam<PixelKind> {
protected:
    std::mt19937 rng{77u + static_cast<unsigned>(GetParam())};
    float Num(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }
    // Two equal maps of random content, pen and (ARGB) pen mode.
    std::pair<std::unique_ptr<TPixelMap>, std::unique_ptr<TPixelMap>> Twins() {
        const int w = 1 + rng() % 24, h = 1 + rng() % 24;
        const uint32_t pen = rng(), seed = rng();
        const uint8_t mode = rng() % 3;
        auto make = [&] {
            auto m = CreatePixelMap(GetParam());
            m->SetSize(w, h);
            std::mt19937 fill(seed);
            for (int i = 0; i < m->DataSize(); ++i) m->Data()[i] = static_cast<uint8_t>(fill());
            m->SetPenColor(pen);
            if (auto* argb = dynamic_cast<TPixelMapARGB*>(m.get())) argb->PenMode = mode;
            return m;
        };
        return {make(), make()};
    }
    static std::vector<uint8_t> Bytes(const TPixelMap& m) { return {m.Data(), m.Data() + m.DataSize()}; }
};

// Lines that start, end or pass outside the map skip dots and stop early;
// the pixels must still come out as from the plain loop.
TEST_P(DrawKinds, RandomLinesAndDotsMatchThePlainLoop) {
    for (int round = 0; round < 400; ++round) {
        auto [got, want] = Twins();
        const float x1 = Num(-40, 64), y1 = Num(-40, 64), y2 = Num(-40, 64), alpha = Num(-0.2f, 1.3f);
        const float x2 = round % 4 ? Num(-40, 64) : std::round(Num(-40, 64));  // exact pixel positions too
        got->DrawLineAA(round % 2, x1, y1, x2, y2, alpha);
        RefLine(*want, round % 2, x1, y1, x2, y2, alpha);
        got->PlotSpotAA(y1, x1, alpha);
        RefDot(*want, y1, x1, alpha);
        ASSERT_EQ(Bytes(*got), Bytes(*want)) << "round " << round;
    }
}

TEST_P(DrawKinds, RandomSpotsMatchThePlainLoop) {
    for (int round = 0; round < 300; ++round) {
        auto [got, want] = Twins();
        const float x = Num(-8, 28), y = Num(-8, 28), r = Num(0, 10), s = Num(0.05f, 6), a = Num(0, 1);
        got->DrawSpot(round % 3, x, y, r, s, a);
        RefSpot(*want, round % 3, x, y, r, s, a);
        ASSERT_EQ(Bytes(*got), Bytes(*want)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, DrawKinds,
                         ::testing::Values(PixelKind::RGB, PixelKind::Gray, PixelKind::WGray, PixelKind::ARGB));

}  // namespace
}  // namespace quenlo
