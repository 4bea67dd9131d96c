#include "imageio/PixelLimit.h"

#include "low/Errors.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

void CheckPixelLimit(int64_t width, int64_t height, const PixelLimit& limit) {
    if (width <= 0 || height <= 0) return;
    // What no map can hold keeps its own error, the limit comes after.
    TPixelMap::CheckedDataSize(width, height, 3);
    if (width * height > limit.maxPixels)
        throw EImageTooLarge(width, height, limit.maxPixels, limit.raiseWith);
}

}  // namespace quenlo
