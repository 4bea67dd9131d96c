#pragma once
// Windows and OS/2 bitmap (.bmp) decoding into a 24-bit pixel map.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "imageio/PixelLimit.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

// The width and height a file's headers claim, from its first bytes,
// without checking the rest; nothing when the headers cannot be read.
struct BmpClaim {
    int64_t width = 0, height = 0;
};
std::optional<BmpClaim> ClaimedBmpSize(std::span<const uint8_t> head);

// Decodes a whole .bmp file held in memory into a new 24-bit map, top row first
// (bytes blue, green, red per pixel, rows packed). Throws EInvalidGraphic (low/Errors.h) for anything malformed,
// and EImageTooLarge, before anything is allocated, for a size above the limit.
std::unique_ptr<TPixelMapRGB> DecodeBmp(std::span<const uint8_t> file, const PixelLimit& limit = {});

// How many bytes of the file DecodeBmp can use, from its headers at the
// start of head (up to the palette): the rows an uncompressed picture holds,
// or what the largest RLE stream of its size takes. head.size() when the
// headers cannot be read, which DecodeBmp refuses from those bytes alone.
// Throws EImageTooLarge for a size above the limit, before more is read.
uint64_t BmpUsefulBytes(std::span<const uint8_t> head, const PixelLimit& limit = {});

}  // namespace quenlo
