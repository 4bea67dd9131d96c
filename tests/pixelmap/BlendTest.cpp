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
