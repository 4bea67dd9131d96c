#include "scene/PointingMsg.h"

#include <cmath>
#include <limits>

namespace quenlo {

namespace {

// Nearest, halves to even; clamped to the 32-bit range.
int32_t RoundToInt32(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::nearbyint(v);  // default mode: to nearest, ties to even
    if (r <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (r >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return int32_t(r);
}

}  // namespace

void TPointingMsg::SetPointer(int32_t x, int32_t y, bool rightDown, bool leftDown) {
    Pos = {x, y};
    Exact = {float(x), float(y)};
    RightDown = rightDown;
    LeftDown = leftDown;
}

void TPointingMsg::ScaleToScene(int32_t num, int32_t den) {
    if (num == 0) {
        Exact = {float(Pos.X), float(Pos.Y)};
        return;
    }
    // The product in 64 bits cannot overflow; the float keeps the zoom's fraction.
    Exact.X = float(double(int64_t(Pos.X) * den) / num);
    Exact.Y = float(double(int64_t(Pos.Y) * den) / num);
    Pos = {RoundToInt32(Exact.X), RoundToInt32(Exact.Y)};
}

}  // namespace quenlo
