#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "imageio/PngFilter.h"

using namespace quenlo;

// The fast path gives the plain loop's filter type and bytes on rows made
// for each filter to win (noise, ramps across, copies of the row above,
// pure extremes), at widths that leave every tail length after the blocks.
TEST(PngFilter, FastPathEqualsThePlainLoop) {
    std::mt19937 rng(34);
    std::set<int> types;
    for (size_t bpp = 1; bpp <= 4; ++bpp)
        for (size_t n = 1; n <= 80; n += (n < 40 ? 1 : 13))
            for (int kind = 0; kind < 5; ++kind) {
                std::vector<uint8_t> above(bpp + n, 0), row(bpp + n, 0);
                for (size_t i = bpp; i < bpp + n; ++i) {
                    above[i] = static_cast<uint8_t>(rng());
                    const uint8_t noise = static_cast<uint8_t>(rng() % 5);
                    row[i] = static_cast<uint8_t>(kind == 0   ? rng() % 60
                                                  : kind == 1 ? row[i - bpp] + noise + 3
                                                  : kind == 2 ? above[i] + noise
                                                  : kind == 3 ? (row[i - bpp] + above[i]) / 2 + noise
                                                              : (rng() & 1) * 255);
                }
                std::vector<uint8_t> want(n + 1), got(n + 1);
                FilterPngRowReference(row.data() + bpp, above.data() + bpp, n, bpp, want.data());
                FilterPngRow(row.data() + bpp, above.data() + bpp, n, bpp, got.data());
                ASSERT_EQ(got, want) << "bpp " << bpp << " n " << n << " kind " << kind;
                types.insert(want[0]);
            }
    EXPECT_EQ(types.size(), 5u);
}
