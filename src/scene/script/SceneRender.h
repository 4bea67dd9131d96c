#pragma once
// A scene's whole area rendered into a fresh 24-bit map, and where two
// renders part.
#include <memory>

#include "low/Types.h"
#include "pixelmap/Color.h"
#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"

namespace quenlo {

// The root's whole area over background. Throws EQuenlo for a 0 x 0 root.
std::unique_ptr<TPixelMapRGB> RenderScene(TVelora& root, TColor background);

// The first pixel where a and b differ, scanning rows from the top; false
// when they are equal. Maps of different sizes differ at (0, 0).
bool FirstDifference(const TPixelMapRGB& a, const TPixelMapRGB& b, TPoint& at);

}  // namespace quenlo
