#pragma once
// 8-bit RGB .jpg through libjpeg, with optimised Huffman tables, byte for
// byte what `cjpeg -quality Q -sample HxV [-progressive] -optimize` writes
// for the same pixels.
#include <memory>

#include "imageio/ImageMeta.h"
#include "imageio/OutputFormat.h"

namespace quenlo {

// Up to this many bytes of DCT coefficients (128 a block) the library
// holds the image and optimises the tables itself; above it the rows are
// asked for twice (Passes() == 2), the first time only to count the
// symbols, so memory stays a few bands of rows. Progressive files always
// hold their coefficients, as every scan goes over all of them.
constexpr size_t kJpegHoldBytes = 4u << 20;

// Uses options.quality (clamped to 1-100), jpegSubsampling and progressive.
// meta: what the file carries besides its pixels, where JPEG holds it; may
// be null. Throws EInvalidImageSize for a size JPEG cannot hold (over
// 65500), EJpegError when libjpeg refuses, and what writing out throws.
std::unique_ptr<TRowEncoder> OpenJpegEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                             const OutputOptions& options, const ImageMeta* meta = nullptr,
                                             size_t holdBytes = kJpegHoldBytes);

}  // namespace quenlo
