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
