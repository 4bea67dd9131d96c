#pragma once
// 8-bit RGB or RGBA .png, encoded row by row as the rows arrive, deflated by zlib on
// all cores.
#include <memory>

#include "imageio/OutputFormat.h"

namespace quenlo {

// level: zlib's 0-9. meta.alpha: the rows carry alpha, written as RGBA;
// its resolution goes in pHYs, its ICC profile in iCCP. Throws
// EInvalidImageSize for an empty size.
std::unique_ptr<TRowEncoder> OpenPngEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                            int level, const ImageMeta& meta = {});

}  // namespace quenlo
