#include "pixelmap/Blend.h"

#include <algorithm>
#include <cstring>

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

namespace {

// Each pixel of 3 bytes becomes bgr: one pixel, then copies of what is
// already there, doubling each time.
void FillColorRow(uint8_t* d, size_t pixels, const uint8_t bgr[3]) {
    if (pixels == 0) return;
    const size_t bytes = 3 * pixels;
    std::memcpy(d, bgr, 3);
    for (size_t done = 3; done < bytes; done *= 2) std::memcpy(d + done, d, std::min(done, bytes - done));
}

}  // namespace

void BlendColorRows(uint8_t* d, size_t stride, size_t pixels, size_t rows, const uint8_t bgr[3], uint32_t a) {
    if (stride == 3 * pixels) {  // back to back: one long row
        pixels *= rows;
        rows = 1;
    }
    // A short row of the colour stands in for a source row, piece by piece.
    constexpr size_t kPiece = 256;
    uint8_t row[3 * kPiece];
    FillColorRow(row, std::min(pixels, kPiece), bgr);
    for (size_t r = 0; r < rows; ++r, d += stride)
        for (size_t done = 0; done < pixels; done += kPiece)
            BlendRowRounded(d + 3 * done, row, 3 * std::min(kPiece, pixels - done), a);
}

void FillColorRows(uint8_t* d, size_t stride, size_t pixels, size_t rows, const uint8_t bgr[3]) {
    if (stride == 3 * pixels) {
        FillColorRow(d, pixels * rows, bgr);
        return;
    }
    FillColorRow(d, pixels, bgr);
    for (size_t r = 1; r < rows; ++r) std::memcpy(d + r * stride, d, 3 * pixels);
}

void MixRow(uint8_t* d, const uint8_t* s, size_t bytes, uint32_t w) {
    // 32-bit lanes: 255 * 65535 stays below Div65535's bound.
    const uint32_t wd = 65535u - w;
    for (size_t i = 0; i < bytes; ++i) d[i] = static_cast<uint8_t>(Div65535(wd * d[i] + w * s[i]));
}

}  // namespace quenlo
