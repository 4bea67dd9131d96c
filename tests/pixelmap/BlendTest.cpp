#include <gtest/gtest.h>

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
