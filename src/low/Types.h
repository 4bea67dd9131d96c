#pragma once
// Plain geometry records shared by the whole library. y grows downward;
// rectangles are inclusive on all four edges.
#include <cstdint>
#include <vector>

namespace quenlo {

struct TPoint {
    int32_t X = 0;
    int32_t Y = 0;
    friend bool operator==(const TPoint&, const TPoint&) = default;
};

struct TPointF {
    float X = 0;
    float Y = 0;
    friend bool operator==(const TPointF&, const TPointF&) = default;
};

using TArrayOfPointF = std::vector<TPointF>;

// Inclusive: a rectangle of width W at Left spans Left .. Left + W - 1.
struct TRect {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;
    friend bool operator==(const TRect&, const TRect&) = default;
};

}  // namespace quenlo
