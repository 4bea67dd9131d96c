// DecodePng on arbitrary bytes: it either throws one of the library's
// errors or returns a map whose buffer matches its size.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "FuzzCommon.h"
#include "imageio/PngReader.h"

using namespace quenlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PixelLimit limit;
    limit.maxPixels = fuzz::kMaxPixels;
    try {
        const auto map = DecodePng(std::span<const uint8_t>(data, size), limit);
        fuzz::CheckDecoded(map);
    } catch (const EQuenlo&) {
    }
    return 0;
}
