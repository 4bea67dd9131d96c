#pragma once
// Helpers shared by the harnesses: float picking and the caps that keep one
// run small. The caps only keep the fuzzer fast and inside its memory
// limit; the code under test keeps its own limits.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>

#include "imageio/MetaProbe.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "scene/Velora.h"
#include "scene/kinds/SimpleVelore.h"

namespace quenlo::fuzz {

// Largest image a harness lets a decoder or a node allocate: legal sizes up
// to the 2 GB map limit exist, but one of them per run would only measure
// memset.
inline constexpr int64_t kMaxPixels = int64_t(1) << 20;

// Any float, biased towards the awkward ones: raw bits (NaN payloads,
// denormals), the special values, or a plain number in [lo, hi].
inline float AnyFloat(FuzzedDataProvider& in, float lo, float hi) {
    static constexpr float kInf = std::numeric_limits<float>::infinity();
    static constexpr float kSpecial[] = {
        std::numeric_limits<float>::quiet_NaN(), kInf, -kInf, 0.0f, -0.0f,
        std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest(),
        std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
        2147483648.0f, -2147483648.0f, 33554432.0f, -33554432.0f, 1e30f, -1e30f,
        0.5f, -0.5f, 1.0f, -1.0f, 1.0f - 0x1p-24f};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
            const uint32_t bits = in.ConsumeIntegral<uint32_t>();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        case 1:
            return kSpecial[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpecial) - 1)];
        default:
            return in.ConsumeFloatingPointInRange<float>(lo, hi);
    }
}

// Aborts unless all n bytes at p are addressable: a buffer shorter than
// its claimed size shows up without reading it byte by byte.
inline void CheckAddressable(const uint8_t* p, int64_t n) {
    if (n <= 0) return;
    if (const void* bad = __asan_region_is_poisoned(const_cast<uint8_t*>(p), size_t(n))) {
        std::fprintf(stderr, "buffer of %lld bytes at %p is poisoned from %p\n", (long long)n,
                     static_cast<const void*>(p), bad);
        std::abort();
    }
}

// Pixels the node kinds of one run may still allocate.
inline int64_t& PixelBudget() {
    static int64_t budget = 0;
    return budget;
}

// A node kind whose maps count against PixelBudget: a size beyond it is
// refused the way the map refuses one beyond 32 bits. Registered under the
// kind's own name ahead of the real kind, so scripts create these.
template <class K>
class TBudgetKind : public K {
public:
    // One map of a node; scripts can ask for many, and "airbrush" or "wipe"
    // then cost a pass over it each.
    static constexpr int64_t kMaxNodePixels = int64_t(1) << 16;

    void SetSize(int32_t w, int32_t h) override {
        if (w > 0 && h > 0) {
            const int64_t n = int64_t(w) * h;
            if (n > kMaxNodePixels || n > PixelBudget()) throw EInvalidImageSize(w, h);
            PixelBudget() -= n;
        }
        K::SetSize(w, h);
    }

protected:
    ~TBudgetKind() override = default;
};

// The pixel-holding kinds on a budget, registered ahead of the real kinds so
// that their names find these first.
inline void RegisterBudgetKinds() {
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxImg>>());
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxAnk>>());
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxCel>>());
    TVelora::RegisterKind(ClassOf<TBudgetKind<TVlxStencil>>());
    RegisterSimpleVeloreKinds();
}

// Aborts unless a decoded 24-bit (or ARGB) map is whole: a real size, a
// byte count that matches it, and every byte addressable.
template <class TMap>
inline void CheckDecoded(const TMap& map) {
    if (!map || map->Width() <= 0 || map->Height() <= 0 ||
        int64_t(map->DataSize()) != int64_t(map->Width()) * map->Height() * (map->Kind() == PixelKind::ARGB ? 4 : 3))
        std::abort();
    CheckAddressable(map->Data(), map->DataSize());
}

// The header probe, which throws nothing, on the same bytes a decoder gets.
inline void Probe(const uint8_t* data, size_t size) {
    std::optional<ImageKind> kind;
    if (const std::optional<ImageMeta> meta = ProbeImageMeta(std::span<const uint8_t>(data, size), &kind))
        if (!kind || meta->pages < 1 || meta->icc.size() > (16u << 20)) std::abort();
}

// One run of an image decoder taking LoadOptions: metadata asked for, and
// alpha kept or laid over as the input's last bit says. It either throws
// one of the library's errors or returns a map whose buffer matches its size.
template <class Decode>
int DecodeImage(const uint8_t* data, size_t size, Decode decode) {
    Probe(data, size);
    ImageMeta meta;
    LoadOptions options;
    options.limit.maxPixels = kMaxPixels;
    options.meta = &meta;
    options.keepAlpha = size > 0 && data[size - 1] & 1;
    try {
        CheckDecoded(decode(std::span<const uint8_t>(data, size), options));
    } catch (const EQuenlo&) {
    }
    return 0;
}

}  // namespace quenlo::fuzz
