#pragma once
// The little of EXIF the converter uses: the picture's orientation.
#include <cstdint>
#include <span>

namespace quenlo {

// The Orientation tag (274) of the first IFD of a TIFF-structured EXIF
// block, which starts with "II*\0" or "MM\0*" (a JPEG's APP1 after its
// "Exif\0\0", a HEIF Exif item after its 4-byte offset). 1 when the block is
// damaged, has no such tag, or states a value outside 1-8.
int ExifOrientation(std::span<const uint8_t> tiff);

}  // namespace quenlo
