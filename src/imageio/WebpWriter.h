#pragma once
// 8-bit RGB (or RGBA) .webp through libwebp, lossy or lossless. libwebp encodes a
// whole picture, so the rows are gathered first: the image is held.
#include <memory>

#include "imageio/ImageMeta.h"
#include "imageio/OutputFormat.h"

namespace quenlo {

// Uses options.quality and options.lossless with libwebp's other defaults,
// the settings cwebp starts from (-m 4, no sharp YUV), so a lossy file
// decodes to the pixels `cwebp -q Q` gives for the same picture; lossless
// keeps the colour under transparent pixels (`cwebp -lossless -exact`).
// meta: whether rows carry alpha, and what the file states besides its
// pixels: the ICC profile (ICCP chunk), orientation and resolution (EXIF);
// may be null.
// Throws EInvalidImageSize for a size WebP cannot hold (over 16383), and
// EInOutError when libwebp fails or writing out fails.
std::unique_ptr<TRowEncoder> OpenWebPEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                             const OutputOptions& options, const ImageMeta* meta = nullptr);

}  // namespace quenlo
