// Anti-aliased drawing: sub-pixel dots, dotted lines and soft round spots.
// All writes go through the virtual BlendPixel/BlendPixelF so every kind of
// map works; arithmetic is 32-bit float as the weights are defined in it.
#include <algorithm>
#include <cmath>

#include "low/Low.h"
#include "pixelmap/pixelmap.h"

namespace quenlo {

namespace {

// max/min that give the second operand for a NaN first one.
inline float MaxF(float a, float b) { return a > b ? a : b; }
inline float MinF(float a, float b) { return a < b ? a : b; }

// Alpha in (0, 1] (callers checked > 0) as a blend weight 0..65535.
inline uint32_t DotWeight(float alpha) {
    if (alpha > 1.0f) alpha = 1.0f;
    return static_cast<uint32_t>(std::nearbyint(alpha * 65535.0f));
}

// A dot at (x, y) lands on pixels floor(x) and floor(x) + 1 (likewise y), so
// it can reach the map only for x in [-1, Width) and y in [-1, Height).
inline bool DotReaches(const TPixelMap& m, float x, float y) {
    return x >= -1.0f && static_cast<double>(x) < m.Width() && y >= -1.0f &&
           static_cast<double>(y) < m.Height();
}

// The bilinear dot of weight a: four blends with 1/128-pixel fractions and
// products shifted right by 14. Only for dots that DotReaches, which keeps
// the float-to-int conversions in range.
void PlotDot(TPixelMap& m, float x, float y, uint32_t a) {
    const float fx0 = std::floor(x), fy0 = std::floor(y);
    const int32_t x0 = static_cast<int32_t>(fx0), y0 = static_cast<int32_t>(fy0);
    const uint32_t fx = static_cast<uint32_t>(std::nearbyint((x - fx0) * 128.0f));
    const uint32_t fy = static_cast<uint32_t>(std::nearbyint((y - fy0) * 128.0f));
    const uint32_t gx = 128 - fx, gy = 128 - fy;
    m.BlendPixel(x0, y0, (gx * gy * a) >> 14);
    m.BlendPixel(x0 + 1, y0, (fx * gy * a) >> 14);
    m.BlendPixel(x0, y0 + 1, (gx * fy * a) >> 14);
    m.BlendPixel(x0 + 1, y0 + 1, (fx * fy * a) >> 14);
}

// Most dots a line may step through before it is clipped to the map first.
// Clipping moves where the dots fall, so it is kept for lines that would
// otherwise take unbounded time; any line that fits the map stays below.
int64_t MaxLineDots(const TPixelMap& m) {
    return std::max<int64_t>(int64_t{1} << 22, 8 * (int64_t{m.Width()} + m.Height() + 8));
}

// The dotted line of DrawLineAA on finite end points. Returns false, drawing
// nothing, when it needs more than MaxLineDots dots.
bool DrawDots(TPixelMap& m, bool skipFirst, float x1, float y1, float x2, float y2, uint32_t a) {
    const float dx = x2 - x1, dy = y2 - y1;
    const float steps = std::trunc(2.5f * std::sqrt(dx * dx + dy * dy));
    if (!(steps < static_cast<float>(MaxLineDots(m)))) return false;  // also inf
    const int64_t n = static_cast<int64_t>(steps) + 1;

    // Every dot lies between the end points, up to the rounding that the
    // running sums collect; a line that stays clear of the map by more than
    // that bound plots nothing.
    const double reach = std::fabs(double{x1}) + std::fabs(double{x2}) + std::fabs(double{y1}) +
                         std::fabs(double{y2}) + 1.0;
    const double slack = static_cast<double>(n + 2) * reach * 0x1p-20 + 1.0;
    if (std::max(x1, x2) + slack < -1.0 || std::min(x1, x2) - slack >= m.Width() ||
        std::max(y1, y2) + slack < -1.0 || std::min(y1, y2) - slack >= m.Height())
        return true;

    const float sx = dx / static_cast<float>(n), sy = dy / static_cast<float>(n);
    float x = x1, y = y1;
    int64_t count = n + 1;
    if (skipFirst) {
        x += sx;
        y += sy;
        count = n;
    }
    const float w = static_cast<float>(m.Width()), h = static_cast<float>(m.Height());
    for (int64_t k = 0; k < count; ++k) {
        if (DotReaches(m, x, y)) {
            PlotDot(m, x, y, a);
        } else if ((x >= w && sx >= 0) || (x < -1.0f && sx <= 0) || (y >= h && sy >= 0) ||
                   (y < -1.0f && sy <= 0)) {
            // The running sums move monotonically, so the line has left the map for good.
            break;
        }
        x += sx;
        y += sy;
    }
    return true;
}

// Cuts the segment p + t * d, t in [0, 1], to the box [lo, hi] (Liang-Barsky).
// An end that is cut lands exactly on the edge that cut it; the other
// coordinate is interpolated and kept in the box, since with huge inputs
// the interpolation itself is only roughly right.
struct SegmentClip {
    double lo[2], hi[2];
    double t0 = 0, t1 = 1;
    int axis0 = -1, axis1 = -1;  // axis that cut each end, -1 for none
    double edge0 = 0, edge1 = 0;

