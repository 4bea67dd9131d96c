#pragma once
// .webp decoding through libwebp: lossy, lossless, with alpha; an
// animation's first frame.
#include <cstdint>
#include <memory>
#include <span>

#include "imageio/VlxIo.h"

namespace quenlo {

// The picture, or an animation's first frame as it is shown (composed on
// its canvas); options.meta gets its ICCP profile and its EXIF orientation
// and resolution. Alpha is laid over options.background, or kept in an ARGB
// map with options.keepAlpha. An animation's further frames are counted
// (options.meta's pages) and onWarning told of them. The size is checked
// from the header before anything is allocated (EInvalidImageSize,
// EImageTooLarge). Throws EInvalidGraphic ("WebP: ...") for a file libwebp
// refuses.
std::unique_ptr<TPixelMap> DecodeWebP(std::span<const uint8_t> file, const LoadOptions& options = {});

// The size the header claims and whether it is animated; 0 x 0 when the
// header cannot be read.
struct WebPFrame {
    int width = 0, height = 0;
    bool animated = false;
};
WebPFrame ReadWebPFrame(std::span<const uint8_t> head);

}  // namespace quenlo
