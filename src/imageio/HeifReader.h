#pragma once
// HEIC and AVIF decoding through libheif: the primary image.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "imageio/VlxIo.h"

namespace quenlo {

// The primary image's stored pixels, not turned by the file's rotation or
// mirroring, nor cropped; 10- and 12-bit samples keep their high 8 bits.
// Alpha is laid over options.background unless options.keepAlpha, which
// gives an ARGB map for a file with alpha. options.meta gets the ICC
// profile, the orientation (that of the rotation and mirroring boxes, else
// the EXIF one), and the number of top-level images,
// which onWarning is told of when above one.
// Throws EInvalidGraphic ("HEIF: <the library's reason>"), or
// EInvalidImageSize and EImageTooLarge before decoding.
std::unique_ptr<TPixelMap> DecodeHeif(std::span<const uint8_t> file, const LoadOptions& options = {});

// What decoding a file will take, from its boxes alone: the primary
// image's size, and the bytes libheif and the map hold at the peak.
struct HeifFrame {
    int width = 0, height = 0;
    uint64_t decodeBytes = 0;
};
// Reads only the boxes. Throws EInOutError for a file that cannot be read,
// EInvalidGraphic for one libheif refuses.
HeifFrame ReadHeifFrame(const std::string& fileName);

}  // namespace quenlo
