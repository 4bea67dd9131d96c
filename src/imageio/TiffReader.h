#pragma once
// .tif decoding through libtiff, into a 24-bit map (32-bit when alpha is
// kept): the first page only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "imageio/ImageMeta.h"
#include "imageio/PixelLimit.h"
#include "pixelmap/Color.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

struct TiffOptions {
    // Told when the file holds more pages than the one read.
    std::function<void(const std::string&)> onWarning;
    PixelLimit limit;
    // Set: filled with the page's orientation, alpha, widest sample,
    // resolution and ICC profile, and the file's page count.
    ImageMeta* meta = nullptr;
    // What alpha is laid over, 0x00BBGGRR.
    TColor background = 0xFFFFFF;
    // Turn the pixels upright by their Orientation tag; otherwise they stay
    // in their stored order and the tag goes into meta.
    bool autoOrient = false;
    // Set: a page with alpha gives an ARGB map (B, G, R, A, straight alpha)
    // instead of one laid over the background.
    bool keepAlpha = false;
};

// Strips or tiles, samples interleaved or in planes; greyscale (either
// polarity), palette, RGB, CMYK (as libtiff converts it), JPEG's YCbCr and,
// through libtiff's RGBA conversion, the other colour models; 1 to 16 bits,
// unsigned or signed (offset by half their range). Samples of more than 8
// bits keep their high 8 bits; fewer are scaled to 0..255. Alpha, stored
// associated or not, is laid over the background or kept; associated
// (premultiplied) colour is made straight first, each channel
// min(255, round(c * 255 / a)), and 0 where a is 0. Any compression libtiff
// decodes. Reads the file as it goes with pread, never whole nor mapped.
// Throws EInOutError for a file that cannot be read (also one that
// shrinks while it is read), EInvalidGraphic ("TIFF: <reason>") for a
// damaged or unsupported one, EInvalidImageSize or EImageTooLarge before
// allocating; a strip or tile larger than the image allows is refused
// before its buffer is allocated.
std::unique_ptr<TPixelMap> DecodeTiffFile(const std::string& fileName, const TiffOptions& options = {});

// The first page's size and the bytes decoding it takes besides its map
// (its strip or tile buffers and rows), and whether it has alpha. Throws as
// DecodeTiffFile does.
struct TiffFrame {
    int64_t width = 0, height = 0;
    uint64_t workingBytes = 0;
    bool alpha = false;
};
TiffFrame ReadTiffFrame(const std::string& fileName);

}  // namespace quenlo
