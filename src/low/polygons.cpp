#include "low/polygons.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "low/VeloreLow.h"

namespace quenlo {

namespace {

constexpr char kSource[] = "polygons";
constexpr int kLineFlatLoop = 326;
constexpr int kLineOddCrossings = 243;

// Largest |16 v| taken into sub-pixel units. Keeps every coordinate, every
// difference of two and every clip bound well inside 32 bits; a loop with a
// vertex beyond it (some 33 million pixels out) is refused.
constexpr float kMaxSub = 536870912.0f;  // 2^29
constexpr int64_t kMaxClipSub = int64_t(1) << 30;

TMessageNotifier& Notifier() {
    static TMessageNotifier notifier;
    return notifier;
}

void Notify(const std::string& text) {
    if (const TMessageNotifier& n = Notifier())
        n(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

// round(16 v) + 7, halves to even. False for a value that is not finite or
// too far out to be held.
bool SubPixel(float v, int32_t& f) {
    const float s = 16.0f * v;
    if (!(std::fabs(s) <= kMaxSub)) return false;  // also catches NaN
    f = static_cast<int32_t>(std::nearbyint(s)) + 7;
    return true;
}

// pixel * 16 + offset, saturated so that huge clip values cannot overflow.
int32_t ClipSub(int32_t pixel, int32_t offset) {
    const int64_t v = int64_t(pixel) * 16 + offset;
    return int32_t(std::clamp(v, -kMaxClipSub, kMaxClipSub));
}

}  // namespace

EAssertionFailed::EAssertionFailed(const std::string& source, int line)
    : EQuenlo("Assertion failure (" + source + ", " + std::to_string(line) + " 行)") {}

TMessageNotifier SetPolyNotifier(TMessageNotifier notifier) {
    return std::exchange(Notifier(), std::move(notifier));
}

// State of one FillPolygon call; everything here dies with it.
struct TPoly::TFill {
    const TPoly& Poly;
    int32_t XLo, XHi;  // sub-pixel columns a crossing may take
    int32_t YLo, YHi;  // sub-scanlines that may hold crossings
    int32_t BaseY = 0;
    TScanLines Lines;

    explicit TFill(const TPoly& poly)
        : Poly(poly),
          XLo(ClipSub(poly.ClipLeft, 0)),
          XHi(ClipSub(poly.ClipRight, -1)),
          YLo(ClipSub(poly.ClipTop, 0)),
          YHi(ClipSub(poly.ClipBottom, -1)) {}

    void AddCrossing(int32_t x, int32_t y) {
        if (y < YLo || y > YHi) return;
        const int64_t i = int64_t(y) - BaseY;
        if (i < 0 || i >= int64_t(Lines.size())) return;
        // Crossings beyond the sides move onto them so spans stay paired.
        Lines[size_t(i)].push_back(Clamp(x, XLo, XHi));
    }

    // One crossing per sub-scanline from y1 (included) towards y2
    // (excluded); y1 != y2. Steps that land outside the kept sub-scanlines
    // are skipped in one jump, so a far-reaching edge costs only its
    // visible part.
    void WalkEdge(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
        const int64_t dx = std::abs(int64_t(x2) - x1);
        const int64_t dy = std::abs(int64_t(y2) - y1);
        const int32_t sx = x2 > x1 ? 1 : -1;
        const int32_t sy = y2 > y1 ? 1 : -1;
        const int64_t first = BaseY, last = int64_t(BaseY) + int64_t(Lines.size()) - 1;
        int64_t kBegin, kEnd;  // steps whose sub-scanline is kept
        if (sy > 0) {
            kBegin = first - y1;
            kEnd = last - y1;
        } else {
            kBegin = y1 - last;
            kEnd = y1 - first;
        }
        kBegin = std::max<int64_t>(kBegin, 0);
        kEnd = std::min(kEnd, dy - 1);
        if (kBegin > kEnd) return;

        // The error term after kBegin steps: the walk has stepped x the
        // fewest times s that bring e0 + k dx - s dy down to dy or below.
        const int64_t e0 = (dx % dy) / 2;
        const int64_t t = e0 + kBegin * dx;
        const int64_t s = t <= dy ? 0 : (t - 1) / dy;
        int64_t e = t - s * dy;
        int32_t x = int32_t(x1 + sx * s);
        int32_t y = int32_t(y1 + sy * kBegin);

        // x moves q whole steps per sub-scanline plus one more whenever the
        // remainder carries; same result as stepping one at a time.
        const int64_t q = dx / dy, r = dx % dy;
        const int32_t qx = int32_t(sx * q);
        for (int64_t k = kBegin; k <= kEnd; ++k) {
            AddCrossing(x, y);
            y += sy;
            e += r;
            x += qx;
            if (e > dy) {
                x += sx;
                e -= dy;
            } else if (e == 0 && q > 0) {
                // Stepping singly stops as soon as e reaches dy, one short.
                x -= sx;
                e = dy;
            }
        }
    }

    void BuildScanLines(const TArrayOfPoint& v) {
        const size_t m = v.size();
        // Direction of the edge that arrives at v[0], from the last vertex
        // off v[0]'s sub-scanline.
        int d = 0;
        for (size_t i = m - 1; i >= 1; --i) {
            if (v[i].Y != v[0].Y) {
                d = v[i].Y > v[0].Y ? -1 : 1;
                break;
            }
        }
        if (d == 0) throw EAssertionFailed(kSource, kLineFlatLoop);

        TPoint prev = v[0];
        for (size_t i = 1; i <= m; ++i) {
            const TPoint cur = v[i % m];
            if (prev.Y != cur.Y) {
                WalkEdge(prev.X, prev.Y, cur.X, cur.Y);
                const int d2 = prev.Y < cur.Y ? 1 : -1;
                // A top or bottom vertex: pair the new edge's first crossing
                // with a twin so the sub-scanline stays even.
                if (d2 != d) {
                    AddCrossing(prev.X, prev.Y);
                    d = d2;
                }
            }
            prev = cur;
        }
    }

    static void SortScanLine(TScanLine& line) {
        if (line.size() % 2 != 0) throw EAssertionFailed(kSource, kLineOddCrossings);
        std::sort(line.begin(), line.end());
    }

    void SortScanLines() {
        for (TScanLine& line : Lines) SortScanLine(line);
    }

    void RenderScanLines() {
        const TCoverageEvent& onCoverage = Poly.OnCoverage;
        if (!onCoverage) return;
        if (BaseY < 0) return;
        const int64_t n = int64_t(Lines.size());
        const int64_t endRow = (int64_t(BaseY) + n + 15) / 16;
        std::vector<int32_t> acc;
        for (int64_t row = BaseY >> 4; row < endRow; ++row) {
            const int64_t lo = std::max<int64_t>(0, 16 * row - BaseY);
            const int64_t hi = std::min<int64_t>(n - 1, 16 * row - BaseY + 15);

            // Pixel range from the crossings alone.
            int32_t minPix = 0, maxPix = 0;
            bool any = false;
            for (int64_t l = lo; l <= hi; ++l) {
                const TScanLine& line = Lines[size_t(l)];
                if (line.empty()) continue;
                const int32_t a = line.front() / 16, b = (line.back() + 15) / 16;
                minPix = any ? std::min(minPix, a) : a;
                maxPix = any ? std::max(maxPix, b) : b;
                any = true;
            }
            if (!any) continue;
            const int32_t len = maxPix - minPix + 2;
            acc.resize(size_t(len));
            FillInts(acc, len, 0);

            // Per sub-scanline a pixel counts the sub-columns 0..14 that a
            // span covers; 16 full sub-scanlines make 240.
            for (int64_t l = lo; l <= hi; ++l) {
                const TScanLine& line = Lines[size_t(l)];
                for (size_t i = 0; i + 1 < line.size(); i += 2) {
                    const int32_t s = line[i], e = line[i + 1];
                    if (s < 0) {
                        Notify("got it!!! (bug 1)");
                        return;
                    }
                    if (e < 0) {
                        Notify("got it!!! (bug 2)");
                        return;
                    }
                    const int32_t p = (s >> 4) - minPix, f = s & 15;
                    const int32_t q = (e >> 4) - minPix, g = e & 15;
                    acc[size_t(p)] += 15 - f;
                    acc[size_t(p) + 1] += f;
                    acc[size_t(q)] -= 15 - g;
                    acc[size_t(q) + 1] -= g;
                }
            }

            // 240 * 273 div 256 = 255: full coverage comes out as exactly 1.
            int32_t t = 0;
            for (int32_t& a : acc) {
                t += a;
                a = (t * 273) / 256;
            }
            for (int32_t c = 0; c < len; ++c)
                onCoverage(MakePoint(minPix + c, int32_t(row)), float(acc[size_t(c)]) / 255.0f);
        }
    }
};

void TPoly::SetClip(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    ClipLeft = left;
    ClipTop = top;
    ClipRight = right;
    ClipBottom = bottom;
}

void TPoly::EmitEdge(TPointF a, TPointF b) const {
    if (!OnEdge) return;
    // Nothing sensible to draw towards a point at infinity or NaN.
    if (!std::isfinite(a.X) || !std::isfinite(a.Y) || !std::isfinite(b.X) || !std::isfinite(b.Y))
        return;
    // The pixel rectangle widened by half a pixel: a pixel's area reaches
    // half a pixel beyond its centre.
    const TClipBox box{float(double(ClipLeft) - 0.5), float(double(ClipRight) + 0.5),
                       float(double(ClipTop) - 0.5), float(double(ClipBottom) + 0.5)};
    if (!ClipSegment(a, b, box)) return;
    if (!std::isfinite(a.X) || !std::isfinite(a.Y) || !std::isfinite(b.X) || !std::isfinite(b.Y))
        return;
    OnEdge(a, b);
}

void TPoly::DrawOutline(bool open) const {
    const size_t n = Points.size();
    if (n < 2) return;
    if (!open) EmitEdge(Points[n - 1], Points[0]);
    for (size_t i = 0; i + 1 < n; ++i) EmitEdge(Points[i], Points[i + 1]);
}

TArrayOfPointF TPoly::FindLoop() const {
    const size_t n = Points.size();
    if (n < 4) return {};
    // Smallest i first, and for it the largest j, so a chain whose last
    // vertex repeats its first closes on the whole figure.
    for (size_t i = 0; i + 4 <= n; ++i) {
        for (size_t j = n - 2; j >= i + 2; --j) {
            TPointF x;
            if (SegmentsIntersect(Points[i], Points[i + 1], Points[j], Points[j + 1], x)) {
                TArrayOfPointF loop;
                loop.reserve(j - i + 2);
                loop.push_back(x);
                loop.insert(loop.end(), Points.begin() + std::ptrdiff_t(i + 1),
                            Points.begin() + std::ptrdiff_t(j + 1));
                loop.push_back(x);
                return loop;
            }
        }
    }
    return {};
}

void TPoly::FillPolygon() const {
    if (Points.size() < 3) return;
    // An inside-out box allows no pixel; pinning crossings into it would.
    if (ClipRight < ClipLeft || ClipBottom < ClipTop) return;
    const TArrayOfPointF loop = FindLoop();
    if (loop.size() < 3) return;

    TArrayOfPoint v(loop.size());
    for (size_t i = 0; i < loop.size(); ++i)
        if (!SubPixel(loop[i].X, v[i].X) || !SubPixel(loop[i].Y, v[i].Y)) return;

    TFill fill(*this);
    // Range from the vertices alone, then limited to the rows that may be drawn.
    int32_t minY = v[0].Y, maxY = v[0].Y;
    for (const TPoint& p : v) {
        minY = std::min(minY, p.Y);
        maxY = std::max(maxY, p.Y);
    }
    minY = Clamp(minY, fill.YLo, fill.YHi);
    maxY = Clamp(maxY, fill.YLo, fill.YHi);
    if (minY >= maxY) return;

    fill.BaseY = minY;
    fill.Lines.resize(size_t(int64_t(maxY) - minY + 1));
    fill.BuildScanLines(v);
    fill.SortScanLines();
    fill.RenderScanLines();
}

}  // namespace quenlo
