#include "pixelmap/Blend.h"

namespace quenlo {

void BlendRowRounded(uint8_t* d, const uint8_t* s, size_t bytes, uint32_t a) {
    // 16-bit lanes: (255 - a) * d + a * s + 128 <= 65153, and Div255 stays
    // below 65536 on the way, so nothing overflows.
    const uint16_t wa = static_cast<uint16_t>(a), wd = static_cast<uint16_t>(255 - a);
    for (size_t i = 0; i < bytes; ++i) {
        const uint16_t t = static_cast<uint16_t>(wd * d[i] + wa * s[i] + 128);
        d[i] = static_cast<uint8_t>((t + 1 + (t >> 8)) >> 8);
    }
}

void MixRow(uint8_t* d, const uint8_t* s, size_t bytes, uint32_t w) {
    // 32-bit lanes: 255 * 65535 stays below Div65535's bound.
    const uint32_t wd = 65535u - w;
    for (size_t i = 0; i < bytes; ++i) d[i] = static_cast<uint8_t>(Div65535(wd * d[i] + w * s[i]));
}

}  // namespace quenlo
