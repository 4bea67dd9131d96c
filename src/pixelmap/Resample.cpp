#include "pixelmap/Resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "low/Errors.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUENLO_X86 1
#endif

namespace quenlo {

namespace {

// Every expression below is the reference's own, operation for operation,
// so that each double rounds the same way and the weights come out equal.
double BoxWeight(double x) { return x > -0.5 && x <= 0.5 ? 1.0 : 0.0; }

double BilinearWeight(double x) {
    if (x < 0.0) x = -x;
    return x < 1.0 ? 1.0 - x : 0.0;
}

double BicubicWeight(double x) {
    constexpr double a = -0.5;
    if (x < 0.0) x = -x;
    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1;
    if (x < 2.0) return (((x - 5) * x + 8) * x - 4) * a;
    return 0.0;
}

double Sinc(double x) {
    if (x == 0.0) return 1.0;
    x = x * std::numbers::pi;
    return std::sin(x) / x;
}

double LanczosWeight(double x) { return -3.0 <= x && x < 3.0 ? Sinc(x) * Sinc(x / 3) : 0.0; }

struct Kernel {
    double (*weight)(double);
    double support;
};

Kernel KernelOf(ResampleFilter filter) {
    switch (filter) {
        case ResampleFilter::Box: return {BoxWeight, 0.5};
        case ResampleFilter::Bilinear: return {BilinearWeight, 1.0};
        case ResampleFilter::Bicubic: return {BicubicWeight, 2.0};
        case ResampleFilter::Lanczos: break;
        case ResampleFilter::Nearest: break;
    }
    return {LanczosWeight, 3.0};
}

constexpr int kPrecisionBits = 22;

inline uint8_t Clip8(int32_t v) {
    v >>= kPrecisionBits;
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// One output pixel of the horizontal pass: count taps of 3 bytes from p.
inline void HorizontalPixel(const uint8_t* p, const int32_t* k, int32_t count, uint8_t* out) {
    int32_t s0 = 1 << (kPrecisionBits - 1), s1 = s0, s2 = s0;
    for (int32_t x = 0; x < count; ++x, p += 3) {
        s0 += p[0] * k[x];
        s1 += p[1] * k[x];
        s2 += p[2] * k[x];
    }
    out[0] = Clip8(s0);
    out[1] = Clip8(s1);
    out[2] = Clip8(s2);
}

// The weights of [in0, in1) of inSize positions mapped onto outSize.
TRowResampler::Axis MakeAxis(int32_t inSize, float in0, float in1, int32_t outSize, const Kernel& kernel) {
    double filterscale, scale;
    filterscale = scale = static_cast<double>(in1 - in0) / outSize;
    if (filterscale < 1.0) filterscale = 1.0;
    const double support = kernel.support * filterscale;
    TRowResampler::Axis axis;
    // No position takes more than the whole source.
    axis.ksize = static_cast<int>(std::min(std::ceil(support) * 2 + 1, static_cast<double>(inSize)));
    axis.first.resize(static_cast<size_t>(outSize));
    axis.count.resize(static_cast<size_t>(outSize));
    axis.weights.assign(static_cast<size_t>(outSize) * static_cast<size_t>(axis.ksize), 0);
    std::vector<double> k(static_cast<size_t>(axis.ksize));
    for (int32_t xx = 0; xx < outSize; ++xx) {
        const double center = in0 + (xx + 0.5) * scale;
        double ww = 0.0;
        const double ss = 1.0 / filterscale;
        int xmin = static_cast<int>(center - support + 0.5);
        if (xmin < 0) xmin = 0;
        int xmax = static_cast<int>(center + support + 0.5);
        if (xmax > inSize) xmax = inSize;
        xmax -= xmin;
        xmax = std::clamp(xmax, 0, axis.ksize);
        for (int x = 0; x < xmax; ++x) {
            const double w = kernel.weight((x + xmin - center + 0.5) * ss);
            k[static_cast<size_t>(x)] = w;
            ww += w;
        }
        int32_t* out = &axis.weights[static_cast<size_t>(xx) * static_cast<size_t>(axis.ksize)];
        for (int x = 0; x < xmax; ++x) {
            double v = k[static_cast<size_t>(x)];
            if (ww != 0.0) v /= ww;
            out[x] = static_cast<int32_t>(v < 0 ? -0.5 + v * (1 << kPrecisionBits) : 0.5 + v * (1 << kPrecisionBits));
        }
        axis.first[static_cast<size_t>(xx)] = xmin;
        axis.count[static_cast<size_t>(xx)] = xmax;
    }
    return axis;
}

// The nearest source position of each output position: the reference's
// scaling walk, which adds the step up in double rather than multiplying.
std::vector<int32_t> NearestTable(int32_t inSize, float in0, float in1, int32_t outSize) {
    const double step = static_cast<double>(in1 - in0) / outSize;
    double pos = in0 + step * 0.5;
    std::vector<int32_t> table(static_cast<size_t>(outSize));
    for (int32_t& t : table) {
        const int32_t i = pos < 0.0 ? -1 : static_cast<int32_t>(pos);
        t = i < inSize ? i : -1;
        pos += step;
    }
    return table;
}

#ifdef QUENLO_X86
bool HaveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}

// Each weight split as w = hi * 2^15 + lo (0 <= lo < 2^15), so that both
// halves fit the 16-bit multiply-add; (sum of hi) << 15 plus (sum of lo)
// wraps to the very 32-bit sum of the scalar loop. Laid out per output
// pixel, eight taps a step: hi 0-3, lo 0-3, hi 4-7, lo 4-7.
std::vector<int16_t> SplitWeights(const TRowResampler::Axis& axis, int steps) {
    const size_t n = axis.first.size();
    std::vector<int16_t> split(n * static_cast<size_t>(steps) * 16, 0);
    for (size_t xx = 0; xx < n; ++xx) {
        const int32_t* k = &axis.weights[xx * static_cast<size_t>(axis.ksize)];
        int16_t* out = &split[xx * static_cast<size_t>(steps) * 16];
        for (int x = 0; x < axis.count[xx]; ++x) {
            int16_t* at = out + (x / 8) * 16 + (x % 8 >= 4 ? 8 : 0) + x % 4;
            at[0] = static_cast<int16_t>(k[x] >> 15);
            at[4] = static_cast<int16_t>(k[x] & 0x7fff);
        }
    }
    return split;
}

// The horizontal sums eight taps a step: the low lane takes taps 0-3 (bytes
// 0-11 of the step), the high lane taps 4-7 (bytes 12-23); a byte shuffle
// makes 16-bit pairs (R0,R1,G0,G1,B0,B1,-,-) and (R2,R3,...) in each lane,
// multiply-added with the pairs of weights. A pixel whose last step would
// read past the row's inBytes is summed as the scalar loop does.
__attribute__((target("avx2"))) void HorizontalAvx2(const uint8_t* in, size_t inBytes, uint8_t* out,
                                                    const TRowResampler::Axis& axis, int steps, const int16_t* split) {
    const __m256i taps01 = _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,  //
                                            0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
    const __m256i taps23 = _mm256_setr_epi8(6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1,  //
                                            6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
    const __m128i half = _mm_set1_epi32(1 << (kPrecisionBits - 1));
    const size_t n = axis.first.size();
    for (size_t xx = 0; xx < n; ++xx) {
        const uint8_t* p = in + static_cast<size_t>(axis.first[xx]) * 3;
        const int32_t count = axis.count[xx], used = (count + 7) / 8;
        if (static_cast<size_t>(axis.first[xx]) * 3 + static_cast<size_t>(used) * 24 + 4 > inBytes) {
            HorizontalPixel(p, &axis.weights[xx * static_cast<size_t>(axis.ksize)], count, out + 3 * xx);
            continue;
        }
        const int16_t* k = split + xx * static_cast<size_t>(steps) * 16;
        __m256i hi = _mm256_setzero_si256(), lo = _mm256_setzero_si256();
        for (int g = 0; g < used; ++g, p += 24, k += 16) {
            const __m256i v = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
            const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(k));
            const __m256i a = _mm256_shuffle_epi8(v, taps01), b = _mm256_shuffle_epi8(v, taps23);
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(a, _mm256_shuffle_epi32(w, 0x00)));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(b, _mm256_shuffle_epi32(w, 0x55)));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(a, _mm256_shuffle_epi32(w, 0xaa)));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(b, _mm256_shuffle_epi32(w, 0xff)));
        }
        const __m256i both = _mm256_add_epi32(_mm256_slli_epi32(hi, 15), lo);
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
        s = _mm_srai_epi32(_mm_add_epi32(s, half), kPrecisionBits);
        s = _mm_packus_epi16(_mm_packs_epi32(s, s), s);  // clipped to 0..255 as Clip8 does
        const uint32_t px = static_cast<uint32_t>(_mm_cvtsi128_si32(s));
        std::memcpy(out + 3 * xx, &px, 3);
    }
}
#endif

