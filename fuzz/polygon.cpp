// FillPolygon and DrawOutline with arbitrary vertices and clip boxes,
// checking what the callbacks receive; then the same chain drawn by a
// polygon node into a small map.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FuzzCommon.h"
#include "low/polygons.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/VlxDrafter.h"

using namespace quenlo;

namespace {

constexpr size_t kMaxPoints = 48;
// FillPolygon works per sub-scanline and reports every pixel of a touched
// row, so its cost grows with the clip box; callers clip to a map.
constexpr int64_t kMaxFillExtent = 1 << 12;
constexpr int64_t kMaxFillArea = 1 << 20;

int32_t Offset(int32_t v, int32_t d) {
    return int32_t(std::clamp<int64_t>(int64_t(v) + d, INT32_MIN, INT32_MAX));
}

bool Inside(float v, double lo, double hi) {
    // The box edges are floats themselves; allow their rounding.
    const double tol = std::max(1e-3, 1e-6 * std::fabs(double(v)));
    return double(v) >= lo - tol && double(v) <= hi + tol;
}

void CheckPoly(TPoly& poly, bool open, bool fill) {
    const double l = double(float(double(poly.ClipLeft) - 0.5)), r = double(float(double(poly.ClipRight) + 0.5));
    const double t = double(float(double(poly.ClipTop) - 0.5)), b = double(float(double(poly.ClipBottom) + 0.5));
    // Left = Right + 1 still leaves a line of width 0 to clip to.
    const bool boxed = l <= r && t <= b;
    poly.OnEdge = [&](TPointF a, TPointF e) {
        if (!std::isfinite(a.X) || !std::isfinite(a.Y) || !std::isfinite(e.X) || !std::isfinite(e.Y)) std::abort();
        if (!boxed || !Inside(a.X, l, r) || !Inside(e.X, l, r) || !Inside(a.Y, t, b) || !Inside(e.Y, t, b)) {
            std::fprintf(stderr, "edge (%.9g,%.9g)-(%.9g,%.9g) leaves box x %.9g..%.9g y %.9g..%.9g\n",
                         a.X, a.Y, e.X, e.Y, l, r, t, b);
            std::abort();
        }
    };
    poly.OnCoverage = [&](TPoint p, float alpha) {
        if (!(alpha >= 0.0f && alpha <= 1.0f) ||
            (alpha > 0 && (p.X < poly.ClipLeft || p.X > poly.ClipRight || p.Y < poly.ClipTop ||
                           p.Y > poly.ClipBottom))) {
            std::fprintf(stderr, "coverage %.9g at (%d,%d), clip %d,%d..%d,%d\n", alpha, p.X, p.Y,
                         poly.ClipLeft, poly.ClipTop, poly.ClipRight, poly.ClipBottom);
            std::abort();
        }
    };
    poly.DrawOutline(open);
    const TArrayOfPointF loop = poly.FindLoop();
    if (!loop.empty() && (loop.size() < 3 || std::memcmp(&loop.front(), &loop.back(), sizeof(TPointF)) != 0))
        std::abort();
    if (fill) {
        try {
            poly.FillPolygon();
        } catch (const EAssertionFailed&) {
        }
    }
}

void DrawNode(FuzzedDataProvider& in, const TArrayOfPointF& points) {
    auto node = MakeVelora<TVlxPoly>();
    node->SetSize(in.ConsumeIntegralInRange<int32_t>(-2, 80), in.ConsumeIntegralInRange<int32_t>(-2, 80));
    node->SetPosition(in.ConsumeIntegral<int32_t>() >> in.ConsumeIntegralInRange(0, 31),
                      in.ConsumeIntegral<int32_t>() >> in.ConsumeIntegralInRange(0, 31));
    node->Outline = in.ConsumeBool();
    node->Fill = in.ConsumeBool();
    node->OpenOutline = in.ConsumeBool();
    node->SetLineOpq(fuzz::AnyFloat(in, -2, 2));
    node->SetFaceOpq(fuzz::AnyFloat(in, -2, 2));
    node->Poly.Points = points;
    TPixelMapRGB map;
    map.SetSize(40, 30);
    map.Left = Offset(node->Left, in.ConsumeIntegralInRange(-60, 60));
    map.Top = Offset(node->Top, in.ConsumeIntegralInRange(-60, 60));
    try {
        node->RenderInto(map);
    } catch (const EAssertionFailed&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The fill's "bug" notices are expected here; keep them off stderr.
    SetPolyNotifier([](const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    TPoly poly;
    int32_t left, top, right, bottom;
    if (in.ConsumeBool()) {
        left = in.ConsumeIntegral<int32_t>();
        top = in.ConsumeIntegral<int32_t>();
        right = in.ConsumeIntegral<int32_t>();
        bottom = in.ConsumeIntegral<int32_t>();
    } else {
        // A map-sized box anywhere.
        left = in.ConsumeIntegral<int32_t>() >> in.ConsumeIntegralInRange(0, 31);
        top = in.ConsumeIntegral<int32_t>() >> in.ConsumeIntegralInRange(0, 31);
        right = Offset(left, in.ConsumeIntegralInRange(-4, 300));
        bottom = Offset(top, in.ConsumeIntegralInRange(-4, 300));
    }
    poly.SetClip(left, top, right, bottom);
    const bool open = in.ConsumeBool();

    const size_t n = in.ConsumeIntegralInRange<size_t>(0, kMaxPoints);
    for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
        TPointF p;
        if (in.ConsumeIntegralInRange(0, 3) == 0) {
            p.X = fuzz::AnyFloat(in, -1e6f, 1e6f);
            p.Y = fuzz::AnyFloat(in, -1e6f, 1e6f);
        } else {
            // Near the box, where the fill has work to do.
            p.X = float(left + in.ConsumeFloatingPointInRange(-40.0, 340.0));
            p.Y = float(top + in.ConsumeFloatingPointInRange(-40.0, 340.0));
        }
        poly.Points.push_back(p);
    }

    const int64_t w = int64_t(right) - left, h = int64_t(bottom) - top;
    const bool fill = w <= kMaxFillExtent && h <= kMaxFillExtent && std::max<int64_t>(w, 0) * std::max<int64_t>(h, 0) <= kMaxFillArea;
    CheckPoly(poly, open, fill);
    DrawNode(in, poly.Points);
    return 0;
}
