#include "imageio/PngFilter.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quenlo {

namespace {

// The PNG filter types.
enum : uint8_t { kNone, kSub, kUp, kAverage, kPaeth };

// |d| of a filtered byte read as signed: the distance to 0 either way.
inline uint32_t Magnitude(uint8_t d) { return d < 128 ? d : 256u - d; }

inline int Paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Byte i filtered with type f: x is the byte, a the one a pixel to its left,
// b the one above, c the one above a.
inline uint8_t Residual(uint8_t f, int x, int a, int b, int c) {
    switch (f) {
        case kNone: return static_cast<uint8_t>(x);
        case kSub: return static_cast<uint8_t>(x - a);
        case kUp: return static_cast<uint8_t>(x - b);
        case kAverage: return static_cast<uint8_t>(x - ((a + b) >> 1));
        default: return static_cast<uint8_t>(x - Paeth(a, b, c));
    }
}

// Bytes [from, n) of each filter summed into sum.
void SumFrom(const uint8_t* x, const uint8_t* p, size_t from, size_t n, size_t bpp, uint64_t sum[5]) {
    for (size_t i = from; i < n; ++i)
        for (uint8_t f = kNone; f <= kPaeth; ++f) sum[f] += Magnitude(Residual(f, x[i], x[i - bpp], p[i], p[i - bpp]));
}

void ApplyFrom(uint8_t f, const uint8_t* x, const uint8_t* p, size_t from, size_t n, size_t bpp, uint8_t* o) {
    for (size_t i = from; i < n; ++i) o[i] = Residual(f, x[i], x[i - bpp], p[i], p[i - bpp]);
}

uint8_t Least(const uint64_t sum[5]) {
    uint8_t best = kNone;
    for (uint8_t f = kSub; f <= kPaeth; ++f)
        if (sum[f] < sum[best]) best = f;
    return best;
}

#if defined(__SSE2__)
// Sixteen bytes at a time. The Paeth choice is made in 16-bit lanes, where
// a + b - 2c cannot overflow; the rest stays in bytes.
inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Each byte's magnitude read as signed, min(d, 256 - d), summed across the
// register into its two 64-bit halves.
inline __m128i SumMagnitudes(__m128i d) {
    const __m128i zero = _mm_setzero_si128();
    return _mm_sad_epu8(_mm_min_epu8(d, _mm_sub_epi8(zero, d)), zero);
}

// (a + b) >> 1 per byte: the byte average rounds up, so take back the odd bit.
inline __m128i Average(__m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

inline __m128i Select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

inline __m128i PaethHalf(__m128i a, __m128i b, __m128i c) {
    const __m128i pa = Abs16(_mm_sub_epi16(b, c)), pb = Abs16(_mm_sub_epi16(a, c));
    const __m128i pc = Abs16(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
    const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    return Select(notA, Select(_mm_cmpgt_epi16(pb, pc), c, b), a);
}

inline __m128i PaethPredictor(__m128i a, __m128i b, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = PaethHalf(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero));
    const __m128i hi = PaethHalf(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero));
    return _mm_packus_epi16(lo, hi);
}

// Sums of the whole blocks of 16; returns the bytes they cover.
size_t SumBlocks(const uint8_t* x, const uint8_t* p, size_t n, size_t bpp, uint64_t sum[5]) {
    __m128i s[5] = {};
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = Load(x + i), a = Load(x + i - bpp), b = Load(p + i), c = Load(p + i - bpp);
        s[kNone] = _mm_add_epi64(s[kNone], SumMagnitudes(v));
        s[kSub] = _mm_add_epi64(s[kSub], SumMagnitudes(_mm_sub_epi8(v, a)));
        s[kUp] = _mm_add_epi64(s[kUp], SumMagnitudes(_mm_sub_epi8(v, b)));
        s[kAverage] = _mm_add_epi64(s[kAverage], SumMagnitudes(_mm_sub_epi8(v, Average(a, b))));
        s[kPaeth] = _mm_add_epi64(s[kPaeth], SumMagnitudes(_mm_sub_epi8(v, PaethPredictor(a, b, c))));
    }
    for (int f = 0; f < 5; ++f) {
        uint64_t halves[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), s[f]);
        sum[f] += halves[0] + halves[1];
    }
    return i;
}

size_t ApplyBlocks(uint8_t f, const uint8_t* x, const uint8_t* p, size_t n, size_t bpp, uint8_t* o) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = Load(x + i), a = Load(x + i - bpp), b = Load(p + i);
        const __m128i pred = f == kSub       ? a
                             : f == kUp      ? b
                             : f == kAverage ? Average(a, b)
                                             : PaethPredictor(a, b, Load(p + i - bpp));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + i), _mm_sub_epi8(v, pred));
    }
    return i;
}
#endif

}  // namespace

void FilterPngRowReference(const uint8_t* row, const uint8_t* above, size_t n, size_t bpp, uint8_t* out) {
    uint64_t sum[5] = {};
    SumFrom(row, above, 0, n, bpp, sum);
    out[0] = Least(sum);
    ApplyFrom(out[0], row, above, 0, n, bpp, out + 1);
}

void FilterPngRow(const uint8_t* row, const uint8_t* above, size_t n, size_t bpp, uint8_t* out) {
#if defined(__SSE2__)
    uint64_t sum[5] = {};
    SumFrom(row, above, SumBlocks(row, above, n, bpp, sum), n, bpp, sum);
    const uint8_t f = out[0] = Least(sum);
    if (f == kNone) std::memcpy(out + 1, row, n);
    else ApplyFrom(f, row, above, ApplyBlocks(f, row, above, n, bpp, out + 1), n, bpp, out + 1);
#else
    FilterPngRowReference(row, above, n, bpp, out);
#endif
}

}  // namespace quenlo
