#include "low/polygons.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <new>
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

// State of one FillPolygon call; everything here dies with it. The scan
// lines live in one flat array: line l holds Xs[Start[l] .. Start[l + 1]),
// which costs two passes over the edges (count, then place) but no
// allocation per sub-scanline.
struct TPoly::TFill {
    struct TEdge {
        int32_t X1, Y1, X2, Y2;
    };

    const TPoly& Poly;
    int32_t XLo, XHi;  // sub-pixel columns a crossing may take
    int32_t YLo, YHi;  // sub-scanlines that may hold crossings
    int32_t BaseY = 0;
    int64_t NLines = 0;
    std::vector<TEdge> Walks;     // sloped edges, in BuildScanLines order
    std::vector<TPoint> Extras;   // the twins added at top and bottom vertices
    std::vector<uint32_t> Start;  // NLines + 1 offsets into Xs
    std::vector<int32_t> Xs;

    explicit TFill(const TPoly& poly)
        : Poly(poly),
          XLo(ClipSub(poly.ClipLeft, 0)),
          XHi(ClipSub(poly.ClipRight, -1)),
          YLo(ClipSub(poly.ClipTop, 0)),
          YHi(ClipSub(poly.ClipBottom, -1)) {}

    // Scan line of a lone crossing at sub-scanline y, or -1 when dropped.
    int64_t LineOf(int32_t y) const {
        if (y < YLo || y > YHi) return -1;
        const int64_t i = int64_t(y) - BaseY;
        return i < 0 || i >= NLines ? -1 : i;
    }

    // Steps k of an edge's walk whose sub-scanline is kept; false for none.
    // Step k lands on sub-scanline y1 + sy k.
    bool KeptSteps(const TEdge& g, int64_t& kBegin, int64_t& kEnd) const {
        const int64_t dy = std::abs(int64_t(g.Y2) - g.Y1);
        const int64_t first = BaseY, last = int64_t(BaseY) + NLines - 1;
        if (g.Y2 > g.Y1) {
            kBegin = first - g.Y1;
            kEnd = last - g.Y1;
        } else {
            kBegin = g.Y1 - last;
            kEnd = g.Y1 - first;
        }
        kBegin = std::max<int64_t>(kBegin, 0);
        kEnd = std::min(kEnd, dy - 1);
        return kBegin <= kEnd;
    }

    // One crossing per sub-scanline from y1 (included) towards y2
    // (excluded); y1 != y2. Steps that land outside the kept sub-scanlines
    // are skipped in one jump, so a far-reaching edge costs only its
    // visible part. cursor[l] is where line l's next crossing goes.
    void WalkEdge(const TEdge& g, uint32_t* cursor) {
        int64_t kBegin, kEnd;
        if (!KeptSteps(g, kBegin, kEnd)) return;
        const int64_t dx = std::abs(int64_t(g.X2) - g.X1);
        const int64_t dy = std::abs(int64_t(g.Y2) - g.Y1);
        const int32_t sx = g.X2 > g.X1 ? 1 : -1;
        const int32_t sy = g.Y2 > g.Y1 ? 1 : -1;

        // The error term after kBegin steps: the walk has stepped x the
        // fewest times s that bring e0 + k dx - s dy down to dy or below.
        const int64_t e0 = (dx % dy) / 2;
        const int64_t t = e0 + kBegin * dx;
        const int64_t s = t <= dy ? 0 : (t - 1) / dy;
        int64_t e = t - s * dy;
        int32_t x = int32_t(g.X1 + sx * s);
        int64_t line = int64_t(g.Y1) + sy * kBegin - BaseY;

        // x moves q whole steps per sub-scanline plus one more whenever the
        // remainder carries; same result as stepping one at a time.
        const int64_t q = dx / dy, r = dx % dy;
        const int32_t qx = int32_t(sx * q);
        int32_t* xs = Xs.data();
        for (int64_t k = kBegin; k <= kEnd; ++k) {
            // Crossings beyond the sides move onto them so spans stay paired.
            xs[cursor[line]++] = std::clamp(x, XLo, XHi);
            line += sy;
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

    // Records the edges and the twin crossings, then counts and places
    // every crossing.
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
                Walks.push_back({prev.X, prev.Y, cur.X, cur.Y});
                const int d2 = prev.Y < cur.Y ? 1 : -1;
                // A top or bottom vertex: pair the new edge's first crossing
                // with a twin so the sub-scanline stays even.
                if (d2 != d) {
                    Extras.push_back(prev);
                    d = d2;
                }
            }
            prev = cur;
        }

