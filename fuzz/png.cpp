// DecodePngImage on arbitrary bytes: it either throws one of the library's
// errors or returns a map whose buffer matches its size.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "FuzzCommon.h"
#include "imageio/PngReader.h"

using namespace quenlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::DecodeImage(data, size, [](std::span<const uint8_t> file, const LoadOptions& options) {
        return DecodePngImage(file, options);
    });
}
