#pragma once
// R,G,B <-> B,G,R for packed 3-byte pixels: bytes 0 and 2 of each pixel trade places.
#include <cstddef>
#include <cstdint>

namespace quenlo {

// dst may equal src; otherwise the ranges must not overlap.
void SwapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels);

// The same for 4-byte pixels (B,G,R,A <-> R,G,B,A): alpha stays last.
void SwapRedBlue4(const uint8_t* src, uint8_t* dst, size_t pixels);

// The plain per-pixel loop, kept as the reference the fast path is held to.
void SwapRedBlueReference(const uint8_t* src, uint8_t* dst, size_t pixels);

}  // namespace quenlo
