#pragma once
// What a HEIF file's boxes say that libheif 1.15 does not tell: the canvas
// sizes of its derived images (grids and overlays), read from their item
// data, since libheif allocates a canvas at that size, which need not be
// the size the boxes declare, before decoding any tile; and the primary
// image's rotation and mirroring.
#include <cstdint>
#include <span>
#include <vector>

#include "imageio/HeifBitstream.h"

namespace quenlo {

struct HeifBoxes {
    // Every 'grid' and 'iovl' item's output size, in item order.
    std::vector<CodedSize> canvases;
    // The primary image's 'irot' and 'imir' boxes, in the order they
    // apply, as the one EXIF orientation (2 to 8) that does the same; 1
    // when they cancel out, 0 when there are none. Mirroring follows
    // libheif 1.15, which heif-convert shows: axis 1 swaps left and right,
    // axis 0 top and bottom.
    int orientation = 0;
};

// One walk over the boxes. Throws EInvalidGraphic when a derived image's
// size cannot be read, or when the boxes that locate items or associate
// properties with them are cut short.
HeifBoxes ReadHeifBoxes(std::span<const uint8_t> file);

}  // namespace quenlo
