// Files the fuzzers found, reduced to what broke the readers.
#include <gtest/gtest.h>

#include <chrono>

#include "TestUtil.h"
#include "imageio/StpRgb.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"

namespace quenlo {
namespace {

// Width only: the missing height reads as 0, so the raster holds no bytes,
// but its row stride overflowed 32 bits. Refused like any other size the
// map cannot hold.
TEST(StpRgbFuzz, RefusesAWidthTooWideForARowEvenWithoutRows) {
    test::TempDir dir;
    test::WriteText(dir / "wide.ipr", "1111111115");
    test::WriteText(dir / "wide.rgb", "");
    TStpRgb pair;
    EXPECT_THROW(pair.Load(dir / "wide.ipr"), EInvalidImageSize);
    EXPECT_THROW(LoadImageFile(PixelKind::RGB, dir / "wide.rgb"), EInvalidImageSize);

    // The widest row that still fits loads as an empty raster.
    test::WriteText(dir / "edge.ipr", "715827882 0");
    test::WriteText(dir / "edge.rgb", "");
    TStpRgb edge;
    edge.Load(dir / "edge.ipr");
    ASSERT_NE(edge.Bitmap, nullptr);
    EXPECT_EQ(edge.Bitmap->Width(), 715827882);
    EXPECT_EQ(edge.Bitmap->DataSize(), 0);
}

// "0 2147483647": a raster of no columns but two billion rows, which the
// conversion to another kind walked row by row.
TEST(StpRgbFuzz, ConvertsARasterWithoutColumnsAtOnce) {
    test::TempDir dir;
    test::WriteText(dir / "tall.ipr", "0 2147483647");
    test::WriteText(dir / "tall.rgb", "");
    const auto start = std::chrono::steady_clock::now();
    for (PixelKind kind : {PixelKind::Gray, PixelKind::WGray, PixelKind::ARGB}) {
        const auto map = LoadImageFile(kind, dir / "tall.ipr");
        ASSERT_NE(map, nullptr);
        EXPECT_EQ(map->Kind(), kind);
        EXPECT_EQ(map->Width(), 0);
        EXPECT_EQ(map->Height(), 2147483647);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // was minutes
}

}  // namespace
}  // namespace quenlo
