#pragma once
// .jpg decoding through libjpeg, into a 24-bit map.
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "imageio/PixelLimit.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

struct JpegOptions {
    // Called for each corrupt-data warning; decoding goes on regardless.
    std::function<void(const std::string&)> onWarning;
    // Checked against the frame's size before anything is allocated (EImageTooLarge).
    PixelLimit limit;
    // 1, 2, 4 or 8: decoded at 1/scale of the size by the library's scaled
    // inverse DCT (each side rounded up), which is far faster for a thumbnail.
    int scale = 1;
    // Told, as each scan after the first starts, the coefficients it reads
    // (64 a block of each component in it): every scan is a pass over them,
    // which a caller with a work budget pays for. What it throws ends the
    // decoding and is raised.
    std::function<void(long long coefficients)> onScan;
};

// Decodes with the library's defaults (scale 1/1, accurate integer IDCT,
// block smoothing, fancy upsampling). Grayscale gives its 256 exact levels;
// CMYK and YCCK are converted to RGB. Throws EJpegError, and
// EInvalidImageSize before decoding when the map cannot hold the size.
// Limits: at most 500 scans (EJpegError 1000) and 2 GiB of decoder memory
// for multi-scan coefficients (EJpegError 1001). Missing data still decodes
// as grey with a warning, so a small file may claim any size the map holds.
std::unique_ptr<TPixelMapRGB> DecodeJpeg(std::span<const uint8_t> file, const JpegOptions& options = {});

// The same decoding without holding the image: start(width, height) once
// the size is known and checked, then row(y, bgr) for each row from the
// top, 3 x width bytes that are only valid during the call. What they
// throw ends the decoding and is raised.
struct JpegRows {
    std::function<void(int width, int height)> start;
    std::function<void(int y, const uint8_t* bgr)> row;
};
void DecodeJpegRows(std::span<const uint8_t> file, const JpegOptions& options, const JpegRows& rows);

// What a header claims, read without decoding: the size, and the bytes of
// coefficients the decoder keeps for a multi-scan (progressive) file, 0
// for a single-scan one, which it decodes a band of rows at a time.
struct JpegFrame {
    int width = 0, height = 0;
    long long coefficientBytes = 0;
};
// Throws EJpegError when the header cannot be read.
JpegFrame ReadJpegFrame(std::span<const uint8_t> file);

}  // namespace quenlo
