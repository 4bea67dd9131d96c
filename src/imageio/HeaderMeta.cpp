#include "imageio/HeaderMeta.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "imageio/Exif.h"

namespace quenlo {

namespace {

// A profile is rarely above a few hundred KiB.
constexpr uint32_t kMaxIccBytes = 16u << 20;
constexpr uint32_t kEmbedded = 0x4D424544;  // 'MBED', PROFILE_EMBEDDED

uint32_t Be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t Le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t Le32(const uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

}  // namespace

bool TByteSource::At(uint64_t offset, void* dst, size_t n) const {
    // Nothing to copy: dst may be an empty vector's null data.
    if (n == 0) return fd_ >= 0 || offset <= size_;
    std::memset(dst, 0, n);
    if (fd_ < 0) {
        if (offset > size_ || n > size_ - offset) {
            if (offset < size_) std::memcpy(dst, data_ + offset, size_ - offset);
            return false;
        }
        std::memcpy(dst, data_ + offset, n);
        return true;
    }
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd_, static_cast<uint8_t*>(dst) + got, n - got, static_cast<off_t>(offset + got));
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool ReadJpegMeta(const TByteSource& file, ImageMeta& meta) {
    uint8_t soi[2];
    if (!file.At(0, soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8) return false;
    std::vector<std::vector<uint8_t>> icc;  // by sequence number - 1
    std::optional<Resolution> exifResolution;
    bool jfif = false, any = false;
    uint64_t at = 2;
    for (int markers = 0; markers < 10000; ++markers) {
        uint8_t m[4];
        if (!file.At(at, m, 4) || m[0] != 0xFF) break;
        if (m[1] == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const uint8_t marker = m[1];
        if (marker == 0xDA || marker == 0xD9) {  // start of scan, end of image
            any = true;
            break;
        }
        const size_t length = Be16(m + 2);
        std::vector<uint8_t> seg(length >= 2 ? length - 2 : 0);
        if (length < 2 || !file.At(at + 4, seg.data(), seg.size())) break;
        any = true;
        const uint8_t* data = seg.data();
        const size_t n = seg.size();
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC && n > 0) {
            meta.bitsPerSample = std::max<int>(meta.bitsPerSample, data[0]);
        } else if (marker == 0xE0 && n >= 12 && std::memcmp(data, "JFIF\0", 5) == 0) {
            // Units 0: only the aspect; 1: dots per inch; 2: per centimetre.
            jfif = true;
            const uint8_t units = data[7];
            const double x = Be16(data + 8), y = Be16(data + 10);
            if (x > 0 && y > 0 && units <= 2 && !(units == 0 && x == y))
                meta.resolution = Resolution{x, y, units == 1   ? ResolutionUnit::Inch
                                                   : units == 2 ? ResolutionUnit::Centimetre
                                                                : ResolutionUnit::None};
        } else if (marker == 0xE1 && n > 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
            const ExifFacts facts = ReadExif(std::span(data + 6, n - 6));
            meta.orientation = facts.orientation;
            exifResolution = facts.resolution;
        } else if (marker == 0xE2 && n > 14 && std::memcmp(data, "ICC_PROFILE\0", 12) == 0) {
            // Piece seq of count, both from 1.
            const unsigned seq = data[12], count = data[13];
            if (seq >= 1 && seq <= count) {
                if (icc.size() < count) icc.resize(count);
                icc[seq - 1].assign(data + 14, data + n);
            }
        }
        at += 2 + length;
    }
    // JFIF's density outranks EXIF's, as viewers take it.
    if (!jfif && exifResolution) meta.resolution = exifResolution;
    std::vector<uint8_t> profile;
    for (const auto& piece : icc) {
        if (piece.empty()) return any;
        profile.insert(profile.end(), piece.begin(), piece.end());
    }
    meta.icc = std::move(profile);
    return any;
}

uint64_t BmpProfileEnd(std::span<const uint8_t> head) {
    if (head.size() < 14 + 124 || Le32(&head[14]) < 124 || Le32(&head[14 + 56]) != kEmbedded) return 0;
    const uint32_t at = Le32(&head[14 + 112]), n = Le32(&head[14 + 116]);
    return n > 0 && n <= kMaxIccBytes ? 14 + uint64_t{at} + n : 0;
}

bool ReadBmpMeta(const TByteSource& file, ImageMeta& meta, bool markUnreadProfile) {
    uint8_t h[14 + 124];
    file.At(0, h, sizeof h);  // short headers are zero-filled
    const uint32_t size = Le32(h + 14);
    if (size < 40) return size == 12;  // OS/2: at most 24 bits, nothing else
    const uint32_t bpp = Le16(h + 28), compression = Le32(h + 30);
    // Masks inside a V3+ header, or after a 40-byte one for bit fields.
    uint32_t masks[4] = {0, 0, 0, 0};
    if (size >= 52 || compression == 3 || compression == 6) {
        uint8_t m[16];
        file.At(size >= 52 ? 14 + 40 : 14 + size, m, sizeof m);
        const int n = size >= 56 || compression == 6 ? 4 : 3;
        for (int i = 0; i < n; ++i) masks[i] = Le32(m + 4 * i);
    }
    if ((bpp == 16 || bpp == 32) && (compression == 3 || compression == 6 || size >= 52)) {
        for (int i = 0; i < 3; ++i) meta.bitsPerSample = std::max(meta.bitsPerSample, std::popcount(masks[i]));
        meta.alpha = masks[3] != 0;
    }
    const int32_t x = static_cast<int32_t>(Le32(h + 38)), y = static_cast<int32_t>(Le32(h + 42));
    if (x > 0 && y > 0) meta.resolution = Resolution{x / 100.0, y / 100.0, ResolutionUnit::Centimetre};
    if (size >= 124 && Le32(h + 14 + 56) == kEmbedded) {
        const uint32_t at = Le32(h + 14 + 112), n = Le32(h + 14 + 116);
        std::vector<uint8_t> icc(n > 0 && n <= kMaxIccBytes ? n : 0);
        if (!icc.empty() && file.At(14 + uint64_t{at}, icc.data(), icc.size())) meta.icc = std::move(icc);
        else if (markUnreadProfile) meta.icc.assign(1, 0);
    }
    return true;
}

}  // namespace quenlo
