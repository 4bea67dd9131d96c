#pragma once
// The formats a batch writes, with their options, and the one entry the
// batch saves through: a map or a raw image's rows become a complete file
// of the chosen format, not yet put in place.
#include <cstdint>
#include <memory>
#include <string>

#include "imageio/RawStream.h"
#include "pixelmap/RowSink.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

class TAtomicFile;

enum class OutputFormat { Bmp, Png, Tiff };
enum class TiffCompression { None, Lzw, Deflate };

struct OutputOptions {
    OutputFormat format = OutputFormat::Bmp;
    // zlib's levels: 0 stores, 9 packs hardest. 6 is zlib's own default,
    // where a higher level costs far more time than it saves bytes.
    int pngLevel = 6;
    TiffCompression tiffCompression = TiffCompression::None;
};

// ".bmp", ".png" or ".tif".
const char* OutputExtension(OutputFormat format);

// Takes 8-bit rows top-down, 3 bytes a pixel in the order given at its
// creation, and encodes them as they come, so memory stays constant.
class TRowEncoder : public TRowSink {
public:
    // n whole rows, packed (3 x width bytes each).
    void Rows(const uint8_t* rows, size_t n) override = 0;
    // After the last row: completes the file. Throws like Rows.
    virtual void Finish() = 0;
};

// A PNG or TIFF encoder writing into out, which must outlive it. Throws
// EInOutError when writing fails, EInvalidImageSize for a size the format
// cannot hold.
std::unique_ptr<TRowEncoder> OpenRowEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                            const OutputOptions& options);

// An RGB map written completely in the chosen format, not yet put in place:
// Commit it. Null for a map that is not RGB. Throws as PrepareBmpFile does.
std::unique_ptr<TAtomicFile> PrepareImageFile(const TPixelMap& map, const std::string& fileName,
                                              const OutputOptions& options);

// A raw image's rows streamed straight into a file of the chosen format.
// Throws as TRawPair::PrepareBmp does.
std::unique_ptr<TAtomicFile> PrepareImageFile(const TRawPair& raw, const std::string& fileName,
                                              const OutputOptions& options, const RawStreamOptions& stream = {});

}  // namespace quenlo
