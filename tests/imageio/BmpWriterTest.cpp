#include <gtest/gtest.h>

#include "TestUtil.h"
#include "imageio/BmpWriter.h"

using namespace quenlo;

namespace {
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
}  // namespace

TEST(BmpWriter, OnePixelFileIsExact) {
    TPixelMapRGB m;
    m.SetSize(1, 1);
    m.Data()[0] = 1;
    m.Data()[1] = 2;
    m.Data()[2] = 3;
    const std::vector<uint8_t> want = {
        'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
        40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // resolutions and colour counts
        1, 2, 3, 0};
    EXPECT_EQ(EncodeBmp(m), want);
}

TEST(BmpWriter, OddWidthsArePaddedBottomUpInBlueGreenRed) {
    for (int w : {1, 2, 3, 5, 7, 9}) {
        SCOPED_TRACE(w);
        const int h = 3;
        TPixelMapRGB m;
        m.SetSize(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = m.PixelAddr(x, y);
                test::TestPixel(x, y, p[2], p[1], p[0]);
            }
        const std::vector<uint8_t> f = EncodeBmp(m);
        const uint32_t stride = (3 * w + 3) / 4 * 4;
        ASSERT_EQ(f.size(), 54 + stride * h);
        EXPECT_EQ(Get32(f, 2), f.size());
        EXPECT_EQ(Get32(f, 18), static_cast<uint32_t>(w));
        EXPECT_EQ(Get32(f, 22), static_cast<uint32_t>(h));
        EXPECT_EQ(Get32(f, 34), stride * h);
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = f.data() + 54 + (h - 1 - y) * stride;  // file row 0 is the image's bottom
            for (int x = 0; x < w; ++x) {
                uint8_t r, g, b;
                test::TestPixel(x, y, r, g, b);
                EXPECT_EQ(row[3 * x], b);
                EXPECT_EQ(row[3 * x + 1], g);
                EXPECT_EQ(row[3 * x + 2], r);
            }
            for (uint32_t k = 3 * w; k < stride; ++k) EXPECT_EQ(row[k], 0);
        }
    }
}

TEST(BmpWriter, LargeImagesArriveInBoundedPieces) {
    TPixelMapRGB m;
    m.SetSize(1001, 700);  // about 2 MiB
    std::fill(m.Data(), m.Data() + m.DataSize(), 0x5A);
    size_t total = 0, largest = 0, calls = 0;
    WriteBmp(m, [&](const uint8_t*, size_t n) {
        total += n;
        largest = std::max(largest, n);
        ++calls;
    });
    EXPECT_EQ(total, 54 + BmpRowSize(1001) * 700u);
    EXPECT_LE(largest, (1u << 20) + BmpRowSize(1001));
    EXPECT_GT(calls, 2u);
}
