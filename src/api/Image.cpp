#include <memory>

#include "api/Options.h"
#include "api/Translate.h"
#include "imageio/AtomicFile.h"
#include "imageio/ImageKind.h"
#include "imageio/OutputFormat.h"
#include "imageio/RgbSwap.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "pixelmap/pixelmap.h"
#include "quenlo/errors.h"
#include "quenlo/image.h"

namespace quenlo {

OutputOptions InternalOptions(const WriteOptions& options) {
    if (options.pngLevel < 0 || options.pngLevel > 9) throw UsageError("the PNG level runs from 0 to 9");
    OutputOptions out;
    out.format = options.format == Format::Png    ? OutputFormat::Png
                 : options.format == Format::Tiff ? OutputFormat::Tiff
                                                  : OutputFormat::Bmp;
    out.pngLevel = options.pngLevel;
    out.tiffCompression = options.tiffCompression == Compression::Lzw       ? TiffCompression::Lzw
                          : options.tiffCompression == Compression::Deflate ? TiffCompression::Deflate
                                                                            : TiffCompression::None;
    return out;
}

PixelLimit InternalLimit(const ReadOptions& options) {
    if (options.maxPixels < 0) throw UsageError("maxPixels cannot be negative");
    PixelLimit limit;
    if (options.maxPixels > 0) limit.maxPixels = options.maxPixels;
    limit.raiseWith = "maxPixels";
    return limit;
}

inline namespace v0 {

namespace {

// A map's samples as an image, red first, sharing the map's buffer.
Image FromMap(std::shared_ptr<TPixelMap> map) {
    uint8_t* data = map->Data();
    SwapRedBlue(data, data, static_cast<size_t>(map->Width()) * static_cast<size_t>(map->Height()));
    const int w = map->Width(), h = map->Height();
    return Image(w, h, data, std::move(map));
}

}  // namespace

Image::Image(int width, int height) {
    auto map = std::make_shared<TPixelMapRGB>();
    Translated([&] { map->SetSize(width, height); });
    if (map->DataSize() > 0) std::fill_n(map->Data(), map->DataSize(), uint8_t{0});
    *this = Image(width, height, map->Data(), map);
}

Image ReadImage(const std::string& path, const ReadOptions& options) {
    return Translated([&] {
        LoadOptions load;
        load.limit = InternalLimit(options);
        if (KindByName(path) == ImageKind::None)
            throw ImageError("unsupported", path + ": unsupported file type; expected .ipr, .rgb, .bmp, .jpg, .png or .tif");
        std::shared_ptr<TPixelMap> map = LoadImageFile(PixelKind::RGB, path, load);
        if (!map) throw EInOutError(2);
        return FromMap(std::move(map));
    }, path);
}

const char* Extension(Format format) {
    switch (format) {
        case Format::Png: return OutputExtension(OutputFormat::Png);
        case Format::Tiff: return OutputExtension(OutputFormat::Tiff);
        default: return OutputExtension(OutputFormat::Bmp);
    }
}

Format FormatByName(const std::string& name) {
    std::string n;
    for (char c : name) n += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (n == "bmp") return Format::Bmp;
    if (n == "png") return Format::Png;
    if (n == "tif" || n == "tiff") return Format::Tiff;
    throw UsageError("unknown format \"" + name + "\"; expected bmp, png or tiff");
}

void WriteImage(const Image& image, const std::string& path, const WriteOptions& options) {
    const OutputOptions out = InternalOptions(options);
    Translated([&] {
        if (image.Width() <= 0 || image.Height() <= 0) throw EInvalidImageSize(image.Width(), image.Height());
        TPixelMapRGB map;
        map.SetSize(image.Width(), image.Height());
        SwapRedBlue(image.Data(), map.Data(), static_cast<size_t>(image.Width()) * static_cast<size_t>(image.Height()));
        PrepareImageFile(map, path, out)->Commit();
    }, path);
}

}  // namespace v0
}  // namespace quenlo
