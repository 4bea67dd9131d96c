#pragma once
// Image files to pixel maps and back: .ipr/.rgb pairs, .bmp, .jpg, .png and
// .tif in; 24-bit .bmp out (OutputFormat.h writes the other formats).
#include <functional>
#include <memory>
#include <string>

#include "imageio/ImageMeta.h"
#include "imageio/PixelLimit.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

class TAtomicFile;

struct LoadOptions {
    // Non-fatal decoder complaints (corrupt JPEG data that still decodes,
    // the pages of a TIFF left out).
    std::function<void(const std::string&)> onWarning;
    // Checked against each header's size before the image is allocated.
    PixelLimit limit;
    // Set: the reader fills in what the file says besides its pixels.
    ImageMeta* meta = nullptr;
    // What transparent pixels are laid over in a map without alpha.
    TColor background = 0xFFFFFF;
    // Set: a file with alpha gives an ARGB map (B, G, R, A, straight alpha)
    // instead of one laid over the background.
    bool keepAlpha = false;
    // Turn the pixels upright by the file's orientation; otherwise they
    // keep their stored order and meta tells the orientation.
    bool autoOrient = false;
    // A JPEG's further scans as JpegOptions::onScan tells them.
    std::function<void(long long coefficients)> onScan;
};

// A new map of the given kind, or null when fileName is empty or names no
// existing file. The reader is chosen by the extension, ignoring case
// (KindByName: .ipr/.rgb, .bmp, .jpg/.jpeg/.jpe/.jfif, .png, .tif/.tiff,
// .gif, .heic/.heif/.hif, .avif, .webp); any other extension gives a 0 x 0 map. A
// file its reader refuses that holds another format is read as what it
// holds, with a warning, or says so ("not a JPEG file: it holds a PNG
// image"). With options.keepAlpha, a file with alpha gives an ARGB map
// whatever kind is asked for.
// Throws EInOutError, EJpegError, EInvalidGraphic, EInvalidImageSize or
// EImageTooLarge.
std::unique_ptr<TPixelMap> LoadImageFile(PixelKind kind, const std::string& fileName,
                                         const LoadOptions& options = {});

// Writes an RGB map as a 24-bit .bmp, whatever the name's extension; other
// kinds write nothing. The target is replaced only once the whole file is
// written. An empty map raises EInvalidImageSize and touches nothing.
// Throws EFCreateError or EInOutError.
void SaveBmpFile(const TPixelMap& map, const std::string& fileName);
// The same, written completely but not yet put in place: Commit it. Null
// for a map that is not RGB.
// The resolution of meta, when it has a unit, goes in the header.
std::unique_ptr<TAtomicFile> PrepareBmpFile(const TPixelMap& map, const std::string& fileName,
                                            const ImageMeta& meta = {});

}  // namespace quenlo