        // Crossings per line: a difference array over each edge's lines
        // and each twin's one line (unsigned, so the steps down wrap and the
        // sums come out right), summed and turned into offsets in place.
        Start.assign(size_t(NLines) + 1, 0);
        for (const TEdge& g : Walks) {
            int64_t kBegin, kEnd;
            if (!KeptSteps(g, kBegin, kEnd)) continue;
            const int64_t a = int64_t(g.Y1) - BaseY + (g.Y2 > g.Y1 ? kBegin : -kEnd);
            ++Start[size_t(a)];
            --Start[size_t(a + kEnd - kBegin) + 1];
        }
        for (const TPoint& p : Extras) {
            if (const int64_t l = LineOf(p.Y); l >= 0) {
                ++Start[size_t(l)];
                --Start[size_t(l) + 1];
            }
        }
        int64_t total = 0;
        uint32_t count = 0;
        for (int64_t l = 0; l < NLines; ++l) {
            count += Start[size_t(l)];
            // Every line must pair up into spans, checked before any row is drawn.
            if (count % 2 != 0) throw EAssertionFailed(kSource, kLineOddCrossings);
            Start[size_t(l)] = uint32_t(total);
            total += count;
            if (total > int64_t(UINT32_MAX)) throw std::bad_alloc();  // no memory holds them
        }
        Start[size_t(NLines)] = uint32_t(total);
        Xs.resize(size_t(total));
        // Twins after their line's walked crossings: order within a line
        // does not matter before the sort.
        std::vector<uint32_t> at(Start.begin(), Start.end() - 1);
        for (const TEdge& g : Walks) WalkEdge(g, at.data());
        for (const TPoint& p : Extras)
            if (const int64_t l = LineOf(p.Y); l >= 0) Xs[at[size_t(l)]++] = Clamp(p.X, XLo, XHi);
    }

    // Ascending; lines hold a few crossings each, where a plain insertion
    // sort beats the library's (which calls memmove per element).
    static void SortScanLine(int32_t* a, uint32_t n) {
        if (n > 16) {
            std::sort(a, a + n);
            return;
        }
        for (uint32_t i = 1; i < n; ++i) {
            const int32_t x = a[i];
            uint32_t j = i;
            for (; j > 0 && a[j - 1] > x; --j) a[j] = a[j - 1];
            a[j] = x;
        }
    }

    // The difference entries of every span of lines lo..hi, relative to
    // minPix. False, after saying so, at a negative crossing, which only a
    // negative ClipLeft lets through.
    bool AddSpans(int64_t lo, int64_t hi, int32_t minPix, int32_t* accp, uint64_t* marks) const {
        for (int64_t l = lo; l <= hi; ++l) {
            const uint32_t end = Start[size_t(l) + 1];
            for (uint32_t i = Start[size_t(l)]; i + 1 < end; i += 2) {
                const int32_t s = Xs[i], e = Xs[i + 1];
                if (s < 0) {
                    Notify("got it!!! (bug 1)");
                    return false;
                }
                if (e < 0) {
                    Notify("got it!!! (bug 2)");
                    return false;
                }
                const ptrdiff_t p = (s >> 4) - minPix, q = (e >> 4) - minPix;
                const int32_t f = s & 15, g = e & 15;
                accp[p] += 15 - f;
                accp[p + 1] += f;
                accp[q] -= 15 - g;
                accp[q + 1] -= g;
                marks[p >> 6] |= uint64_t(1) << (p & 63);
                marks[q >> 6] |= uint64_t(1) << (q & 63);
            }
        }
        return true;
    }

    // The same sums when every line has the same crossings count and none is
    // negative: crossing j of each line then mostly belongs to one edge, so
    // walking the lines per j keeps a run of crossings in one pixel in
    // registers and writes it once, instead of sixteen dependent updates
    // of one entry. Integer sums in another order: the same entries.
    void AddColumns(int64_t lo, int64_t hi, int32_t minPix, int32_t* accp, uint64_t* marks) const {
        const uint32_t count = Start[size_t(lo) + 1] - Start[size_t(lo)];
        for (uint32_t j = 0; j < count; ++j) {
            // Even crossings start spans (+), odd ones end them (-).
            const int32_t sign = j % 2 ? -1 : 1;
            ptrdiff_t p = -1;
            int32_t here = 0, next = 0;  // what pixel p and p + 1 receive
            auto flush = [&] {
                if (p < 0) return;
                accp[p] += sign * here;
                accp[p + 1] += sign * next;
                marks[p >> 6] |= uint64_t(1) << (p & 63);
            };
            for (int64_t l = lo; l <= hi; ++l) {
                const int32_t x = Xs[Start[size_t(l)] + j];
                const ptrdiff_t px = (x >> 4) - minPix;
                if (px != p) {
                    flush();
                    p = px;
                    here = next = 0;
                }
                here += 15 - (x & 15);
                next += x & 15;
            }
            flush();
        }
    }

    // Per pixel row: four difference entries per span, as always, but the
    // running sum visits only the entries that were touched, so everything
    // between two of them comes out as one run. A span touches p, p + 1, q
    // and q + 1; the bitmap marks p and q, and each word of it shifted by
    // one gives the others.
    void RenderScanLines() {
        const TCoverageEvent& onCoverage = Poly.OnCoverage;
        const TCoverageRowEvent& onRow = Poly.OnCoverageRow;
        if (!onRow && !onCoverage) return;
        if (BaseY < 0) return;
        const int64_t n = NLines;
        const int64_t endRow = (int64_t(BaseY) + n + 15) / 16;
        std::vector<int32_t> acc;      // zero between rows
        std::vector<uint64_t> touched; // zero between rows
        std::vector<TCoverageRun> runs;
        for (int64_t row = BaseY >> 4; row < endRow; ++row) {
            const int64_t lo = std::max<int64_t>(0, 16 * row - BaseY);
            const int64_t hi = std::min<int64_t>(n - 1, 16 * row - BaseY + 15);

            // Pixel range from the crossings alone.
            int32_t minPix = 0, maxPix = 0;
            bool any = false;
            // Whether every line holds as many crossings as the first.
            bool alike = true;
            const uint32_t firstCount = Start[size_t(lo) + 1] - Start[size_t(lo)];
            for (int64_t l = lo; l <= hi; ++l) {
                const uint32_t b = Start[size_t(l)], e = Start[size_t(l) + 1];
                alike = alike && e - b == firstCount;
                if (b == e) continue;
                SortScanLine(Xs.data() + b, e - b);  // each line belongs to one row
                const int32_t a = Xs[b] / 16, z = (Xs[e - 1] + 15) / 16;
                minPix = any ? std::min(minPix, a) : a;
                maxPix = any ? std::max(maxPix, z) : z;
                any = true;
            }
            if (!any) continue;
            const int32_t len = maxPix - minPix + 2;
            if (acc.size() < size_t(len)) {
                acc.resize(size_t(len), 0);
                touched.resize((size_t(len) + 63) / 64, 0);
            }

            int32_t* const accp = acc.data();
            uint64_t* const marks = touched.data();
            // Per sub-scanline a pixel counts the sub-columns 0..14 that a
            // span covers; 16 full sub-scanlines make 240.
            if (XLo >= 0 && alike)
                AddColumns(lo, hi, minPix, accp, marks);
            else if (!AddSpans(lo, hi, minPix, accp, marks))
                return;

            // Running sum over the touched entries; the coverage stays put
            // between them. 240 * 273 div 256 = 255: full coverage is 1.
            runs.clear();
            int32_t t = 0, from = 0;
            uint8_t cover = 0;
            auto close = [&](int32_t to) {  // the run from..to-1 at cover
                if (to <= from) return;
                if (!runs.empty() && runs.back().Cover == cover)
                    runs.back().Len += to - from;
                else
                    runs.push_back({minPix + from, to - from, cover});
            };
            const size_t words = (size_t(len) + 63) / 64;
            uint64_t carry = 0;  // the top mark of the previous word, moved on
            for (size_t w = 0; w < words; ++w) {
                const uint64_t m = touched[w];
                uint64_t bits = m | m << 1 | carry;
                carry = m >> 63;
                for (; bits; bits &= bits - 1) {
                    const int32_t c = int32_t(w * 64) + std::countr_zero(bits);
                    close(c);
                    t += acc[size_t(c)];
                    acc[size_t(c)] = 0;
                    cover = uint8_t((t * 273) / 256);
                    from = c;
                }
                touched[w] = 0;
            }
            close(len);

            const int32_t y = int32_t(row);
            if (onRow) {
                onRow(y, runs);
                continue;
            }
            for (const TCoverageRun& r : runs) {
                const float alpha = float(r.Cover) / 255.0f;
                for (int32_t x = r.X; x < r.X + r.Len; ++x) onCoverage(MakePoint(x, y), alpha);
            }
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
    fill.NLines = int64_t(maxY) - minY + 1;
    fill.BuildScanLines(v);
    fill.RenderScanLines();
}

}  // namespace quenlo
