#pragma once
// Uncompressed 24-bit .bmp: 54-byte header, rows bottom-up, each padded to 4
// bytes; with an ICC profile, a 138-byte (version 5) header and the profile
// after the rows.
#include <cstdint>
#include <functional>
#include <vector>

#include "imageio/ImageMeta.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

// Receives the encoded file in order, in pieces of at most about 1 MiB.
using ByteSink = std::function<void(const uint8_t* data, size_t n)>;

inline constexpr int kBmpHeaderSize = 54;
inline constexpr int kBmpV5HeaderSize = 14 + 124;

// Bytes per stored row: 3 * width rounded up to a multiple of 4.
inline uint32_t BmpRowSize(int32_t width) { return (static_cast<uint32_t>(width) * 3 + 3) & ~3u; }

// The header's size: kBmpV5HeaderSize when meta has an ICC profile that the
// file's 4 GiB can hold besides the rows, which then follows them; else
// kBmpHeaderSize.
size_t BmpHeaderSize(int32_t width, int32_t height, const ImageMeta& meta);

// Puts the BmpHeaderSize() header bytes of a width x height file at out,
// with meta's resolution in pixels per metre when it has a unit (else 0,
// which readers take as none stated), and for a version 5 header where its
// embedded profile lies.
void PutBmpHeader(uint8_t* out, int32_t width, int32_t height, const ImageMeta& meta = {});

void WriteBmp(const TPixelMapRGB& map, const ByteSink& sink, const ImageMeta& meta = {});
std::vector<uint8_t> EncodeBmp(const TPixelMapRGB& map, const ImageMeta& meta = {});

}  // namespace quenlo
