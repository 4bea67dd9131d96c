#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pixelmap/Blend.h"

using namespace quenlo;

TEST(Blend, Div255IsExactOverItsRange) {
    for (uint32_t x = 0; x <= 65279; ++x) ASSERT_EQ(Div255(x), x / 255) << x;
}

TEST(Blend, RowsMatchTheFormulaForEveryByteAndWeight) {
    // Every (dst, src) pair at every weight.
    std::vector<uint8_t> d(65536), s(65536);
    for (uint32_t a = 0; a < 256; ++a) {
        for (uint32_t i = 0; i < 65536; ++i) {
            d[i] = static_cast<uint8_t>(i);
            s[i] = static_cast<uint8_t>(i >> 8);
        }
        BlendRowRounded(d.data(), s.data(), d.size(), a);
        for (uint32_t i = 0; i < 65536; ++i) {
            const uint32_t want = ((255 - a) * (i & 255) + a * (i >> 8) + 128) / 255;
            ASSERT_EQ(d[i], want) << "a=" << a << " i=" << i;
        }
    }
}

// Rows of any length, ends included, and blocks of one colour: the same
// formulas on exactly their bytes.
TEST(Blend, ShortRowsAndColourBlocksTouchExactlyTheirBytes) {
    auto want = [](uint32_t d, uint32_t s, uint32_t a) { return uint8_t(((255 - a) * d + a * s + 128) / 255); };
    auto before = [](size_t i) { return uint8_t(i * 37 + 11); };
    for (uint32_t a : {1u, 128u, 254u}) {
        for (size_t n = 1; n <= 49; ++n) {
            std::vector<uint8_t> d(n + 8), s(n + 8);
            for (size_t i = 0; i < d.size(); ++i) d[i] = before(i), s[i] = uint8_t(i * 101 + 3);
            std::vector<uint8_t> m = d;
            BlendRowRounded(d.data(), s.data(), n, a);
            const uint32_t w = a * 257 - 1;  // the pen mix's weights run to 65535
            MixRow(m.data(), s.data(), n, w);
            for (size_t i = 0; i < d.size(); ++i) {
                ASSERT_EQ(d[i], i < n ? want(before(i), s[i], a) : before(i)) << a << " " << n << " " << i;
                ASSERT_EQ(m[i], i < n ? (before(i) * (65535 - w) + s[i] * w) / 65535 : before(i)) << w << " " << n;
            }
        }
        // 7 x 3 pixels of a 9-pixel-wide map, then the same packed.
        const uint8_t bgr[3] = {200, 7, 90};
        for (const size_t stride : {27u, 21u}) {
            std::vector<uint8_t> d(stride * 3 + 3);
            for (size_t i = 0; i < d.size(); ++i) d[i] = before(i);
            BlendColorRows(d.data(), stride, 7, 3, bgr, a);
            for (size_t i = 0; i < d.size(); ++i) {
                const bool in = i < stride * 3 && i % stride < 21;
                ASSERT_EQ(d[i], in ? want(before(i), bgr[i % stride % 3], a) : before(i)) << stride << " " << i;
            }
            std::vector<uint8_t> f(stride * 3 + 3, 1);
            FillColorRows(f.data(), stride, 7, 3, bgr);
            for (size_t i = 0; i < f.size(); ++i)
                ASSERT_EQ(f[i], i < stride * 3 && i % stride < 21 ? bgr[i % stride % 3] : 1) << stride << " " << i;
        }
    }
}

TEST(Blend, PenMixIsExactOverItsRange) {
    // Every value the pen blend can form, 255 * 65535 at most.
    for (uint32_t x = 0; x <= 255u * 65535u; ++x) ASSERT_EQ(Div65535(x), x / 65535) << x;
    std::vector<uint8_t> d(65536), s(65536);
    for (uint32_t w : {0u, 1u, 255u, 32767u, 32768u, 65000u, 65534u, 65535u}) {
        for (uint32_t i = 0; i < 65536; ++i) d[i] = uint8_t(i), s[i] = uint8_t(i >> 8);
        MixRow(d.data(), s.data(), d.size(), w);
        for (uint32_t i = 0; i < 65536; ++i)
            ASSERT_EQ(d[i], ((i & 255) * (65535 - w) + (i >> 8) * w) / 65535) << w << " " << i;
    }
}

TEST(Blend, CompositeOverRoundsToNearest) {
    const uint8_t white[3] = {255, 255, 255}, bg[3] = {10, 200, 77};
    for (uint32_t a = 0; a < 256; ++a)
        for (uint32_t c = 0; c < 256; c += 5) {
            const uint8_t src[4] = {uint8_t(c), uint8_t(255 - c), uint8_t(c / 2), uint8_t(a)};
            uint8_t out[3];
            for (const uint8_t* b : {white, bg}) {
                CompositeRowOver(out, src, 1, b);
                for (int k = 0; k < 3; ++k) {
                    const double exact = (src[k] * a + b[k] * (255.0 - a)) / 255.0;
                    ASSERT_LE(std::abs(out[k] - exact), 0.5) << a << " " << c;
                }
            }
        }
}