#ifdef QUENLO_X86
// The vertical sums 16 bytes at a time, two source rows a step: their bytes
// interleaved into 16-bit pairs and multiply-added with the two rows'
// weights, split in halves as above. Rows and out are padded to 16 bytes.
void VerticalSse2(const uint8_t* const* rows, const int32_t* k, int32_t count, size_t bytes, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi32(1 << (kPrecisionBits - 1));
    auto pair = [](int32_t a, int32_t b) {
        return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16 |
                                                   static_cast<uint16_t>(a)));
    };
    for (size_t at = 0; at < bytes; at += 16) {
        __m128i hi[4] = {zero, zero, zero, zero}, lo[4] = {half, half, half, half};
        for (int32_t j = 0; j < count; j += 2) {
            const bool two = j + 1 < count;
            const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[j] + at));
            const __m128i r1 = two ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[j + 1] + at)) : zero;
            const int32_t k0 = k[j], k1 = two ? k[j + 1] : 0;
            const __m128i kh = pair(k0 >> 15, k1 >> 15), kl = pair(k0 & 0x7fff, k1 & 0x7fff);
            const __m128i l = _mm_unpacklo_epi8(r0, r1), h = _mm_unpackhi_epi8(r0, r1);
            const __m128i q[4] = {_mm_unpacklo_epi8(l, zero), _mm_unpackhi_epi8(l, zero), _mm_unpacklo_epi8(h, zero),
                                  _mm_unpackhi_epi8(h, zero)};
            for (int i = 0; i < 4; ++i) {
                hi[i] = _mm_add_epi32(hi[i], _mm_madd_epi16(q[i], kh));
                lo[i] = _mm_add_epi32(lo[i], _mm_madd_epi16(q[i], kl));
            }
        }
        __m128i s[4];
        for (int i = 0; i < 4; ++i) s[i] = _mm_srai_epi32(_mm_add_epi32(_mm_slli_epi32(hi[i], 15), lo[i]), kPrecisionBits);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at),
                         _mm_packus_epi16(_mm_packs_epi32(s[0], s[1]), _mm_packs_epi32(s[2], s[3])));
    }
}
#endif

