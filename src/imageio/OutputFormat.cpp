#include "imageio/OutputFormat.h"

#include <algorithm>
#include <vector>

#include "imageio/AtomicFile.h"
#include "imageio/JpegWriter.h"
#include "imageio/WebpWriter.h"
#include "imageio/PngWriter.h"
#include "imageio/TiffWriter.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "pixelmap/Blend.h"

namespace quenlo {

namespace {

// An ARGB map laid over white, for a format without alpha.
std::unique_ptr<TPixelMapRGB> FlattenOverWhite(const TPixelMap& argb) {
    auto rgb = std::make_unique<TPixelMapRGB>();
    rgb->SetSize(argb.Width(), argb.Height());
    static const uint8_t kWhite[3] = {255, 255, 255};
    for (int32_t y = 0; y < argb.Height(); ++y)
        CompositeRowOver(rgb->ScanLine(y), argb.ScanLine(y), static_cast<size_t>(argb.Width()), kWhite);
    return rgb;
}

}  // namespace

const char* OutputExtension(OutputFormat format) {
    switch (format) {
        case OutputFormat::Png: return ".png";
        case OutputFormat::Tiff: return ".tif";
        case OutputFormat::Jpeg: return ".jpg";
        case OutputFormat::WebP: return ".webp";
        case OutputFormat::Bmp: break;
    }
    return ".bmp";
}

std::unique_ptr<TRowEncoder> OpenRowEncoder(TAtomicFile& out, int32_t width, int32_t height, RawOrder order,
                                            const OutputOptions& options, const ImageMeta& meta) {
    if (options.format == OutputFormat::Png) return OpenPngEncoder(out, width, height, order, options.pngLevel, meta);
    if (options.format == OutputFormat::Tiff)
        return OpenTiffEncoder(out, width, height, order, options.tiffCompression, meta);
    if (options.format == OutputFormat::Jpeg) return OpenJpegEncoder(out, width, height, order, options, &meta);
    if (options.format == OutputFormat::WebP) return OpenWebPEncoder(out, width, height, order, options, &meta);
    throw EInvalidImageSize(width, height);  // a .bmp runs bottom-up: PrepareBmpFile writes it
}

std::unique_ptr<TAtomicFile> PrepareImageFile(const TPixelMap& map, const std::string& fileName,
                                              const OutputOptions& options, const ImageMeta& meta) {
    if (map.Kind() != PixelKind::RGB && map.Kind() != PixelKind::ARGB) return nullptr;
    if (options.format == OutputFormat::Bmp) {
        if (map.Kind() == PixelKind::RGB) return PrepareBmpFile(map, fileName, meta);
        return PrepareBmpFile(*FlattenOverWhite(map), fileName, meta);
    }
    if (map.Width() == 0 || map.Height() == 0) throw EInvalidImageSize(map.Width(), map.Height());
    ImageMeta stated = meta;
    stated.alpha = map.Kind() == PixelKind::ARGB;
    auto out = std::make_unique<TAtomicFile>(fileName);
    {
        auto encoder = OpenRowEncoder(*out, map.Width(), map.Height(), RawOrder::Bgr, options, stated);
        // Rows are packed, so the whole map is one run of rows.
        for (int pass = 0; pass < encoder->Passes(); ++pass)
            encoder->Rows(map.ScanLine(0), static_cast<size_t>(map.Height()));
        encoder->Finish();
    }
    return out;
}

std::unique_ptr<TAtomicFile> PrepareImageFile(const TRawPair& raw, const std::string& fileName,
                                              const OutputOptions& options, const RawStreamOptions& stream) {
    if (options.format == OutputFormat::Bmp) return raw.PrepareBmp(fileName, stream);
    const int32_t w = raw.Width(), h = raw.Height();
    if (w == 0 || h == 0) throw EInvalidImageSize(w, h);
    const size_t rowBytes = static_cast<size_t>(w) * 3;
    const size_t stepRows = std::clamp<size_t>(stream.bufferBytes / rowBytes, 1, static_cast<size_t>(h));
    std::vector<uint8_t> rows(stepRows * rowBytes);
    auto out = std::make_unique<TAtomicFile>(fileName);
    {
        auto encoder = OpenRowEncoder(*out, w, h, raw.Order(), options);
        for (int pass = 0; pass < encoder->Passes(); ++pass)
            for (int64_t top = 0; top < h; top += static_cast<int64_t>(stepRows)) {
                const size_t n = std::min<size_t>(stepRows, static_cast<size_t>(h - top));
                raw.ReadRows(top, n, rows.data());
                encoder->Rows(rows.data(), n);
            }
        encoder->Finish();
    }
    return out;
}

}  // namespace quenlo
