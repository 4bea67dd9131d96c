// Scenes the fuzzers broke, kept as they were found.
#include <gtest/gtest.h>

#include <climits>

#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"

namespace quenlo {
namespace {

// A polygon node at x 2147483647 rendered into a map 8 pixels to its left:
// the map's right edge overflowed, the wrapped bounds moved the node's
// block off the map and nothing was drawn.
TEST(VeloraFuzz, RendersANodeAtTheFarEndOfThePlaneWhereItIs) {
    auto root = MakeVelora<TVelora>();
    root->RunStatements("size(1,1);col(0,0,255);opq(1)");
    TVelora* far = root->NewChildOf<TVelora>("size(3,1);pos(2147483645,0);col(255,0,0)");

    TPixelMapRGB map;
    map.SetSize(40, 1);
    map.Left = INT32_MAX - 7;
    map.SetPen(0);
    map.Clear();
    root->RenderInto(map);

    for (int32_t x = 0; x < 40; ++x) {
        const uint8_t* p = map.PixelAddr(x, 0);
        const bool inFar = x >= 5 && x <= 7;  // scene x 2147483645 .. 2147483647
        EXPECT_EQ(p[2], inFar ? 255 : 0) << "x " << x;
        EXPECT_EQ(p[0], 0) << "x " << x;
    }
    far->Destroy();
}

}  // namespace
}  // namespace quenlo