void CheckSizes(int64_t inW, int64_t inH, int64_t outW, int64_t outH) {
    if (inW <= 0 || inH <= 0) throw EInvalidImageSize(inW, inH);
    if (outW <= 0 || outH <= 0) throw EInvalidImageSize(outW, outH);
}

}  // namespace

TRowResampler::TRowResampler(int32_t inWidth, int32_t inHeight, int32_t outWidth, int32_t outHeight,
                             ResampleFilter filter, TRowSink& out)
    : TRowResampler(inWidth, inHeight, outWidth, outHeight, filter,
                    ResampleBox{0, 0, static_cast<float>(inWidth), static_cast<float>(inHeight)}, out) {}

TRowResampler::TRowResampler(int32_t inWidth, int32_t inHeight, int32_t outWidth, int32_t outHeight,
                             ResampleFilter filter, const ResampleBox& box, TRowSink& out)
    : inW_(inWidth), inH_(inHeight), outW_(outWidth), outH_(outHeight), filter_(filter), out_(out) {
    CheckSizes(inW_, inH_, outW_, outH_);
    if (!(box.x0 >= 0 && box.y0 >= 0 && box.x1 <= static_cast<float>(inW_) && box.y1 <= static_cast<float>(inH_) &&
          box.x0 < box.x1 && box.y0 < box.y1))
        throw EInvalidImageSize(inW_, inH_);
    needH_ = outW_ != inW_ || box.x0 != 0 || box.x1 != static_cast<float>(outW_);
    needV_ = outH_ != inH_ || box.y0 != 0 || box.y1 != static_cast<float>(outH_);
    outBytes_ = static_cast<size_t>(outW_) * 3;
    stride_ = (outBytes_ + 15) & ~size_t{15};  // whole 16-byte steps for the vector path
    line_.resize(stride_);
    if (filter_ == ResampleFilter::Nearest) {
        nearX_ = NearestTable(inW_, box.x0, box.x1, outW_);
        nearY_ = NearestTable(inH_, box.y0, box.y1, outH_);
        return;
    }
    const Kernel kernel = KernelOf(filter_);
    if (needH_) {
        h_ = MakeAxis(inW_, box.x0, box.x1, outW_, kernel);
#ifdef QUENLO_X86
        if (HaveAvx2()) {
            steps_ = (h_.ksize + 7) / 8;
            split_ = SplitWeights(h_, steps_);
        }
#endif
    }
    if (needV_) {
        v_ = MakeAxis(inH_, box.y0, box.y1, outH_, kernel);
        ringRows_ = std::max(1, *std::max_element(v_.count.begin(), v_.count.end()));
        ring_.resize(static_cast<size_t>(ringRows_) * stride_);
        acc_.resize(outBytes_);
        rowAt_.resize(static_cast<size_t>(ringRows_));
    }
}

