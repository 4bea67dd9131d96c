#pragma once
#include <cstdint>

namespace quenlo {

// 0x00BBGGRR: red in bits 0-7, green 8-15, blue 16-23; bits 24-31 carry alpha
// only for ARGB maps.
using TColor = uint32_t;

// Clamps each channel to 0..255 and packs them as R + G*256 + B*65536.
TColor ColorFromRGB(int r, int g, int b);

}  // namespace quenlo
