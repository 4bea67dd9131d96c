#pragma once
// 8-bit RGB or RGBA .tif through libtiff, in strips, encoded as the rows arrive.
#include <memory>

#include "imageio/OutputFormat.h"

namespace quenlo {

// Throws EInvalidImageSize for an empty size. The target must be able to
// seek back: the directory's place is written into the header at the end.
// meta.alpha: the rows carry alpha, written as a fourth, unassociated
// sample. meta's resolution, ICC profile and orientation are stated.
std::unique_ptr<TRowEncoder> OpenTiffEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                             TiffCompression compression, const ImageMeta& meta = {});

}  // namespace quenlo
