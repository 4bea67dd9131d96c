#pragma once
// .png decoding through libspng, into a 24-bit map or row by row.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "imageio/ImageMeta.h"
#include "imageio/PixelLimit.h"
#include "imageio/VlxIo.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

// Every colour type and bit depth, interlaced or not: 16-bit samples keep
// their high byte, palettes and low depths expand to 8-bit RGB, alpha and
// transparency are dropped (DecodePngImage keeps them), and gamma and
// colour chunks are ignored.
// Throws EInvalidGraphic ("PNG: <the library's reason>") for a damaged
// file, EInvalidImageSize or EImageTooLarge before allocating.
std::unique_ptr<TPixelMapRGB> DecodePng(std::span<const uint8_t> file, const PixelLimit& limit = {});

// What the header says, from the file's first 33 bytes or more.
struct PngFrame {
    int64_t width = 0, height = 0;
    bool interlaced = false;
    // Decoding row by row besides the file: the library's rows and state.
    uint64_t workingBytes = 0;
};
// Throws EInvalidGraphic for a file that is no PNG.
PngFrame ReadPngFrame(std::span<const uint8_t> head);

struct PngRows {
    std::function<void(int32_t width, int32_t height)> start;  // once, before the first row
    std::function<void(int32_t y, const uint8_t* bgr)> row;    // top first, 3 bytes a pixel
};
// The pixels as DecodePng gives them, handed over as each row is decoded,
// so memory stays a few rows; an interlaced file is decoded whole first.
// Throws as DecodePng does, and whatever the sink throws.
void DecodePngRows(std::span<const uint8_t> file, const PixelLimit& limit, const PngRows& sink);

// What the chunks before the image data state: alpha (colour types with
// alpha, or tRNS), the sample depth, pHYs and the iCCP profile. What
// cannot be read is left as it is.
void ReadPngMeta(std::span<const uint8_t> file, ImageMeta& meta);

// The picture as DecodePng gives it, but with alpha and tRNS transparency
// laid over options.background, or kept in an ARGB map with
// options.keepAlpha; options.meta gets what ReadPngMeta reads.
std::unique_ptr<TPixelMap> DecodePngImage(std::span<const uint8_t> file, const LoadOptions& options);

}  // namespace quenlo
