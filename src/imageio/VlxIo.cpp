#include "imageio/VlxIo.h"

#include <algorithm>
#include <cstdint>

#include "imageio/AtomicFile.h"
#include "imageio/BmpReader.h"
#include "imageio/BmpWriter.h"
#include "imageio/FileIo.h"
#include "imageio/GifReader.h"
#include "imageio/HeaderMeta.h"
#include "imageio/HeifReader.h"
#include "imageio/WebpReader.h"
#include "imageio/ImageKind.h"
#include "imageio/JpegReader.h"
#include "imageio/PngReader.h"
#include "imageio/TiffReader.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "pixelmap/Orientation.h"

namespace quenlo {

namespace {

// A .bmp's bytes up to what its headers can use: a huge file named .bmp is
// not read whole, nor is anything read past a size above the limit.
std::vector<uint8_t> ReadBmpBytes(const std::string& fileName, const PixelLimit& limit) {
    constexpr size_t kHead = 4096;  // the largest headers and a palette
    TInputFile in(fileName);
    std::vector<uint8_t> bytes(kHead);
    bytes.resize(in.Read(bytes.data(), kHead));
    if (bytes.size() < kHead) return bytes;
    // The rows, and an embedded profile, which follows them.
    const uint64_t cap = std::min<uint64_t>(std::max(BmpUsefulBytes(bytes, limit), BmpProfileEnd(bytes)), UINT32_MAX);
    uint8_t chunk[1 << 16];
    while (bytes.size() < cap) {
        const size_t want = size_t(std::min<uint64_t>(sizeof chunk, cap - bytes.size()));
        const size_t got = in.Read(chunk, want);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < want) break;
    }
    return bytes;
}

// No format read whole can usefully exceed 4 GiB (a .bmp cannot state more).
constexpr size_t kMaxFile = UINT32_MAX;

// The bytes a reader of this kind takes: the whole file (a .bmp: what its
// headers can use), or for a TIFF,
// which is read as it goes, its first bytes for telling what it holds.
std::vector<uint8_t> BytesFor(ImageKind kind, const std::string& fileName, const PixelLimit& limit) {
    if (kind == ImageKind::Bmp) return ReadBmpBytes(fileName, limit);
    if (kind != ImageKind::Tiff) return ReadFileBytes(fileName, kMaxFile);
    std::vector<uint8_t> head(16);
    head.resize(TInputFile(fileName).Read(head.data(), head.size()));
    return head;
}

std::unique_ptr<TPixelMap> DecodeAs(ImageKind kind, const std::string& fileName, std::span<const uint8_t> bytes,
                                       const LoadOptions& options) {
    if (options.meta && kind == ImageKind::Jpeg) ReadJpegMeta(bytes, *options.meta);
    if (options.meta && kind == ImageKind::Bmp) ReadBmpMeta(bytes, *options.meta);
    switch (kind) {
        case ImageKind::Jpeg: {
            JpegOptions jpeg;
            jpeg.onWarning = options.onWarning;
            jpeg.limit = options.limit;
            jpeg.onScan = options.onScan;
            return DecodeJpeg(bytes, jpeg);
        }
        case ImageKind::Bmp: return DecodeBmp(bytes, options.limit);
        case ImageKind::Png: return DecodePngImage(bytes, options);
        case ImageKind::Tiff:
            return DecodeTiffFile(fileName, TiffOptions{options.onWarning, options.limit, options.meta,
                                                        options.background, options.autoOrient, options.keepAlpha});
        case ImageKind::Gif: return DecodeGif(bytes, options);
        case ImageKind::WebP: return DecodeWebP(bytes, options);
        case ImageKind::Heic:
        case ImageKind::Avif: return DecodeHeif(bytes, options);
        default: return nullptr;
    }
}

bool Readable(ImageKind kind) {
    return kind == ImageKind::Jpeg || kind == ImageKind::Bmp || kind == ImageKind::Png || kind == ImageKind::Tiff ||
           kind == ImageKind::Gif || kind == ImageKind::Heic || kind == ImageKind::Avif || kind == ImageKind::WebP;
}

// A file its reader refused that holds another format read here is read
// as what it holds, with the mismatch as a warning; null when it holds no
// such format or that reader refuses it too.
std::unique_ptr<TPixelMap> ReadAsHeld(ImageKind named, const std::string& fileName, std::span<const uint8_t> head,
                                         const LoadOptions& options) {
    const ImageKind held = KindByContent(head);
    if (held == named || !Readable(held)) return nullptr;
    try {
        // A TIFF's reader had only the file's first bytes.
        const std::vector<uint8_t> whole = named == ImageKind::Tiff ? BytesFor(held, fileName, options.limit) : std::vector<uint8_t>();
        auto map = DecodeAs(held, fileName, named == ImageKind::Tiff ? std::span<const uint8_t>(whole) : head, options);
        if (options.onWarning) options.onWarning(KindMismatch(named, head));
        return map;
    } catch (const EJpegError&) {
    } catch (const EInvalidGraphic&) {
    }
    return nullptr;
}

std::unique_ptr<TPixelMap> ReadRaster(const std::string& fileName, const LoadOptions& options) {
    const ImageKind kind = KindByName(fileName);
    if (kind == ImageKind::RawPair) {
        TStpRgb pair;
        pair.Load(fileName, options.limit);
        return pair.TakeBitmap();
    }
    if (kind == ImageKind::None) return std::make_unique<TPixelMapRGB>();
    const std::vector<uint8_t> bytes = BytesFor(kind, fileName, options.limit);
    // A refused file that holds another format says so, not only the reader's complaint.
    try {
        return DecodeAs(kind, fileName, bytes, options);
    } catch (const EJpegError& e) {
        if (auto map = ReadAsHeld(kind, fileName, bytes, options)) return map;
        const std::string mismatch = KindMismatch(kind, bytes);
        if (mismatch.empty()) throw;
        throw EJpegError(e.Code(), mismatch);
    } catch (const EInvalidGraphic&) {
        if (auto map = ReadAsHeld(kind, fileName, bytes, options)) return map;
        const std::string mismatch = KindMismatch(kind, bytes);
        if (mismatch.empty()) throw;
        throw EInvalidGraphic(mismatch);
    }
}

// Converts B,G,R rows into another kind, row by row.
std::unique_ptr<TPixelMap> Convert(const TPixelMap& src, PixelKind kind) {
    auto map = CreatePixelMap(kind);
    map->SetSize(src.Width(), src.Height());
    // No columns, nothing to convert, however many rows the header claims.
    if (src.Width() == 0) return map;
    for (int32_t y = 0; y < src.Height(); ++y) {
        const uint8_t* s = src.ScanLine(y);
        uint8_t* d = map->ScanLine(y);
        for (int32_t x = 0; x < src.Width(); ++x, s += 3) {
            const unsigned sum = s[0] + s[1] + s[2];
            switch (kind) {
                case PixelKind::Gray:
                    d[x] = static_cast<uint8_t>(sum / 3);
                    break;
                case PixelKind::WGray: {
                    const unsigned level = sum * 257 / 3;
                    d[2 * x] = static_cast<uint8_t>(level);
                    d[2 * x + 1] = static_cast<uint8_t>(level >> 8);
                    break;
                }
                case PixelKind::ARGB:
                    d[4 * x] = s[0];
                    d[4 * x + 1] = s[1];
                    d[4 * x + 2] = s[2];
                    d[4 * x + 3] = 255;
                    break;
                case PixelKind::RGB:
                    break;
            }
        }
    }
    return map;
}

}  // namespace

