#include "scene/PointingMsg.h"

#include "low/VeloreLow.h"

namespace quenlo {

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
