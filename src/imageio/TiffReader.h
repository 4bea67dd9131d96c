#pragma once
// .tif decoding through libtiff, into a 24-bit map: the first page only.
#include <functional>
#include <memory>
#include <string>

#include "imageio/PixelLimit.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

struct TiffOptions {
    // Told when the file holds more pages than the one read.
    std::function<void(const std::string&)> onWarning;
    PixelLimit limit;
};

// Strips or tiles; RGB, greyscale, palette, CMYK and the rest libtiff
// converts, 8 or 16 bits (the high byte kept), with any compression libtiff
// decodes; alpha is dropped. Reads the file as it goes, never whole.
// Throws EInOutError for a file that cannot be read, EInvalidGraphic
// ("TIFF: <the library's reason>") for a damaged or unsupported one,
// EInvalidImageSize or EImageTooLarge before allocating.
std::unique_ptr<TPixelMapRGB> DecodeTiffFile(const std::string& fileName, const TiffOptions& options = {});

}  // namespace quenlo