std::unique_ptr<TPixelMap> LoadImageFile(PixelKind kind, const std::string& fileName, const LoadOptions& options) {
    if (!FileExists(fileName)) return nullptr;
    // The orientation is needed to turn the map, whether or not the caller asks for it.
    ImageMeta own;
    LoadOptions read = options;
    if (!read.meta) read.meta = &own;
    std::unique_ptr<TPixelMap> raster = ReadRaster(fileName, read);
    if (options.autoOrient && read.meta->orientation != 1) {
        if (read.meta->orientation >= 2 && read.meta->orientation <= 8) raster = TurnUpright(*raster, read.meta->orientation);
        read.meta->orientation = 1;
    }
    // A kept alpha channel goes out as it is.
    if (kind == raster->Kind() || raster->Kind() == PixelKind::ARGB) return raster;
    return Convert(*raster, kind);
}

void SaveBmpFile(const TPixelMap& map, const std::string& fileName) {
    if (auto out = PrepareBmpFile(map, fileName)) out->Commit();
}

std::unique_ptr<TAtomicFile> PrepareBmpFile(const TPixelMap& map, const std::string& fileName,
                                            const ImageMeta& meta) {
    if (map.Kind() != PixelKind::RGB) return nullptr;
    // A 0-byte .bmp is corrupt; refusing it also keeps an existing file intact.
    if (map.Width() == 0 || map.Height() == 0) throw EInvalidImageSize(map.Width(), map.Height());
    auto out = std::make_unique<TAtomicFile>(fileName);
    WriteBmp(static_cast<const TPixelMapRGB&>(map), [&](const uint8_t* p, size_t n) { out->Write(p, n); }, meta);
    return out;
}

}  // namespace quenlo
