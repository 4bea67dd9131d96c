#pragma once
// Windows and OS/2 bitmap (.bmp) decoding into a 24-bit pixel map.
#include <cstdint>
#include <memory>
#include <span>

#include "pixelmap/pixelmap.h"

namespace quenlo {

// Decodes a whole .bmp file held in memory into a new 24-bit map, top row first
// (bytes blue, green, red per pixel, rows packed). Throws EInvalidGraphic (low/Errors.h) for anything malformed.
std::unique_ptr<TPixelMapRGB> DecodeBmp(std::span<const uint8_t> file);

}  // namespace quenlo
