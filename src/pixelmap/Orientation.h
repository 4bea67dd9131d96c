#pragma once
// Turning stored pixels upright by their EXIF/TIFF Orientation value.
#include <memory>

#include "pixelmap/pixelmap.h"

namespace quenlo {

// The map as a viewer shows it for orientation 1-8 (2: mirrored, 3: turned
// half round, 4: flipped, 5: transposed, 6: turned a quarter clockwise,
// 7: transversed, 8: a quarter anticlockwise). A new map of the same kind;
// 5 to 8 swap width and height. Other values give a plain copy.
std::unique_ptr<TPixelMap> TurnUpright(const TPixelMap& map, int orientation);

// Whether the orientation swaps width and height (5 to 8).
constexpr bool SwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

}  // namespace quenlo
