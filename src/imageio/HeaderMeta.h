#pragma once
// What JPEG and BMP headers state besides the pixels, read from the bytes
// without decoding: resolution, ICC profile, EXIF orientation, and what a
// 24-bit map would lose. One walk each, over a buffer or an open file.
#include <cstdint>
#include <span>

#include "imageio/ImageMeta.h"

namespace quenlo {

// Bytes at offsets of an open file (read with pread) or of a buffer.
class TByteSource {
public:
    explicit TByteSource(int fd) : fd_(fd) {}
    explicit TByteSource(std::span<const uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}
    // n bytes at offset into dst; false on a short read, whose rest is zero.
    bool At(uint64_t offset, void* dst, size_t n) const;

private:
    int fd_ = -1;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// The markers before the first scan: the frame's sample precision, JFIF
// density (a plain 1:1 aspect is no resolution), else EXIF's XResolution
// and YResolution; the ICC profile split over APP2 markers (dropped when a
// piece is missing), and the EXIF Orientation of APP1. Damaged or cut
// markers end the walk; what was read stays. False when no marker was read.
bool ReadJpegMeta(const TByteSource& file, ImageMeta& meta);
inline void ReadJpegMeta(std::span<const uint8_t> file, ImageMeta& meta) { ReadJpegMeta(TByteSource(file), meta); }

// The info header's pixels per metre, when both are positive; bit fields'
// widest sample and whether they have an alpha mask; a version 5 header's
// embedded profile. A profile stated but cut or over 16 MiB is dropped, or
// with markUnreadProfile marked as there by one zero byte. False when the
// file has no info header read here (an OS/2 one of 12 bytes is true).
bool ReadBmpMeta(const TByteSource& file, ImageMeta& meta, bool markUnreadProfile = false);
inline void ReadBmpMeta(std::span<const uint8_t> file, ImageMeta& meta) { ReadBmpMeta(TByteSource(file), meta); }

// Where a version 5 header's embedded profile ends, from the file's start;
// 0 when there is none or it is over 16 MiB.
uint64_t BmpProfileEnd(std::span<const uint8_t> head);

}  // namespace quenlo
