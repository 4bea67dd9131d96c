#include "imageio/HeaderMeta.h"

#include <cstring>
#include <vector>

#include "imageio/Exif.h"

namespace quenlo {

namespace {
uint32_t Be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
int32_t Le32(const uint8_t* p) { return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24); }
}  // namespace

void ReadJpegMeta(std::span<const uint8_t> file, ImageMeta& meta) {
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8) return;
    std::vector<std::vector<uint8_t>> icc;  // by sequence number - 1
    size_t at = 2;
    while (at + 4 <= file.size() && file[at] == 0xFF) {
        const uint8_t marker = file[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) break;  // start of scan, end of image
        const size_t length = Be16(&file[at + 2]);
        if (length < 2 || at + 2 + length > file.size()) break;
        const uint8_t* data = &file[at + 4];
        const size_t n = length - 2;
        if (marker == 0xE0 && n >= 12 && std::memcmp(data, "JFIF\0", 5) == 0) {
            // Units 0: only the aspect; 1: dots per inch; 2: per centimetre.
            const uint8_t units = data[7];
            const double x = Be16(data + 8), y = Be16(data + 10);
            if (x > 0 && y > 0 && units <= 2 && !(units == 0 && x == y))
                meta.resolution = Resolution{x, y, units == 1   ? ResolutionUnit::Inch
                                                   : units == 2 ? ResolutionUnit::Centimetre
                                                                : ResolutionUnit::None};
        } else if (marker == 0xE1 && n > 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
            meta.orientation = ExifOrientation(std::span(data + 6, n - 6));
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
    std::vector<uint8_t> profile;
    for (const auto& piece : icc) {
        if (piece.empty()) return;
        profile.insert(profile.end(), piece.begin(), piece.end());
    }
    meta.icc = std::move(profile);
}

void ReadBmpMeta(std::span<const uint8_t> file, ImageMeta& meta) {
    // File header (14), then an info header of 40 bytes or more.
    if (file.size() < 46 || Le32(&file[14]) < 40) return;
    const int32_t x = Le32(&file[38]), y = Le32(&file[42]);
    if (x > 0 && y > 0) meta.resolution = Resolution{x / 100.0, y / 100.0, ResolutionUnit::Centimetre};
}

}  // namespace quenlo
