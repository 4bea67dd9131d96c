#pragma once
// Uncompressed 24-bit .bmp: 54-byte header, rows bottom-up, each padded to 4 bytes.
#include <cstdint>
#include <functional>
#include <vector>

#include "imageio/ImageMeta.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

// Receives the encoded file in order, in pieces of at most about 1 MiB.
using ByteSink = std::function<void(const uint8_t* data, size_t n)>;

inline constexpr int kBmpHeaderSize = 54;

// Bytes per stored row: 3 * width rounded up to a multiple of 4.
inline uint32_t BmpRowSize(int32_t width) { return (static_cast<uint32_t>(width) * 3 + 3) & ~3u; }

// Puts the kBmpHeaderSize header bytes of a width x height file at out,
// with meta's resolution in pixels per metre when it has a unit (else 0,
// which readers take as none stated).
void PutBmpHeader(uint8_t* out, int32_t width, int32_t height, const ImageMeta& meta = {});

void WriteBmp(const TPixelMapRGB& map, const ByteSink& sink, const ImageMeta& meta = {});
std::vector<uint8_t> EncodeBmp(const TPixelMapRGB& map, const ImageMeta& meta = {});

}  // namespace quenlo
