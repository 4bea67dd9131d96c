#include "low/polygons.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "low/Messages.h"
#include "low/VeloreLow.h"

namespace quenlo {

namespace {

constexpr char kSource[] = "polygons";
constexpr int kLineFlatLoop = 326;
constexpr int kLineOddCrossings = 243;

// Largest |16 v| of the plain walk, some 33 million pixels out: every
// coordinate, every difference of two and every clip bound well inside 32
// bits. An edge with an end beyond it is walked exactly in wider integers
// (FarSteppers).
constexpr int64_t kNearSub = int64_t(1) << 29;
// Largest |16 v| taken exactly, some 7 x 10^16 pixels out: differences and
// their products with a step count stay inside 64 and 128 bits. A loop
// with a vertex beyond it is first clipped to a square of kFarSub around
// the origin, in doubles, where 1/16 pixel is below their precision.
constexpr int64_t kFarSub = int64_t(1) << 60;
constexpr int64_t kMaxClipSub = int64_t(1) << 30;

// A loop vertex in 1/16 pixel.
struct TSubPoint {
    int64_t X, Y;
};

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
// beyond kFarSub.
bool SubPixel(double v, int64_t& f) {
    const double s = 16.0 * v;
    if (!(std::fabs(s) <= double(kFarSub))) return false;  // also catches NaN
    f = static_cast<int64_t>(std::nearbyint(s)) + 7;
    return true;
}

// The loop cut to the square |x|, |y| <= limit (in pixels), edge by edge
// (Sutherland and Hodgman): inside it the same area, the cut parts
// replaced by runs along the square's sides, which lie far outside any clip.
std::vector<std::pair<double, double>> ClipToSquare(const TArrayOfPointF& loop, double limit) {
    std::vector<std::pair<double, double>> in, out;
    for (const TPointF& p : loop) in.push_back({double(p.X), double(p.Y)});
    for (int side = 0; side < 4; ++side) {
        const bool onY = side >= 2;
        const double sign = side % 2 ? -1.0 : 1.0;  // keeps sign * coordinate <= limit
        auto inside = [&](const std::pair<double, double>& p) { return sign * (onY ? p.second : p.first) <= limit; };
        out.clear();
        for (size_t i = 0; i < in.size(); ++i) {
            const auto& a = in[i];
            const auto& b = in[(i + 1) % in.size()];
            if (inside(a)) out.push_back(a);
            if (inside(a) != inside(b)) {
                const double ca = onY ? a.second : a.first, cb = onY ? b.second : b.first;
                const double t = (sign * limit - ca) / (cb - ca);
                const double other = onY ? a.first + t * (b.first - a.first) : a.second + t * (b.second - a.second);
                out.push_back(onY ? std::pair{other, sign * limit} : std::pair{sign * limit, other});
            }
        }
        std::swap(in, out);
    }
    return in;
}

// pixel * 16 + offset, saturated so that huge clip values cannot overflow.
int32_t ClipSub(int32_t pixel, int32_t offset) {
    const int64_t v = int64_t(pixel) * 16 + offset;
    return int32_t(std::clamp(v, -kMaxClipSub, kMaxClipSub));
}

}  // namespace

EAssertionFailed::EAssertionFailed(const std::string& source, int line)
    : EQuenlo(FormatText(Tr("%s (%s, %d 行)"), Tr("Assertion failure"), source.c_str(), line)) {}

TMessageNotifier SetPolyNotifier(TMessageNotifier notifier) {
    return std::exchange(Notifier(), std::move(notifier));
}

// State of one FillPolygon call; everything here dies with it. Nothing is
// kept per sub-scanline: the edges are walked top-down one pixel row at a
// time, each carrying its walk from row to row, and a row holds the sixteen
// crossings of each edge that reaches it.
struct TPoly::TFill {
    struct TEdge {
        int64_t X1, Y1, X2, Y2;
    };

    // One sloped edge, walked one sub-scanline down per step. At walk step
    // k (k = 0 on Y1) the crossing is X1 + sx s, s = 0 for t <= dy and
    // (t - 1) div dy above, t = (dx mod dy) div 2 + k dx; an edge that runs
    // upward meets k counting down. X and Rem hold X1 + sx ((t - 1) div dy)
    // and (t - 1) mod dy, both floored, so a step is an add and a carry
    // instead of a division. Only t = 0 makes that one step off X1: that
    // line is ZeroLine, and gets X1.
    struct TStepper {
        int64_t X = 0, Rem = 0;
        int64_t Dy = 1;
        int64_t R = 0, R2 = 0, R4 = 0;    // what one, two and four steps add to Rem, before the carry
        int64_t XQ = 0, XQ2 = 0, XQ4 = 0;  // what they add to X, before the carry
        int64_t Sx = 1;           // what a carry adds to X
        int32_t X1 = 0;
        bool Clamped = false;     // whether its crossings may leave the sides
        bool Wide = false;        // whether Dy is beyond the lanes' 32 bits (a far edge)
        int64_t Top = 0, Bottom = 0;  // its first and last line, inclusive
        int64_t ZeroLine = -1;
        using TLanes = uint32_t __attribute__((vector_size(16)));
        using TSignedLanes = int32_t __attribute__((vector_size(16)));
        TLanes LaneX{};  // lines 0..3 of the next row's walk, when LanesSet,
        TSignedLanes LaneRem{};  // and their Rem - Dy
        TSignedLanes LaneDy{}, LaneR4{};  // Dy, R4, XQ4 and Sx in every lane
        TLanes LaneXQ4{}, LaneSx{};
        bool LanesSet = false;

