#pragma once
// The formats a batch writes, with their options, and the one entry the
// batch saves through: a map or a raw image's rows become a complete file
// of the chosen format, not yet put in place.
#include <cstdint>
#include <memory>
#include <string>

#include "imageio/ImageMeta.h"
#include "imageio/RawStream.h"
#include "pixelmap/RowSink.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

class TAtomicFile;

enum class OutputFormat { Bmp, Png, Tiff, Jpeg, WebP };
enum class TiffCompression { None, Lzw, Deflate };
// Chroma samples per 2 x 2 luma: 4:4:4 keeps all, 4:2:2 halves them across,
// 4:2:0 also down.
enum class JpegSubsampling { S444, S422, S420 };

struct OutputOptions {
    OutputFormat format = OutputFormat::Bmp;
    // zlib's levels: 0 stores, 9 packs hardest. 6 is zlib's own default,
    // where a higher level costs far more time than it saves bytes.
    int pngLevel = 6;
    TiffCompression tiffCompression = TiffCompression::None;
    // JPEG and lossy WebP: 1 (smallest) to 100 (best).
    int quality = 90;
    JpegSubsampling jpegSubsampling = JpegSubsampling::S420;
    bool progressive = false;  // JPEG
    bool lossless = false;     // WebP
};

// ".bmp", ".png", ".tif", ".jpg" or ".webp".
const char* OutputExtension(OutputFormat format);

// Takes 8-bit rows top-down, 3 bytes a pixel in the order given at its
// creation (4 with alpha last when the image's meta says alpha), and
// encodes them as they come, so memory stays constant.
class TRowEncoder : public TRowSink {
public:
    virtual ~TRowEncoder() = default;
    // Times all rows are given, each time from the top, before Finish: an
    // encoder that must see the whole image before it writes asks twice
    // rather than hold it.
    virtual int Passes() const { return 1; }
    // n whole rows, packed (3 or 4 x width bytes each).
    void Rows(const uint8_t* rows, size_t n) override = 0;
    // After the last row: completes the file. Throws like Rows.
    virtual void Finish() = 0;
};

// A PNG, TIFF, JPEG or WebP encoder writing into out, which must outlive it. Throws
// EInOutError when writing fails, EInvalidImageSize for a size the format
// cannot hold.
// meta: what the file states besides its pixels (resolution, ICC profile,
// orientation), and whether the rows carry alpha.
std::unique_ptr<TRowEncoder> OpenRowEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                            const OutputOptions& options, const ImageMeta& meta = {});

// An RGB map written completely in the chosen format, not yet put in place:
// Commit it. An ARGB map keeps its alpha in PNG, TIFF and WebP and is laid over
// white in a .bmp. meta as OpenRowEncoder takes it (its alpha is the
// map's). Null for a map of another kind. Throws as PrepareBmpFile does.
std::unique_ptr<TAtomicFile> PrepareImageFile(const TPixelMap& map, const std::string& fileName,
                                              const OutputOptions& options, const ImageMeta& meta = {});

// A raw image's rows streamed straight into a file of the chosen format.
// Throws as TRawPair::PrepareBmp does.
std::unique_ptr<TAtomicFile> PrepareImageFile(const TRawPair& raw, const std::string& fileName,
                                              const OutputOptions& options, const RawStreamOptions& stream = {});

}  // namespace quenlo