TRowResampler::~TRowResampler() = default;

void TRowResampler::Horizontal(const uint8_t* in, uint8_t* out) {
    if (!needH_) {
        std::memcpy(out, in, outBytes_);
        return;
    }
#ifdef QUENLO_X86
    if (!split_.empty()) {
        HorizontalAvx2(in, static_cast<size_t>(inW_) * 3, out, h_, steps_, split_.data());
        return;
    }
#endif
    const size_t ksize = static_cast<size_t>(h_.ksize);
    for (int32_t xx = 0; xx < outW_; ++xx)
        HorizontalPixel(in + static_cast<size_t>(h_.first[static_cast<size_t>(xx)]) * 3,
                        &h_.weights[static_cast<size_t>(xx) * ksize], h_.count[static_cast<size_t>(xx)], out + 3 * xx);
}

void TRowResampler::Emit(const uint8_t* row) {
    out_.Rows(row, 1);
    ++next_;
}

void TRowResampler::Rows(const uint8_t* rows, size_t n) {
    const size_t inBytes = static_cast<size_t>(inW_) * 3;
    for (size_t r = 0; r < n && seen_ < inH_; ++r, rows += inBytes) {
        const int32_t y = seen_++;
        const bool last = seen_ == inH_;
        if (filter_ == ResampleFilter::Nearest) {
            // Rows before the source (never, but for rounding) and past it stay black, as in the reference.
            while (next_ < outH_ && (nearY_[static_cast<size_t>(next_)] <= y || last)) {
                const int32_t from = nearY_[static_cast<size_t>(next_)];
                if (from == y)
                    for (int32_t x = 0; x < outW_; ++x) {
                        const int32_t sx = nearX_[static_cast<size_t>(x)];
                        if (sx >= 0) std::memcpy(&line_[3 * static_cast<size_t>(x)], rows + 3 * static_cast<size_t>(sx), 3);
                        else std::memset(&line_[3 * static_cast<size_t>(x)], 0, 3);
                    }
                else
                    std::fill(line_.begin(), line_.end(), 0);
                Emit(line_.data());
            }
            continue;
        }
        if (!needV_) {
            Horizontal(rows, line_.data());
            Emit(line_.data());
            continue;
        }
        const int32_t lo = v_.first.front(), hi = v_.first.back() + v_.count.back();
        if (y >= lo && y < hi) Horizontal(rows, &ring_[static_cast<size_t>(y % ringRows_) * stride_]);
        const size_t ksize = static_cast<size_t>(v_.ksize);
        while (next_ < outH_) {
            const size_t i = static_cast<size_t>(next_);
            const int32_t first = v_.first[i], count = v_.count[i];
            if (first + count - 1 > y && !last) break;
            const int32_t* k = &v_.weights[i * ksize];
            for (int32_t j = 0; j < count; ++j)
                rowAt_[static_cast<size_t>(j)] = &ring_[static_cast<size_t>((first + j) % ringRows_) * stride_];
#ifdef QUENLO_X86
            VerticalSse2(rowAt_.data(), k, count, stride_, line_.data());
#else
            std::fill(acc_.begin(), acc_.end(), 1 << (kPrecisionBits - 1));
            for (int32_t j = 0; j < count; ++j)
                for (size_t b = 0; b < outBytes_; ++b) acc_[b] += rowAt_[static_cast<size_t>(j)][b] * k[j];
            for (size_t b = 0; b < outBytes_; ++b) line_[b] = Clip8(acc_[b]);
#endif
            Emit(line_.data());
        }
    }
}