    bool Axis(int k, double p, double d) {
        if (d == 0) return p >= lo[k] && p <= hi[k];
        double ta = (lo[k] - p) / d, tb = (hi[k] - p) / d, ea = lo[k], eb = hi[k];
        if (ta > tb) {
            std::swap(ta, tb);
            std::swap(ea, eb);
        }
        if (ta > t0) { t0 = ta; axis0 = k; edge0 = ea; }
        if (tb < t1) { t1 = tb; axis1 = k; edge1 = eb; }
        return t0 <= t1;
    }

    // The end at parameter t, cut by axis (or none) at edge; p, d per axis.
    void End(double t, int axis, double edge, const double p[2], const double d[2], float out[2]) const {
        for (int k = 0; k < 2; ++k) {
            double v = p[k];
            if (axis == k) v = edge;
            else if (axis >= 0) v = std::clamp(p[k] + t * d[k], lo[k], hi[k]);
            out[k] = static_cast<float>(v);
        }
    }
};

}  // namespace

void TPixelMap::PlotSpotAA(float x, float y, float alpha) {
    if (!(alpha > 0.0f) || !DotReaches(*this, x, y)) return;  // also NaN
    PlotDot(*this, x, y, DotWeight(alpha));
}

void TPixelMap::DrawLineAA(bool skipFirst, float x1, float y1, float x2, float y2, float alpha) {
    if (!(alpha > 0.0f) || width_ <= 0 || height_ <= 0) return;
    if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2)) return;
    const uint32_t a = DotWeight(alpha);
    if (DrawDots(*this, skipFirst, x1, y1, x2, y2, a)) return;

    // Far too long to step through: only the part around the map can show,
    // so draw that, cut to a box one pixel wider than the dots can reach.
    const double p[2] = {x1, y1}, d[2] = {double{x2} - x1, double{y2} - y1};
    SegmentClip clip{{-2.0, -2.0}, {width_ + 1.0, height_ + 1.0}};
    if (!clip.Axis(0, p[0], d[0]) || !clip.Axis(1, p[1], d[1])) return;
    float from[2], to[2];
    clip.End(clip.t0, clip.axis0, clip.edge0, p, d, from);
    clip.End(clip.t1, clip.axis1, clip.edge1, p, d, to);
    DrawDots(*this, skipFirst, from[0], from[1], to[0], to[1], a);
}

void TPixelMap::DrawSpot(int kind, float x, float y, float radius, float soft, float alpha) {
    if (!(soft > 0.0f) || kind < 0 || kind > 2) return;

    // Pixel box, clamped to the map in double before converting, so huge or
    // infinite extents stay defined.
    const float fl = std::floor(x - radius), fr = std::ceil(x + radius);
    const float ft = std::floor(y - radius), fb = std::ceil(y + radius);
    if (std::isnan(fl) || std::isnan(fr) || std::isnan(ft) || std::isnan(fb)) return;
    const double left = std::max(0.0, double{fl}), right = std::min(double{fr}, static_cast<double>(MaxX()));
    const double top = std::max(0.0, double{ft}), bottom = std::min(double{fb}, static_cast<double>(MaxY()));
    if (left > right || top > bottom) return;
    const int32_t c0 = static_cast<int32_t>(left), c1 = static_cast<int32_t>(right);
    const int32_t r0 = static_cast<int32_t>(top), r1 = static_cast<int32_t>(bottom);

    const float v = MaxF(radius - soft - 1.0f, 0.0f);  // solid core
    const float u = MaxF(radius - soft - 2.0f, 0.0f);  // where a ring starts to fade in
    const float outer = radius + 1.0f;
    const float invSoft = 1.0f / soft;
    const float sigma = soft / 3.0f;

    for (int32_t px = c0; px <= c1; ++px) {
        for (int32_t py = r0; py <= r1; ++py) {
            const float d = PointDistance(x, y, static_cast<float>(px), static_cast<float>(py));
            switch (kind) {
                case 0:  // anti-aliased ring
                    if (u <= d && d <= outer) {
                        if (d > radius) BlendPixelF(px, py, alpha * (1.0f - (d - radius)));
                        else if (d >= v) BlendPixelF(px, py, alpha);
                        else BlendPixelF(px, py, alpha * (1.0f - (v - d)));
                    }
                    break;
                case 1: {  // cone
                    const float f = MinF((radius - d) * invSoft, 1.0f);
                    if (f > 0.0f) BlendPixelF(px, py, alpha * f);
                    break;
                }
                default: {  // gaussian rim around a solid core
                    if (d <= v) {
                        BlendPixelF(px, py, alpha);
                        break;
                    }
                    const float t = d - v;
                    const float g = std::exp(-(t * t / (sigma * sigma)) / 2.0f);
                    if (static_cast<double>(g) > 0.002) BlendPixelF(px, py, alpha * g);
                    break;
                }
            }
        }
    }
}

}  // namespace quenlo
