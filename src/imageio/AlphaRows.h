#pragma once
// Where a reader puts decoded rows: an ARGB map keeps straight alpha
// (B, G, R, A), an RGB map gets each pixel laid over the background.
#include <cstdint>
#include <memory>

#include "pixelmap/pixelmap.h"

namespace quenlo {

// An ARGB map when the file has alpha and the caller keeps it, else an RGB
// map; its size set (EInvalidImageSize as SetSize).
std::unique_ptr<TPixelMap> NewDecodedMap(int32_t width, int32_t height, bool fileHasAlpha, bool keepAlpha);

// Row y of the map from width pixels of R, G, B, A (straight alpha).
void PutRgbaRow(TPixelMap& map, int32_t y, const uint8_t* rgba, TColor background);

// Row y of the map from width pixels of R, G, B (opaque).
void PutRgbRow(TPixelMap& map, int32_t y, const uint8_t* rgb);

}  // namespace quenlo