        // The crossings of the row's lines a..b-1 (the row starting at line
        // rowLine) into x[a..b), leaving the walk on line b. Even and odd
        // lines are two walks of double steps, so the carries of one do not
        // wait for the other's.
        void Walk(int32_t* x, int32_t a, int32_t b, int64_t rowLine, int32_t xlo, int32_t xhi) {
            if (a == 0 && b == 16 && rowLine + 16 <= Bottom)
                WalkRow(x);
            else
                WalkLines(x, a, b);
            if (ZeroLine >= rowLine + a && ZeroLine < rowLine + b) x[ZeroLine - rowLine] = X1;
            // Crossings beyond the sides move onto them so spans stay paired.
            if (Clamped)
                for (int32_t i = a; i < b; ++i) x[i] = std::clamp(x[i], xlo, xhi);
        }

        // All 16 lines of a row, the walk going on past it: four walks of
        // four-line steps, one in each lane of a vector. 32 bits do: the
        // lanes hold Rem - dy, in [-dy, 0), so a step's sum stays in
        // [-dy, dy) and its sign is the carry; the crossings, all in int32
        // range, come out right modulo 2^32 however the sums wrap on the
        // way; so does line 16, still on the edge. The lanes end on lines
        // 16..19, the next row's first four, and are kept for it unless
        // WalkLines moves the walk.
        void WalkRow(int32_t* x) {
            // Lanes of a wider Dy would wrap into crossings that are neither
            // exact nor monotone, which the row's sums rely on.
            if (Wide) {
                WalkLines(x, 0, 16);
                return;
            }
            if (!LanesSet) {
                int64_t x0 = X, e0 = Rem;
                for (int i = 0; i < 4; ++i) {
                    LaneX[i] = uint32_t(x0);
                    LaneRem[i] = int32_t(e0 - Dy);
                    e0 += R;
                    x0 += XQ;
                    if (e0 >= Dy) {
                        e0 -= Dy;
                        x0 += Sx;
                    }
                }
                LaneDy = TSignedLanes{} + int32_t(Dy);
                LaneR4 = TSignedLanes{} + int32_t(R4);
                LaneXQ4 = TLanes{} + uint32_t(XQ4);
                LaneSx = TLanes{} + uint32_t(Sx);
                LanesSet = true;
            }
            TLanes lx = LaneX;
            TSignedLanes le = LaneRem;
            for (int l = 0; l < 16; l += 4) {
                std::memcpy(x + l, &lx, sizeof lx);
                le += LaneR4;
                lx += LaneXQ4;
                const TSignedLanes stay = le < 0;  // all ones where it does not carry
                le -= LaneDy & ~stay;
                lx += LaneSx & ~TLanes(stay);
            }
            LaneX = lx;
            LaneRem = le;
            X = int32_t(lx[0]);
            Rem = int64_t(le[0]) + Dy;
        }

        void WalkLines(int32_t* x, int32_t a, int32_t b) {
            LanesSet = false;
            const int64_t dy = Dy, sx = Sx, r2 = R2, xq2 = XQ2;
            int64_t x0 = X, e0 = Rem;
            int64_t x1 = x0 + XQ, e1 = e0 + R;
            const bool c = e1 >= dy;
            e1 -= c ? dy : 0;
            x1 += c ? sx : 0;
            int32_t l = a;
            for (; l + 1 < b; l += 2) {
                x[l] = int32_t(x0);
                x[l + 1] = int32_t(x1);
                e0 += r2;
                x0 += xq2;
                e1 += r2;
                x1 += xq2;
                const bool c0 = e0 >= dy, c1 = e1 >= dy;
                e0 -= c0 ? dy : 0;
                x0 += c0 ? sx : 0;
                e1 -= c1 ? dy : 0;
                x1 += c1 ? sx : 0;
            }
            if (l < b) {
                x[l] = int32_t(x0);
                X = x1;
                Rem = e1;
            } else {
                X = x0;
                Rem = e0;
            }
        }
    };

    // A twin crossing, already moved inside the sides.
    struct TExtra {
        int64_t Line;
        int32_t X;
    };

    static constexpr int kRowLines = 16;

    const TPoly& Poly;
    int32_t XLo, XHi;  // sub-pixel columns a crossing may take
    int32_t YLo, YHi;  // sub-scanlines that may hold crossings
    int32_t BaseY = 0;
    int64_t NLines = 0;

