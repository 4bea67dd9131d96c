#pragma once
// Exact integer blending over whole rows, written so the compiler can
// vectorise them.
#include <cstddef>
#include <cstdint>

namespace quenlo {

// x div 255 for 0 <= x <= 65279, without a division:
// (x + 1 + x div 256) div 256 equals x div 255 over that whole range.
constexpr uint32_t Div255(uint32_t x) { return (x + 1 + (x >> 8)) >> 8; }

// Each byte: d := ((255 - a) * d + a * s + 128) div 255, for a in 0..255.
void BlendRowRounded(uint8_t* d, const uint8_t* s, size_t bytes, uint32_t a);

// A block of rows pixels by rows, stride bytes apart, 3 bytes a pixel:
// each pixel blended with BlendRowRounded's rule against colour bgr (its 3
// bytes in memory order), or set to it.
void BlendColorRows(uint8_t* d, size_t stride, size_t pixels, size_t rows, const uint8_t bgr[3], uint32_t a);
void FillColorRows(uint8_t* d, size_t stride, size_t pixels, size_t rows, const uint8_t bgr[3]);

// x div 65535 for 0 <= x < 65535 * 65536, without a division.
constexpr uint32_t Div65535(uint32_t x) { return (x + 1 + (x >> 16)) >> 16; }

// The pen blend of the pixel maps: (p * (65535 - w) + q * w) div 65535 for
// bytes p (the pixel), q (the pen) and a weight w in 0..65535.
constexpr uint8_t MixByte(uint32_t p, uint32_t q, uint32_t w) {
    return static_cast<uint8_t>(Div65535(p * (65535u - w) + q * w));
}

// Each byte: d := MixByte(d, s, w).
void MixRow(uint8_t* d, const uint8_t* s, size_t bytes, uint32_t w);

// Pixels of 3 channels and a straight (not premultiplied) alpha after them,
// laid over an opaque background of the same channel order: each channel
// becomes (c * a + b * (255 - a) + 127) div 255, rounded to nearest.
void CompositeRowOver(uint8_t* dst3, const uint8_t* src4, size_t pixels, const uint8_t background[3]);

}  // namespace quenlo