TRowReducer::TRowReducer(int32_t inWidth, int32_t inHeight, int32_t fx, int32_t fy, int32_t x0, int32_t y0,
                         int32_t x1, int32_t y1, TRowSink& out)
    : inW_(inWidth), inH_(inHeight), fx_(fx), fy_(fy), x0_(x0), y0_(y0), x1_(x1), y1_(y1),
      outW_(fx > 0 ? (x1 - x0 + fx - 1) / fx : 0), outH_(fy > 0 ? (y1 - y0 + fy - 1) / fy : 0), out_(out) {
    if (fx < 1 || fy < 1 || x0 < 0 || y0 < 0 || x1 > inW_ || y1 > inH_ || x0 >= x1 || y0 >= y1)
        throw EInvalidImageSize(inW_, inH_);
    sums_.assign(static_cast<size_t>(outW_) * 3, 0);
    line_.resize(sums_.size());
}

void TRowReducer::Rows(const uint8_t* rows, size_t n) {
    const size_t inBytes = static_cast<size_t>(inW_) * 3;
    for (size_t r = 0; r < n && seen_ < inH_; ++r, rows += inBytes) {
        const int32_t y = seen_++;
        if (y < y0_ || y >= y1_) continue;
        const uint8_t* p = rows + static_cast<size_t>(x0_) * 3;
        uint32_t* s = sums_.data();
        for (int32_t x = x0_; x < x1_; s += 3) {
            const int32_t end = std::min(x + fx_, x1_);
            uint32_t s0 = 0, s1 = 0, s2 = 0;
            for (; x < end; ++x, p += 3) {
                s0 += p[0];
                s1 += p[1];
                s2 += p[2];
            }
            s[0] += s0;
            s[1] += s1;
            s[2] += s2;
        }
        if (++gathered_ == fy_ || y == y1_ - 1) Flush(gathered_);
    }
}

void TRowReducer::Flush(int32_t rowsIn) {
    // The reference's rounding: (sum + d / 2) * m >> 24 with m = 2^32 / (256 d)
    // taken in single precision and truncated.
    auto multiplier = [](uint32_t d) { return static_cast<uint32_t>(4294967296.0f / static_cast<float>(256u * d)); };
    const uint32_t full = static_cast<uint32_t>(fx_) * static_cast<uint32_t>(rowsIn);
    const uint32_t tail = static_cast<uint32_t>((x1_ - x0_) - (outW_ - 1) * fx_) * static_cast<uint32_t>(rowsIn);
    for (int32_t ox = 0; ox < outW_; ++ox) {
        const uint32_t d = ox == outW_ - 1 ? tail : full;
        const uint32_t m = multiplier(d), amend = d / 2;
        for (int c = 0; c < 3; ++c) {
            const size_t i = static_cast<size_t>(ox) * 3 + static_cast<size_t>(c);
            line_[i] = static_cast<uint8_t>(((sums_[i] + amend) * m) >> 24);
        }
    }
    std::fill(sums_.begin(), sums_.end(), 0);
    gathered_ = 0;
    out_.Rows(line_.data(), 1);
}

