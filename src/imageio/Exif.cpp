#include "imageio/Exif.h"

namespace quenlo {

int ExifOrientation(std::span<const uint8_t> tiff) {
    if (tiff.size() < 8) return 1;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t { return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2); };
    if (u16(2) != 42) return 1;
    const uint64_t ifd = u32(4);
    if (ifd + 2 > tiff.size()) return 1;
    const uint32_t entries = u16(size_t(ifd));
    for (uint32_t i = 0; i < entries; ++i) {
        const uint64_t at = ifd + 2 + uint64_t(i) * 12;
        if (at + 12 > tiff.size()) break;
        if (u16(size_t(at)) != 274) continue;
        // A SHORT (3) held in the entry's value field.
        if (u16(size_t(at) + 2) != 3 || u32(size_t(at) + 4) != 1) return 1;
        const uint32_t v = u16(size_t(at) + 8);
        return v >= 1 && v <= 8 ? int(v) : 1;
    }
    return 1;
}

}  // namespace quenlo
