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

}  // namespace quenlo