ThumbnailPlan PlanThumbnail(int64_t w, int64_t h, int64_t boxW, int64_t boxH, bool jpeg) {
    ThumbnailPlan plan;
    if (w <= 0 || h <= 0 || (boxW >= w && boxH >= h)) return plan;
    // round_aspect: of floor and ceil the one whose aspect errs least (floor on a tie), at least 1.
    const double aspect = static_cast<double>(w) / static_cast<double>(h);
    double x = static_cast<double>(boxW), y = static_cast<double>(boxH);
    if (x / y >= aspect) {
        const double v = y * aspect, lo = std::floor(v), hi = std::ceil(v);
        x = std::max(std::abs(aspect - lo / y) <= std::abs(aspect - hi / y) ? lo : hi, 1.0);
    } else {
        const double v = x / aspect, lo = std::floor(v), hi = std::ceil(v);
        auto err = [&](double n) { return n == 0 ? 0.0 : std::abs(aspect - x / n); };
        y = std::max(err(lo) <= err(hi) ? lo : hi, 1.0);
    }
    plan.resize = true;
    plan.width = static_cast<int32_t>(x);
    plan.height = static_cast<int32_t>(y);
    if (jpeg) {
        // draft(): the largest of 8, 4, 2 that leaves at least twice the size.
        const double scale = std::min(std::floor(static_cast<double>(w) / (x * 2.0)),
                                      std::floor(static_cast<double>(h) / (y * 2.0)));
        for (int s : {8, 4, 2, 1})
            if (scale >= s) {
                plan.scale = s;
                break;
            }
    }
    return plan;
}

TThumbnailChain::TThumbnailChain(int32_t w, int32_t h, int64_t fullW, int64_t fullH, int scale, int32_t outW,
                                 int32_t outH, ResampleFilter filter, TRowSink& out) {
    CheckSizes(w, h, outW, outH);
    // The decoded image stands for the full one: a box of fullW / scale, not its rounded-up size.
    double box[4] = {0, 0, static_cast<double>(fullW) / scale, static_cast<double>(fullH) / scale};
    const int fx = std::max(1, static_cast<int>((box[2] - box[0]) / outW / 2.0));
    const int fy = std::max(1, static_cast<int>((box[3] - box[1]) / outH / 2.0));
    int32_t rw = w, rh = h;
    int32_t reduce[4] = {0, 0, w, h};
    const bool reducing = filter != ResampleFilter::Nearest && (fx > 1 || fy > 1);
    if (reducing) {
        // The box grown by what the filter reaches beyond it, as whole pixels.
        const double support = KernelOf(filter).support - 0.5;
        const double sx = support * ((box[2] - box[0]) / outW), sy = support * ((box[3] - box[1]) / outH);
        reduce[0] = std::max(0, static_cast<int32_t>(box[0] - sx));
        reduce[1] = std::max(0, static_cast<int32_t>(box[1] - sy));
        reduce[2] = static_cast<int32_t>(std::min<double>(w, std::ceil(box[2] + sx)));
        reduce[3] = static_cast<int32_t>(std::min<double>(h, std::ceil(box[3] + sy)));
        rw = (reduce[2] - reduce[0] + fx - 1) / fx;
        rh = (reduce[3] - reduce[1] + fy - 1) / fy;
        box[0] = (box[0] - reduce[0]) / fx;
        box[1] = (box[1] - reduce[1]) / fy;
        box[2] = (box[2] - reduce[0]) / fx;
        box[3] = (box[3] - reduce[1]) / fy;
    }
    const ResampleBox fbox{static_cast<float>(box[0]), static_cast<float>(box[1]), static_cast<float>(box[2]),
                           static_cast<float>(box[3])};
    resampler_ = std::make_unique<TRowResampler>(rw, rh, outW, outH, filter, fbox, out);
    if (reducing)
        reducer_ = std::make_unique<TRowReducer>(w, h, fx, fy, reduce[0], reduce[1], reduce[2], reduce[3], *resampler_);
}

TThumbnailChain::~TThumbnailChain() = default;

}  // namespace quenlo
