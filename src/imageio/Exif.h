#pragma once
// The little of EXIF the converter uses: the picture's orientation and
// resolution, read and written.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "imageio/ImageMeta.h"

namespace quenlo {

// What the first IFD of a TIFF-structured EXIF block states, the block
// starting with "II*\0" or "MM\0*" (a JPEG's APP1 after its "Exif\0\0", a
// HEIF Exif item after its 4-byte offset, a WebP EXIF chunk). JPEG's
// "Exif\0\0" before it, which some WebP writers keep, is passed over.
struct ExifFacts {
    int orientation = 1;  // 1 also when damaged, absent or outside 1-8
    // XResolution and YResolution with ResolutionUnit (inch when absent);
    // unset unless both are positive.
    std::optional<Resolution> resolution;
};
ExifFacts ReadExif(std::span<const uint8_t> tiff);

inline int ExifOrientation(std::span<const uint8_t> tiff) { return ReadExif(tiff).orientation; }

// A big-endian TIFF-structured EXIF block stating the orientation (when not
// 1) and the resolution (when set); empty when there is neither.
std::vector<uint8_t> MakeExif(int orientation, const std::optional<Resolution>& resolution);

}  // namespace quenlo
