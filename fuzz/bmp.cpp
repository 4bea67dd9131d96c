// DecodeBmp on arbitrary bytes: it either throws one of the library's
// errors or returns a map whose buffer matches its size.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "FuzzCommon.h"
#include "imageio/BmpReader.h"

using namespace quenlo;

namespace {

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// RLE streams may legally describe any size up to the map limit, so such
// headers are only taken up to the fuzzing cap. Other layouts must be backed
// by the file, which the reader checks itself.
bool RleTooLarge(std::span<const uint8_t> f) {
    if (f.size() < 14 + 40 || f[0] != 'B' || f[1] != 'M') return false;
    const uint32_t hs = U32(&f[14]);
    if (hs < 40) return false;  // no compression field
    const uint32_t comp = U32(&f[30]);
    if (comp != 1 && comp != 2) return false;
    const int64_t w = int32_t(U32(&f[18])), h = int32_t(U32(&f[22]));
    return std::llabs(w) * std::llabs(h) > fuzz::kMaxPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> file(data, size);
    if (RleTooLarge(file)) return -1;
    fuzz::Probe(data, size);
    try {
        const auto map = DecodeBmp(file);
        fuzz::CheckDecoded(map);
    } catch (const EQuenlo&) {
    }
    return 0;
}