    // Working memory, kept per thread from one fill to the next so that a
    // fill of a few rows does not spend its time in the allocator. A fill
    // started while another runs on the thread gets its own.
    struct TScratch {
        std::vector<TStepper> Steppers;
        std::vector<TExtra> Extras;
        std::vector<std::pair<int64_t, int>> Changes;
        std::vector<uint32_t> Active, LineStart;
        std::vector<int64_t> Keys;
        std::vector<int32_t> Xs, LineXs;
        std::vector<int32_t> Acc;        // zero between rows and fills
        std::vector<uint64_t> Touched;  // zero between rows and fills
        std::vector<std::pair<int32_t, int32_t>> Reach, EdgePix;
        std::vector<TCoverageRun> Runs, ApartRuns;

        size_t Bytes() const {
            return Steppers.capacity() * sizeof(TStepper) + Xs.capacity() * sizeof(int32_t) +
                   Acc.capacity() * sizeof(int32_t) + LineXs.capacity() * sizeof(int32_t) +
                   Changes.capacity() * sizeof(Changes[0]);
        }
    };
    static std::unique_ptr<TScratch>& KeptScratch() {
        thread_local std::unique_ptr<TScratch> kept;
        return kept;
    }
    static constexpr size_t kKeptScratchBytes = size_t(4) << 20;  // what a thread may keep

    std::unique_ptr<TScratch> Scratch;
    std::vector<TStepper>& Steppers;  // by Top
    std::vector<TExtra>& Extras;      // by Line

    explicit TFill(const TPoly& poly)
        : Poly(poly),
          XLo(ClipSub(poly.ClipLeft, 0)),
          XHi(ClipSub(poly.ClipRight, -1)),
          YLo(ClipSub(poly.ClipTop, 0)),
          YHi(ClipSub(poly.ClipBottom, -1)),
          Scratch(KeptScratch() ? std::move(KeptScratch()) : std::make_unique<TScratch>()),
          Steppers(Scratch->Steppers),
          Extras(Scratch->Extras) {
        Steppers.clear();
        Extras.clear();
    }
    ~TFill() {
        if (Scratch->Bytes() <= kKeptScratchBytes && !KeptScratch()) KeptScratch() = std::move(Scratch);
    }
    TFill(const TFill&) = delete;
    TFill& operator=(const TFill&) = delete;

