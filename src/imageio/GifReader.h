#pragma once
// .gif decoding through giflib: the first frame on its logical screen.
#include <cstdint>
#include <memory>
#include <span>

#include "imageio/VlxIo.h"

namespace quenlo {

// The first frame, interlaced or not, placed on the logical screen (grown
// to hold the frame where it reaches past it). What the frame leaves
// uncovered and its transparent index are transparent: laid over
// options.background, or kept in an ARGB map with options.keepAlpha.
// An animation's further frames are counted (options.meta's pages) and
// onWarning told of them. Throws EInvalidGraphic ("GIF: <the library's
// reason>"), or EInvalidImageSize and EImageTooLarge before allocating.
std::unique_ptr<TPixelMap> DecodeGif(std::span<const uint8_t> file, const LoadOptions& options = {});

// The size of the screen the first frame is placed on, from the records
// before its pixels; 0 x 0 when they cannot be read.
struct GifCanvas {
    int width = 0, height = 0;
};
GifCanvas ReadGifCanvas(std::span<const uint8_t> head);

}  // namespace quenlo
