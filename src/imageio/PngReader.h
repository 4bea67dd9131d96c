#pragma once
// .png decoding through libspng, into a 24-bit map.
#include <memory>
#include <span>

#include "imageio/PixelLimit.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

// Every colour type and bit depth, interlaced or not: 16-bit samples keep
// their high byte, palettes and low depths expand to 8-bit RGB, alpha and
// transparency are dropped, and gamma and colour chunks are ignored.
// Throws EInvalidGraphic ("PNG: <the library's reason>") for a damaged
// file, EInvalidImageSize or EImageTooLarge before allocating.
std::unique_ptr<TPixelMapRGB> DecodePng(std::span<const uint8_t> file, const PixelLimit& limit = {});

}  // namespace quenlo