    // Scan line of a lone crossing at sub-scanline y, or -1 when dropped.
    int64_t LineOf(int64_t y) const {
        if (y < YLo || y > YHi) return -1;
        const int64_t i = y - BaseY;
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

    // The walk of edge g from y1 (included) towards y2 (excluded), y1 !=
    // y2, over its kept steps kBegin..kEnd only, so a far-reaching edge
    // costs only its visible part.
    TStepper MakeStepper(const TEdge& g, int64_t kBegin, int64_t kEnd) const {
        const int64_t dx = std::abs(int64_t(g.X2) - g.X1);
        const int64_t dy = std::abs(int64_t(g.Y2) - g.Y1);
        const bool down = g.Y2 > g.Y1;
        const int64_t kTop = down ? kBegin : kEnd;
        const int64_t e0 = (dx % dy) / 2;
        TStepper st;
        st.Dy = dy;
        st.X1 = g.X1;
        st.Sx = g.X2 > g.X1 ? 1 : -1;
        st.Clamped = std::min(g.X1, g.X2) < XLo || std::max(g.X1, g.X2) > XHi;
        st.Wide = dy > INT32_MAX;
        st.Top = int64_t(g.Y1) + (down ? kTop : -kTop) - BaseY;
        st.Bottom = st.Top + (kEnd - kBegin);
        if (dx == 0) {  // t stays 0: X1 on every line
            st.X = g.X1;
            return st;
        }
        if (e0 == 0 && kBegin == 0) st.ZeroLine = int64_t(g.Y1) - BaseY;
        // 128 bits for a far edge's product; the quotient fits 64.
        const __int128 u = __int128(e0) + __int128(kTop) * dx - 1;  // >= -1
        const int64_t s = u < 0 ? -1 : int64_t(u / dy);
        st.X = g.X1 + st.Sx * s;
        st.Rem = int64_t(u - __int128(s) * dy);
        // Down the lines k grows when the edge runs down, else shrinks:
        // t changes by q dy + r per line, 0 <= r < dy, and twice that per
        // two lines.
        const int64_t q = down ? dx / dy : -((dx + dy - 1) / dy);
        st.R = (down ? dx : -dx) - q * dy;
        const bool wrap = 2 * st.R >= dy;
        st.R2 = 2 * st.R - (wrap ? dy : 0);
        st.XQ = st.Sx * q;
        st.XQ2 = st.Sx * (2 * q + (wrap ? 1 : 0));
        const int64_t wraps4 = 4 * st.R / dy;
        st.R4 = 4 * st.R - wraps4 * dy;
        st.XQ4 = st.Sx * (4 * q + wraps4);
        return st;
    }

    // The crossing of walk step k of edge g, exactly: what MakeStepper's
    // walk reaches there, unclamped.
    static __int128 CrossingAt(const TEdge& g, int64_t k) {
        const int64_t dx = g.X2 > g.X1 ? g.X2 - g.X1 : g.X1 - g.X2;
        const int64_t dy = g.Y2 > g.Y1 ? g.Y2 - g.Y1 : g.Y1 - g.Y2;
        const __int128 t = __int128((dx % dy) / 2) + __int128(k) * dx;
        const __int128 s = t == 0 ? 0 : (t - 1) / dy;
        return g.X2 > g.X1 ? g.X1 + s : g.X1 - s;
    }

    // A walk that stays on column x over g's kept steps kBegin..kEnd.
    TStepper ColumnStepper(int32_t x, const TEdge& g, int64_t kBegin, int64_t kEnd) const {
        TStepper st;
        st.X = st.X1 = x;
        const bool down = g.Y2 > g.Y1;
        st.Top = g.Y1 + (down ? kBegin : -kEnd) - BaseY;
        st.Bottom = st.Top + (kEnd - kBegin);
        return st;
    }

    // The walks of an edge with an end beyond kNearSub, over its kept steps
    // kBegin..kEnd, with each crossing as the plain walk in unbounded
    // integers would give it once moved inside the sides: the steps whose
    // crossings lie beyond a side become a walk down that side, found by
    // bisection (the crossings are monotone); the rest, whose crossings fit,
    // walk the edge itself.
    void FarSteppers(const TEdge& g, int64_t kBegin, int64_t kEnd, std::vector<std::pair<int64_t, int>>& changes) {
        auto add = [&](const TStepper& st) {
            Steppers.push_back(st);
            changes.push_back({st.Top, 1});
            changes.push_back({st.Bottom + 1, -1});
        };
        const bool right = g.X2 > g.X1;
        // The first step in lo..hi whose crossing passes `at`, or hi + 1.
        auto firstStep = [&](int64_t lo, int64_t hi, auto passes) {
            while (lo <= hi) {
                const int64_t mid = lo + (hi - lo) / 2;
                if (passes(CrossingAt(g, mid)))
                    hi = mid - 1;
                else
                    lo = mid + 1;
            }
            return lo;
        };
        // Rightward the crossings run from left of XLo to right of XHi,
        // leftward the other way round.
        const int32_t first = right ? XLo : XHi, last = right ? XHi : XLo;
        const int64_t in = firstStep(kBegin, kEnd, [&](__int128 c) { return right ? c >= XLo : c <= XHi; });
        const int64_t beyond = firstStep(in, kEnd, [&](__int128 c) { return right ? c > XHi : c < XLo; });
        if (in > kBegin) add(ColumnStepper(first, g, kBegin, in - 1));
        if (beyond > in) {
            if (g.X1 == g.X2 || beyond - in == 1) {
                // A column, or one line: nothing to walk.
                add(ColumnStepper(int32_t(CrossingAt(g, in)), g, in, beyond - 1));
            } else {
                TStepper st = MakeStepper(g, in, beyond - 1);
                st.Clamped = false;  // its crossings stay inside
                add(st);
            }
        }
        if (beyond <= kEnd) add(ColumnStepper(last, g, beyond, kEnd));
    }

    // Records each edge's walk and the twin crossings, and checks that
    // every line pairs up into spans before any row is drawn.
    void BuildEdges(const std::vector<TSubPoint>& v) {
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

        // Crossings-count changes along the lines, for the pairing check.
        std::vector<std::pair<int64_t, int>>& changes = Scratch->Changes;
        changes.clear();
        auto near = [](int64_t c) { return c >= -kNearSub && c <= kNearSub; };
        TSubPoint prev = v[0];
        for (size_t i = 1; i <= m; ++i) {
            const TSubPoint cur = v[i % m];
            if (prev.Y != cur.Y) {
                const TEdge g{prev.X, prev.Y, cur.X, cur.Y};
                if (int64_t kBegin, kEnd; KeptSteps(g, kBegin, kEnd)) {
                    if (near(g.X1) && near(g.Y1) && near(g.X2) && near(g.Y2)) {
                        Steppers.push_back(MakeStepper(g, kBegin, kEnd));
                        changes.push_back({Steppers.back().Top, 1});
                        changes.push_back({Steppers.back().Bottom + 1, -1});
                    } else {
                        FarSteppers(g, kBegin, kEnd, changes);
                    }
                }
                const int d2 = prev.Y < cur.Y ? 1 : -1;
                // A top or bottom vertex: pair the new edge's first crossing
                // with a twin so the sub-scanline stays even.
                if (d2 != d) {
                    if (const int64_t l = LineOf(prev.Y); l >= 0) {
                        Extras.push_back({l, int32_t(std::clamp<int64_t>(prev.X, XLo, XHi))});
                        changes.push_back({l, 1});
                        changes.push_back({l + 1, -1});
                    }
                    d = d2;
                }
            }
            prev = cur;
        }

        std::sort(changes.begin(), changes.end());
        int64_t count = 0;
        for (size_t i = 0; i < changes.size(); ++i) {
            count += changes[i].second;
            const bool last = i + 1 == changes.size() || changes[i + 1].first != changes[i].first;
            if (last && changes[i].first < NLines && count % 2 != 0)
                throw EAssertionFailed(kSource, kLineOddCrossings);
        }
        std::sort(Steppers.begin(), Steppers.end(),
                  [](const TStepper& a, const TStepper& b) { return a.Top < b.Top; });
        std::sort(Extras.begin(), Extras.end(),
                  [](const TExtra& a, const TExtra& b) { return a.Line < b.Line; });
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

    // The difference entries of every span of a row's sorted lines (line l
    // holds xs[start[l] .. start[l + 1])), relative to minPix. False, after
    // saying so, at a negative crossing, which only a negative ClipLeft
    // lets through.
    static bool AddSpans(const std::vector<uint32_t>& start, const std::vector<int32_t>& xs,
                         int32_t minPix, int32_t* accp, uint64_t* marks) {
        for (size_t l = 0; l + 1 < start.size(); ++l) {
            for (uint32_t i = start[l]; i + 1 < start[l + 1]; i += 2) {
                const int32_t s = xs[i], e = xs[i + 1];
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

    // The entries of one edge's n crossings (all >= 0, pixel order
    // monotone) in a row where it starts (sign 1) or ends (-1) a span on
    // every line: its crossings in one pixel are summed in registers and
    // written once, instead of n dependent updates of one entry.
    static void AddColumn(const int32_t* x, int32_t n, int32_t sign, int32_t minPix, int32_t* accp,
                          uint64_t* marks) {
        auto mark = [&](ptrdiff_t p) { marks[p >> 6] |= uint64_t(1) << (p & 63); };
        const int32_t first = x[0] >> 4, last = x[n - 1] >> 4;
        if (std::abs(first - last) <= 1) {
            // At most two pixels: split by a mask, no branch per line.
            // Sums of the sub-columns over all lines and over those in the
            // left pixel, and that count, give all four.
            const int32_t lo = std::min(first, last);
            int32_t all = 0, inLo = 0, countLo = 0;
            for (int32_t l = 0; l < n; ++l) {
                const int32_t f = x[l] & 15;
                const int32_t isLo = (x[l] >> 4) == lo;
                all += f;
                inLo += isLo ? f : 0;
                countLo += isLo;
            }
            const int32_t hereA = 15 * countLo - inLo, nextA = inLo;
            const int32_t nextB = all - inLo, hereB = 15 * (n - countLo) - nextB;
            const ptrdiff_t p = lo - minPix;
            accp[p] += sign * hereA;
            accp[p + 1] += sign * (nextA + hereB);
            mark(p);
            if (first != last) {
                accp[p + 2] += sign * nextB;
                mark(p + 1);
            }
            return;
        }
        ptrdiff_t p = -1;
        int32_t here = 0, next = 0;  // what pixel p and p + 1 receive
        auto flush = [&] {
            if (p < 0) return;
            accp[p] += sign * here;
            accp[p + 1] += sign * next;
            mark(p);
        };
        for (int32_t l = 0; l < n; ++l) {
            const ptrdiff_t px = (x[l] >> 4) - minPix;
            if (px != p) {
                flush();
                p = px;
                here = next = 0;
            }
            here += 15 - (x[l] & 15);
            next += x[l] & 15;
        }
        flush();
    }

    // Appends Len pixels at coverage sum T (0..240, a sum of spans over the
    // row's lines), merged into the last run when the coverage is the same.
    // 240 * 273 div 256 = 255: full coverage is 1.
    static uint8_t CoverOf(int32_t t) { return uint8_t((uint32_t(t) * 273) >> 8); }
    static void PutRun(std::vector<TCoverageRun>& runs, int32_t x, int32_t len, int32_t t) {
        const uint8_t cover = CoverOf(t);
        if (!runs.empty() && runs.back().Cover == cover)
            runs.back().Len += len;
        else
            runs.push_back({x, len, cover});
    }

    // The sums of pixels first .. first + w - 1 (w <= 16) from one edge's n
    // crossings. A crossing at x gives pixel j (counted from first)
    // clamp(16 j + 15 - (x - 16 first), 0, 15): 15 left of its pixel, the
    // 15 - f sub-columns f..14 in it, nothing right of it. On SSE2 the 16
    // lines are bytes of one vector, where a saturating subtraction is the
    // lower clamp.
    static void EdgePixelSums(const int32_t* x, int32_t n, int32_t first, int32_t w, int32_t* sums) {
#if defined(__SSE2__)
        if (n == kRowLines) {
            const __m128i origin = _mm_set1_epi32(16 * first);
            auto rel = [&](int l) {
                return _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + l)), origin);
            };
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(rel(0), rel(4)),
                                                   _mm_packs_epi32(rel(8), rel(12)));
            const __m128i fifteen = _mm_set1_epi8(15), sixteen = _mm_set1_epi8(16);
            const __m128i zero = _mm_setzero_si128();
            __m128i top = fifteen;  // 16 j + 15 in every byte
            for (int32_t j = 0; j < w; ++j, top = _mm_add_epi8(top, sixteen)) {
                const __m128i c = _mm_min_epu8(_mm_subs_epu8(top, bytes), fifteen);
                const __m128i s = _mm_sad_epu8(c, zero);
                sums[j] = _mm_cvtsi128_si32(s) + _mm_extract_epi16(s, 4);
            }
            return;
        }
#endif
        for (int32_t j = 0; j < w; ++j) {
            int32_t sum = 0;
            for (int32_t l = 0; l < n; ++l)
                sum += std::clamp(16 * (first + j) + 15 - x[l], 0, 15);
            sums[j] = sum;
        }
    }

    // Most runs a row apart can take: per edge 2 n for its pixels and the
    // gaps between them, 1 for the stretch after it.
    static size_t ApartRunsBound(size_t na) { return na * (2 * kRowLines + 1); }

    // The runs of a row whose edges lie apart (edge i's crossings in pixels
    // pix[i], left of edge i + 1's), each edge's pixels summed from its own
    // crossings, the stretch up to the next edge at the sum the edge
    // leaves; the last stretch ends before pixel end. Even edges start
    // spans. Writes at most ApartRunsBound(na) runs to out; returns how many.
    static size_t ApartRuns(const int32_t* xs, size_t na, int32_t n,
                            const std::pair<int32_t, int32_t>* pix, int32_t end,
                            TCoverageRun* out) {
        TCoverageRun* const begin = out;
        int32_t lastCover = -1;  // out[-1].Cover, kept out of memory
        auto put = [&](int32_t x, int32_t len, int32_t t) {
            const uint8_t cover = CoverOf(t);
            if (cover == lastCover) {
                out[-1].Len += len;
            } else {
                *out++ = {x, len, cover};
                lastCover = cover;
            }
        };
        int32_t base = 0;  // the sum left of the edge
        for (size_t i = 0; i < na; ++i) {
            const int32_t* x = xs + i * kRowLines;
            const int32_t sign = i % 2 ? -1 : 1;
            const auto [first, last] = pix[i];
            if (last - first < 16) {
                int32_t sums[16];
                EdgePixelSums(x, n, first, last - first + 1, sums);
                for (int32_t j = 0; j <= last - first; ++j) put(first + j, 1, base + sign * sums[j]);
            } else {
                // A shallow edge: pixel by pixel in column order, runs over
                // the gaps between its crossings.
                const bool rightward = x[0] <= x[n - 1];
                int32_t done = 0;  // 15 per crossing left of the pixel
                int32_t at = first;
                for (int32_t k = 0; k < n;) {
                    const int32_t px = x[rightward ? k : n - 1 - k] >> 4;
                    if (px > at) put(at, px - at, base + sign * done);
                    int32_t here = 0, count = 0;
                    for (; k < n; ++k, ++count) {
                        const int32_t v = x[rightward ? k : n - 1 - k];
                        if (v >> 4 != px) break;
                        here += 15 - (v & 15);
                    }
                    put(px, 1, base + sign * (done + here));
                    done += 15 * count;
                    at = px + 1;
                }
            }
            base += sign * 15 * n;
            const int32_t next = i + 1 < na ? pix[i + 1].first : end;
            if (next > last + 1) put(last + 1, next - last - 1, base);
        }
        return size_t(out - begin);
    }

    // The running sum over the touched entries of acc (marked in touched),
    // as runs from pixel minPix over len pixels; the coverage stays put
    // between entries. Leaves acc and touched zero.
    static void SumRuns(std::vector<int32_t>& acc, std::vector<uint64_t>& touched, int32_t minPix,
                        int32_t len, std::vector<TCoverageRun>& runs) {
        int32_t t = 0, from = 0;
        const size_t words = (size_t(len) + 63) / 64;
        uint64_t carry = 0;  // the top mark of the previous word, moved on
        for (size_t w = 0; w < words; ++w) {
            const uint64_t m = touched[w];
            uint64_t bits = m | m << 1 | carry;
            carry = m >> 63;
            for (; bits; bits &= bits - 1) {
                const int32_t c = int32_t(w * 64) + std::countr_zero(bits);
                if (c > from) PutRun(runs, minPix + from, c - from, t);
                t += acc[size_t(c)];
                acc[size_t(c)] = 0;
                from = c;
            }
            touched[w] = 0;
        }
        if (len > from) PutRun(runs, minPix + from, len - from, t);
    }

    // Per pixel row: four difference entries per span, as always, but the
    // running sum visits only the entries that were touched, so everything
    // between two of them comes out as one run. A span touches p, p + 1, q
    // and q + 1; the bitmap marks p and q, and each word of it shifted by
    // one gives the others.
    //
    // Most rows are plain: every edge there crosses all the row's lines, no
    // twin lies in it and the edges keep one left-to-right order on every
    // line, so the k-th crossing of each line is the k-th edge's and even k
    // starts a span. Those rows are summed edge by edge; the others are
    // sorted line by line.
    void RenderScanLines() {
        const TCoverageEvent& onCoverage = Poly.OnCoverage;
        const TCoverageRowEvent& onRow = Poly.OnCoverageRow;
        if (!onRow && !onCoverage) return;
        if (BaseY < 0) return;
        const int64_t n = NLines;
        const int64_t endRow = (int64_t(BaseY) + n + 15) / 16;
        TScratch& m = *Scratch;
        std::vector<uint32_t>& active = m.Active;  // steppers that reach the row, left to right
        std::vector<int64_t>& keys = m.Keys;       // their next crossings, for the order
        // Grown only, never cleared per row: kRowLines crossings per active
        // stepper, the lines a..b-1 of the row it crosses, and the pixels
        // its crossings lie in.
        std::vector<int32_t>& xs = m.Xs;
        std::vector<std::pair<int32_t, int32_t>>& reach = m.Reach;
        std::vector<std::pair<int32_t, int32_t>>& edgePix = m.EdgePix;
        std::vector<uint32_t>& lineStart = m.LineStart;  // the sorted lines of a row that is not plain
        std::vector<int32_t>& lineXs = m.LineXs;
        std::vector<int32_t>& acc = m.Acc;
        std::vector<uint64_t>& touched = m.Touched;
        std::vector<TCoverageRun>& runs = m.Runs;
        std::vector<TCoverageRun>& apartRuns = m.ApartRuns;
        active.clear();
        size_t nextEdge = 0, nextExtra = 0;
        int64_t minBottom = INT64_MAX;  // of the active steppers
        bool anyClamped = false;        // whether any of them is
        for (int64_t row = BaseY >> 4; row < endRow; ++row) {
            const int64_t lo = std::max<int64_t>(0, 16 * row - BaseY);
            const int64_t hi = std::min<int64_t>(n - 1, 16 * row - BaseY + 15);
            const int32_t nl = int32_t(hi - lo + 1);

            const bool left = minBottom < lo;
            if (left) std::erase_if(active, [&](uint32_t i) { return Steppers[i].Bottom < lo; });
            const size_t joinBegin = nextEdge;
            while (nextEdge < Steppers.size() && Steppers[nextEdge].Top <= hi)
                active.push_back(uint32_t(nextEdge++));
            const bool joined = nextEdge != joinBegin;
            if (left || joined) {
                minBottom = INT64_MAX;
                anyClamped = false;
                for (const uint32_t i : active) {
                    minBottom = std::min(minBottom, Steppers[i].Bottom);
                    anyClamped = anyClamped || Steppers[i].Clamped;
                }
            }
            const size_t extraBegin = nextExtra;
            while (nextExtra < Extras.size() && Extras[nextExtra].Line <= hi) ++nextExtra;
            if (active.empty() && extraBegin == nextExtra) continue;
            // Every edge crosses all sixteen lines, walked on from the last
            // row, within the sides, and no twin lies here: the common row.
            const bool steady = nl == kRowLines && !joined && extraBegin == nextExtra &&
                                lo + kRowLines <= minBottom && !anyClamped;

            // By the crossing each takes next; the order changes seldom, so
            // an insertion sort does little.
            const size_t na = active.size();
            if (keys.size() < na) keys.resize(na);
            for (size_t i = 0; i < na; ++i) {
                const int64_t k = Steppers[active[i]].X;
                const uint32_t a = active[i];
                size_t j = i;
                for (; j > 0 && keys[j - 1] > k; --j) {
                    keys[j] = keys[j - 1];
                    active[j] = active[j - 1];
                }
                keys[j] = k;
                active[j] = a;
            }

            if (xs.size() < na * kRowLines) {
                xs.resize(na * kRowLines);
                reach.resize(na);
                edgePix.resize(na);
            }
            bool plain = extraBegin == nextExtra;
            int32_t minX = INT32_MAX, maxX = INT32_MIN;
            if (steady) {
                for (size_t i = 0; i < na; ++i) {
                    int32_t* x = xs.data() + i * kRowLines;
                    Steppers[active[i]].WalkRow(x);
                    reach[i] = {0, kRowLines};
                    const auto [low, high] = std::minmax(x[0], x[kRowLines - 1]);
                    edgePix[i] = {low >> 4, high >> 4};
                    minX = std::min(minX, low);
                    maxX = std::max(maxX, high);
                }
            }
            for (size_t i = 0; !steady && i < na; ++i) {
                TStepper& st = Steppers[active[i]];
                const int32_t a = int32_t(std::max(lo, st.Top) - lo);
                const int32_t b = int32_t(std::min(hi, st.Bottom) - lo + 1);
                reach[i] = {a, b};
                plain = plain && a == 0 && b == nl;
                int32_t* x = xs.data() + i * kRowLines;
                st.Walk(x, a, b, lo, XLo, XHi);
                // Each edge's crossings are monotone.
                const auto [low, high] = std::minmax(x[a], x[b - 1]);
                edgePix[i] = {low >> 4, high >> 4};
                minX = std::min(minX, low);
                maxX = std::max(maxX, high);
            }
            for (size_t e = extraBegin; e < nextExtra; ++e) {
                minX = std::min(minX, Extras[e].X);
                maxX = std::max(maxX, Extras[e].X);
            }
            // Edges apart: each one's crossings lie in pixels left of the
            // next one's, so the row's runs follow edge by edge.
            plain = plain && minX >= 0;
            bool apart = plain;
            for (size_t i = 1; apart && i < na; ++i) apart = edgePix[i - 1].second < edgePix[i].first;
            for (size_t i = 0; plain && !apart && i + 1 < na; ++i) {
                const int32_t* x = xs.data() + i * kRowLines;
                const int32_t* y = x + kRowLines;
                // Both monotone: when one lies wholly left of the other
                // their ends tell; else line by line.
                if (std::max(x[0], x[nl - 1]) <= std::min(y[0], y[nl - 1])) continue;
                bool ordered = true;
                for (int32_t l = 0; l < nl; ++l) ordered &= x[l] <= y[l];
                plain = ordered;
            }

            // Pixel range from the crossings alone.
            const int32_t minPix = minX / 16, maxPix = (maxX + 15) / 16;
            const int32_t len = maxPix - minPix + 2;
            std::span<const TCoverageRun> rowRuns;
            if (apart) {
                if (apartRuns.size() < ApartRunsBound(na)) apartRuns.resize(ApartRunsBound(na));
                rowRuns = {apartRuns.data(),
                           ApartRuns(xs.data(), na, nl, edgePix.data(), minPix + len, apartRuns.data())};
            } else {
                runs.clear();
                if (acc.size() < size_t(len)) {
                    acc.resize(size_t(len), 0);
                    touched.resize((size_t(len) + 63) / 64, 0);
                }
                int32_t* const accp = acc.data();
                uint64_t* const marks = touched.data();
                if (plain) {
                    for (size_t i = 0; i < na; ++i)
                        AddColumn(xs.data() + i * kRowLines, nl, i % 2 ? -1 : 1, minPix, accp, marks);
                } else {
                    lineStart.clear();
                    lineXs.clear();
                    for (int32_t l = 0; l < nl; ++l) {
                        const uint32_t b = uint32_t(lineXs.size());
                        lineStart.push_back(b);
                        for (size_t i = 0; i < na; ++i)
                            if (reach[i].first <= l && l < reach[i].second)
                                lineXs.push_back(xs[i * kRowLines + size_t(l)]);
                        for (size_t e = extraBegin; e < nextExtra; ++e)
                            if (Extras[e].Line == lo + l) lineXs.push_back(Extras[e].X);
                        SortScanLine(lineXs.data() + b, uint32_t(lineXs.size()) - b);
                    }
                    lineStart.push_back(uint32_t(lineXs.size()));
                    if (!AddSpans(lineStart, lineXs, minPix, accp, marks)) {
                        std::fill(acc.begin(), acc.end(), 0);  // as the next fill expects them
                        std::fill(touched.begin(), touched.end(), 0);
                        return;
                    }
                }
                SumRuns(acc, touched, minPix, len, runs);
                rowRuns = runs;
            }

            const int32_t y = int32_t(row);
            if (onRow) {
                onRow(y, rowRuns);
                continue;
            }
            for (const TCoverageRun& r : rowRuns) {
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

void TPoly::FillPolygon() const {
    if (Points.size() < 3) return;
    // An inside-out box allows no pixel; pinning crossings into it would.
    if (ClipRight < ClipLeft || ClipBottom < ClipTop) return;
    const TArrayOfPointF loop = Loop();
    if (loop.size() < 3) return;

    std::vector<TSubPoint> v(loop.size());
    bool far = false;
    for (size_t i = 0; i < loop.size() && !far; ++i)
        far = !SubPixel(loop[i].X, v[i].X) || !SubPixel(loop[i].Y, v[i].Y);
    if (far) {
        for (const TPointF& p : loop)
            if (!std::isfinite(p.X) || !std::isfinite(p.Y)) return;
        const std::vector<std::pair<double, double>> cut = ClipToSquare(loop, double(kFarSub / 32));
        if (cut.size() < 3) return;
        v.resize(cut.size());
        for (size_t i = 0; i < cut.size(); ++i)
            if (!SubPixel(cut[i].first, v[i].X) || !SubPixel(cut[i].second, v[i].Y)) return;
    }

    TFill fill(*this);
    // Range from the vertices alone, then limited to the rows that may be drawn.
    int64_t minY = v[0].Y, maxY = v[0].Y;
    for (const TSubPoint& p : v) {
        minY = std::min(minY, p.Y);
        maxY = std::max(maxY, p.Y);
    }
    minY = std::clamp<int64_t>(minY, fill.YLo, fill.YHi);
    maxY = std::clamp<int64_t>(maxY, fill.YLo, fill.YHi);
    if (minY >= maxY) return;

    fill.BaseY = int32_t(minY);
    fill.NLines = int64_t(maxY) - minY + 1;
    fill.BuildEdges(v);
    fill.RenderScanLines();
}

}  // namespace quenlo
