#include "pixelmap/Blend.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quenlo {

namespace {

// The rule on one byte; 16-bit arithmetic: (255 - a) * d + a * s + 128 <=
// 65153, and Div255 stays below 65536 on the way, so nothing overflows.
inline uint8_t BlendByteRounded(uint8_t d, uint8_t s, uint16_t wa, uint16_t wd) {
    const uint16_t t = static_cast<uint16_t>(wd * d + wa * s + 128);
    return static_cast<uint8_t>((t + 1 + (t >> 8)) >> 8);
}

#if defined(__SSE2__)
// Div255 in each 16-bit lane.
inline __m128i Div255Lanes(__m128i t) {
    return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, _mm_set1_epi16(1)), _mm_srli_epi16(t, 8)), 8);
}

// The same on 16 bytes at once, two halves of eight 16-bit lanes; wa and
// wd hold the weights in every lane.
inline __m128i Blend16(__m128i d, __m128i s, __m128i wa, __m128i wd) {
    const __m128i zero = _mm_setzero_si128(), round = _mm_set1_epi16(128);
    auto half = [&](__m128i dh, __m128i sh) {
        return Div255Lanes(_mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(dh, wd), _mm_mullo_epi16(sh, wa)), round));
    };
    return _mm_packus_epi16(half(_mm_unpacklo_epi8(d, zero), _mm_unpacklo_epi8(s, zero)),
                            half(_mm_unpackhi_epi8(d, zero), _mm_unpackhi_epi8(s, zero)));
}

// MixByte on 16 bytes: each product is 16 x 16 bits, put together from its
// low and high halves into 32-bit lanes. w and wd hold w and 65535 - w.
inline __m128i Mix16(__m128i p, __m128i q, __m128i w, __m128i wd) {
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi32(1);
    auto div = [&](__m128i x) { return _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(x, one), _mm_srli_epi32(x, 16)), 16); };
    auto half = [&](__m128i ph, __m128i qh) {
        const __m128i pl = _mm_mullo_epi16(ph, wd), pu = _mm_mulhi_epu16(ph, wd);
        const __m128i ql = _mm_mullo_epi16(qh, w), qu = _mm_mulhi_epu16(qh, w);
        const __m128i lo = _mm_add_epi32(_mm_unpacklo_epi16(pl, pu), _mm_unpacklo_epi16(ql, qu));
        const __m128i hi = _mm_add_epi32(_mm_unpackhi_epi16(pl, pu), _mm_unpackhi_epi16(ql, qu));
        return _mm_packs_epi32(div(lo), div(hi));  // 0..255: no saturation
    };
    return _mm_packus_epi16(half(_mm_unpacklo_epi8(p, zero), _mm_unpacklo_epi8(q, zero)),
                            half(_mm_unpackhi_epi8(p, zero), _mm_unpackhi_epi8(q, zero)));
}

inline __m128i Load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// f(d bytes at offset i, i) -> 16 result bytes over a row of at least 16
// bytes. Short rows are common, so no byte-by-byte tail: the last 16 bytes
// are worked out first, from the bytes as they are, and written last over
// whatever the whole blocks left of them.
template <class F>
void Rows16(uint8_t* d, size_t bytes, F&& f) {
    const __m128i tail = f(Load16(d + bytes - 16), bytes - 16);
    for (size_t i = 0; i + 16 <= bytes; i += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), f(Load16(d + i), i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + bytes - 16), tail);
}
#endif

}  // namespace

void BlendRowRounded(uint8_t* d, const uint8_t* s, size_t bytes, uint32_t a) {
    const uint16_t wa = static_cast<uint16_t>(a), wd = static_cast<uint16_t>(255 - a);
#if defined(__SSE2__)
    if (bytes >= 16) {
        const __m128i va = _mm_set1_epi16(short(wa)), vd = _mm_set1_epi16(short(wd));
        Rows16(d, bytes, [&](__m128i dv, size_t i) { return Blend16(dv, Load16(s + i), va, vd); });
        return;
    }
#endif
    for (size_t i = 0; i < bytes; ++i) d[i] = BlendByteRounded(d[i], s[i], wa, wd);
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
    const size_t bytes = 3 * pixels;
    const uint16_t wa = static_cast<uint16_t>(a), wd = static_cast<uint16_t>(255 - a);
#if defined(__SSE2__)
    if (bytes >= 16) {
        // Against one colour, a s + 128 is the same for every byte of a
        // channel: added as a constant, not multiplied out per byte. A
        // block of 16 bytes starts on channel 0, 1 or 2 (16 = 1 mod 3), so
        // there are three sets of constants, each two halves of 16-bit lanes.
        __m128i kLo[3], kHi[3];
        for (int p = 0; p < 3; ++p) {
            alignas(16) uint16_t k[16];
            for (int i = 0; i < 16; ++i) k[i] = static_cast<uint16_t>(wa * bgr[(p + i) % 3] + 128);
            kLo[p] = _mm_load_si128(reinterpret_cast<const __m128i*>(k));
            kHi[p] = _mm_load_si128(reinterpret_cast<const __m128i*>(k + 8));
        }
        const __m128i vd = _mm_set1_epi16(short(wd)), zero = _mm_setzero_si128();
        auto half = [&](__m128i dh, __m128i k) { return Div255Lanes(_mm_add_epi16(_mm_mullo_epi16(dh, vd), k)); };
        for (size_t r = 0; r < rows; ++r, d += stride)
            Rows16(d, bytes, [&](__m128i dv, size_t i) {
                const size_t p = i % 3;  // the channel the block starts on
                return _mm_packus_epi16(half(_mm_unpacklo_epi8(dv, zero), kLo[p]),
                                        half(_mm_unpackhi_epi8(dv, zero), kHi[p]));
            });
        return;
    }
#endif
    for (size_t r = 0; r < rows; ++r, d += stride)
        for (size_t i = 0; i < bytes; ++i) d[i] = BlendByteRounded(d[i], bgr[i % 3], wa, wd);
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
#if defined(__SSE2__)
    if (bytes >= 16) {
        const __m128i vw = _mm_set1_epi16(short(uint16_t(w))), vd = _mm_set1_epi16(short(uint16_t(wd)));
        Rows16(d, bytes, [&](__m128i dv, size_t i) { return Mix16(dv, Load16(s + i), vw, vd); });
        return;
    }
#endif
    for (size_t i = 0; i < bytes; ++i) d[i] = static_cast<uint8_t>(Div65535(wd * d[i] + w * s[i]));
}

void CompositeRowOver(uint8_t* dst3, const uint8_t* src4, size_t pixels, const uint8_t background[3]) {
    for (size_t i = 0; i < pixels; ++i, dst3 += 3, src4 += 4) {
        const uint32_t a = src4[3];
        for (int c = 0; c < 3; ++c) dst3[c] = static_cast<uint8_t>(Div255(src4[c] * a + background[c] * (255 - a) + 127));
    }
}

}  // namespace quenlo
