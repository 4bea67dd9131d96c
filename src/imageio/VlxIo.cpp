#include "imageio/VlxIo.h"

#include <algorithm>
#include <cstdint>

#include "imageio/AtomicFile.h"
#include "imageio/BmpReader.h"
#include "imageio/BmpWriter.h"
#include "imageio/FileIo.h"
#include "imageio/ImageKind.h"
#include "imageio/JpegReader.h"
#include "imageio/StpRgb.h"
#include "low/Errors.h"
#include "low/FileNames.h"

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
    const uint64_t cap = std::min<uint64_t>(BmpUsefulBytes(bytes, limit), UINT32_MAX);
    uint8_t chunk[1 << 16];
    while (bytes.size() < cap) {
        const size_t want = size_t(std::min<uint64_t>(sizeof chunk, cap - bytes.size()));
        const size_t got = in.Read(chunk, want);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < want) break;
    }
    return bytes;
}

std::unique_ptr<TPixelMapRGB> ReadRaster(const std::string& fileName, const LoadOptions& options) {
    const ImageKind kind = KindByName(fileName);
    // Neither format can usefully exceed 4 GiB (a .bmp cannot state more).
    constexpr size_t kMaxFile = UINT32_MAX;
    // A refused file that holds another format says so, not only the reader's complaint.
    if (kind == ImageKind::Jpeg) {
        const std::vector<uint8_t> bytes = ReadFileBytes(fileName, kMaxFile);
        try {
            return DecodeJpeg(bytes, JpegOptions{options.onWarning, options.limit});
        } catch (const EJpegError& e) {
            const std::string mismatch = KindMismatch(kind, bytes);
            if (mismatch.empty()) throw;
            throw EJpegError(e.Code(), mismatch);
        }
    }
    if (kind == ImageKind::Bmp) {
        const std::vector<uint8_t> bytes = ReadBmpBytes(fileName, options.limit);
        try {
            return DecodeBmp(bytes, options.limit);
        } catch (const EInvalidGraphic&) {
            const std::string mismatch = KindMismatch(kind, bytes);
            if (mismatch.empty()) throw;
            throw EInvalidGraphic(mismatch);
        }
    }
    if (kind == ImageKind::RawPair) {
        TStpRgb pair;
        pair.Load(fileName, options.limit);
        return pair.TakeBitmap();
    }
    return std::make_unique<TPixelMapRGB>();
}

// Converts B,G,R rows into another kind, row by row.
std::unique_ptr<TPixelMap> Convert(const TPixelMapRGB& src, PixelKind kind) {
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
    std::unique_ptr<TPixelMapRGB> raster = ReadRaster(fileName, options);
    if (kind == PixelKind::RGB) return raster;
    return Convert(*raster, kind);
}

void SaveBmpFile(const TPixelMap& map, const std::string& fileName) {
    if (auto out = PrepareBmpFile(map, fileName)) out->Commit();
}

std::unique_ptr<TAtomicFile> PrepareBmpFile(const TPixelMap& map, const std::string& fileName) {
    if (map.Kind() != PixelKind::RGB) return nullptr;
    // A 0-byte .bmp is corrupt; refusing it also keeps an existing file intact.
    if (map.Width() == 0 || map.Height() == 0) throw EInvalidImageSize(map.Width(), map.Height());
    auto out = std::make_unique<TAtomicFile>(fileName);
    WriteBmp(static_cast<const TPixelMapRGB&>(map), [&](const uint8_t* p, size_t n) { out->Write(p, n); });
    return out;
}

}  // namespace quenlo
