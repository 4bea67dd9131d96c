#include "imageio/RgbSwap.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUENLO_X86 1
#endif

namespace quenlo {

void SwapRedBlueReference(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, src += 3, dst += 3) {
        const uint8_t r = src[0], g = src[1], b = src[2];
        dst[0] = b;
        dst[1] = g;
        dst[2] = r;
    }
}

#ifdef QUENLO_X86
namespace {
// Five pixels per step: a 16-byte load, one byte shuffle, a 16-byte store.
// Byte 15 is the first byte of the next step's window and goes back out
// unchanged; the next store (or the scalar tail) writes it properly. Each
// window is loaded before the previous one is stored, so this works in
// place, and no load has to wait for an overlapping store.
__attribute__((target("ssse3"))) size_t SwapSsse3(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const __m128i shuffle = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    const size_t bytes = pixels * 3;
    if (bytes < 16) return 0;
    size_t i = 0;
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    for (; i + 15 + 16 <= bytes; i += 15) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 15));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_shuffle_epi8(v, shuffle));
        v = next;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_shuffle_epi8(v, shuffle));
    return (i + 15) / 3;
}

bool HaveSsse3() {
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}
}  // namespace
#endif

void SwapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels) {
    size_t done = 0;
#ifdef QUENLO_X86
    if (HaveSsse3()) done = SwapSsse3(src, dst, pixels);
#endif
    SwapRedBlueReference(src + done * 3, dst + done * 3, pixels - done);
}

void SwapRedBlue4(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, src += 4, dst += 4) {
        const uint8_t r = src[0], g = src[1], b = src[2], a = src[3];
        dst[0] = b, dst[1] = g, dst[2] = r, dst[3] = a;
    }
}

}  // namespace quenlo
