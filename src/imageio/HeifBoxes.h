#pragma once
// The canvas sizes of a HEIF file's derived images (grids and overlays),
// read from the item data. libheif allocates a derived image's canvas at
// the size its item data states, which need not be the size its boxes
// declare, before decoding any tile.
#include <cstdint>
#include <span>
#include <vector>

#include "imageio/HeifBitstream.h"

namespace quenlo {

// Every 'grid' and 'iovl' item's output size, in item order. Throws
// EInvalidGraphic when such an item exists but its size cannot be read,
// or when the boxes that locate items are cut short.
std::vector<CodedSize> DerivedCanvasSizes(std::span<const uint8_t> file);

}  // namespace quenlo

namespace quenlo {

// The primary image's rotation ('irot') and mirroring ('imir') boxes, in
// the order they apply, as the one EXIF orientation (2 to 8) that does the
// same; 1 when they cancel out, 0 when there are none. Mirroring follows
// libheif 1.15, which heif-convert shows: axis 1 swaps left and right,
// axis 0 top and bottom. Throws EInvalidGraphic when the boxes that
// associate properties with items are cut short.
int PrimaryOrientation(std::span<const uint8_t> file);

}  // namespace quenlo
