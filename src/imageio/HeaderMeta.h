#pragma once
// What JPEG and BMP headers state besides the pixels, read from the bytes
// without decoding: resolution, ICC profile, EXIF orientation.
#include <cstdint>
#include <span>

#include "imageio/ImageMeta.h"

namespace quenlo {

// The markers before the first scan: JFIF density (a plain 1:1 aspect is
// no resolution), the ICC profile split over APP2 markers (dropped when a
// piece is missing), and the EXIF Orientation of APP1. Damaged or cut
// markers end the walk; what was read stays.
void ReadJpegMeta(std::span<const uint8_t> file, ImageMeta& meta);

// The info header's pixels per metre, when both are positive.
void ReadBmpMeta(std::span<const uint8_t> file, ImageMeta& meta);

}  // namespace quenlo
