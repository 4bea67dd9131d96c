#pragma once
// Bounds what libheif's decoders may allocate for one file. libheif sizes
// its decoders' pictures from the bitstream, not from the boxes whose size
// the pixel limit and the memory budget were checked against; the guard
// decodes through the same decoders but refuses, before the decoder sees
// it, a bitstream whose parameter headers ask for more than the allowance.
#include <cstdint>

struct heif_context;

namespace quenlo {

class THeifGuard {
public:
    // maxPixels: the largest picture a decoder may be asked for. Waits
    // while as many guards as there are slots (64) are alive.
    explicit THeifGuard(uint64_t maxPixels);
    ~THeifGuard();
    THeifGuard(const THeifGuard&) = delete;
    THeifGuard& operator=(const THeifGuard&) = delete;

    // Makes ctx decode HEVC and AV1 through the guard.
    void Register(heif_context* ctx) const;

private:
    int slot_;
};

}  // namespace quenlo
