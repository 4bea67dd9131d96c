#include "pixelmap/Color.h"

#include <algorithm>

namespace quenlo {

TColor ColorFromRGB(int r, int g, int b) {
    auto c = [](int v) { return static_cast<TColor>(std::clamp(v, 0, 255)); };
    return c(r) | c(g) << 8 | c(b) << 16;
}

}  // namespace quenlo
