// DecodeWebP on arbitrary bytes (still, animated, alpha), with alpha laid over and kept in turn: it
// either throws one of the library's errors or returns a map whose buffer
// matches its size.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "FuzzCommon.h"
#include "imageio/WebpReader.h"

using namespace quenlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ImageMeta meta;
    LoadOptions options;
    options.limit.maxPixels = fuzz::kMaxPixels;
    options.meta = &meta;
    options.keepAlpha = size > 0 && data[size - 1] & 1;
    try {
        const auto map = DecodeWebP(std::span<const uint8_t>(data, size), options);
        fuzz::CheckDecoded(map);
    } catch (const EQuenlo&) {
    }
    return 0;
}
