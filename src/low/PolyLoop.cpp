// TPoly's loop search: which segments of the chain meet first.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "low/VeloreLow.h"
#include "low/polygons.h"

namespace quenlo {

namespace {

// Chains shorter than this are searched again on every fill: cheaper than
// keeping their loop.
constexpr size_t kCachedChain = 64;

// The rule itself: for i = 0, 1, ... and j = n - 2 down to i + 2, the first
// pair of segments that meet. Kept for chains with a vertex that is not
// finite, whose boxes do not order.
bool FirstPairByRule(const TArrayOfPointF& p, size_t& bi, size_t& bj, TPointF& cross) {
    const size_t n = p.size();
    for (size_t i = 0; i + 4 <= n; ++i)
        for (size_t j = n - 2; j >= i + 2; --j)
            if (SegmentsIntersect(p[i], p[i + 1], p[j], p[j + 1], cross)) {
                bi = i;
                bj = j;
                return true;
            }
    return false;
}

struct TSegBox {
    float XLo, XHi, YLo, YHi;
    uint32_t I;  // segment i runs from vertex i to vertex i + 1
};

// The pairs of boxes whose extents on one axis meet (touching counts):
// for each box in order of its start, the earlier ones not ended before it.
uint64_t OverlapsAlong(const std::vector<TSegBox>& boxes, float TSegBox::*lo, float TSegBox::*hi) {
    std::vector<float> starts, ends;
    starts.reserve(boxes.size());
    ends.reserve(boxes.size());
    for (const TSegBox& b : boxes) {
        starts.push_back(b.*lo);
        ends.push_back(b.*hi);
    }
    std::sort(starts.begin(), starts.end());
    std::sort(ends.begin(), ends.end());
    uint64_t pairs = 0;
    size_t ended = 0;
    for (size_t i = 0; i < starts.size(); ++i) {
        while (ended < ends.size() && ends[ended] < starts[i]) ++ended;
        pairs += i - ended;
    }
    return pairs;
}

// The same answer as FirstPairByRule. SegmentsIntersect first asks that the
// two segments' boxes meet (touching counts), compared on the same floats,
// and a segment of length 0 never meets anything (its line has no
// direction). So only pairs of boxes that meet need the test: a sweep along
// one axis keeps the boxes that still reach the sweep's position and tests
// the new one against those that also meet it on the other. Of the pairs
// that meet, the
// smallest i wins and, for it, the largest j, as in the rule's order.
bool FirstPairBySweep(const TArrayOfPointF& p, size_t& bi, size_t& bj, TPointF& cross) {
    const size_t n = p.size();
    std::vector<TSegBox> boxes;
    boxes.reserve(n - 1);
    for (size_t i = 0; i + 1 < n; ++i) {
        const TPointF a = p[i], b = p[i + 1];
        if (a == b) continue;
        boxes.push_back({std::min(a.X, b.X), std::max(a.X, b.X), std::min(a.Y, b.Y), std::max(a.Y, b.Y),
                         uint32_t(i)});
    }
    // Sweep along the axis on which fewer boxes overlap: a zigzag from side
    // to side overlaps everything in x and little in y.
    if (OverlapsAlong(boxes, &TSegBox::YLo, &TSegBox::YHi) < OverlapsAlong(boxes, &TSegBox::XLo, &TSegBox::XHi))
        for (TSegBox& b : boxes) {
            std::swap(b.XLo, b.YLo);
            std::swap(b.XHi, b.YHi);
        }
    std::sort(boxes.begin(), boxes.end(), [](const TSegBox& a, const TSegBox& b) {
        return a.XLo < b.XLo || (a.XLo == b.XLo && a.I < b.I);
    });
    bool found = false;
    std::vector<const TSegBox*> active;
    for (const TSegBox& s : boxes) {
        // Boxes that end before this one starts meet nothing from here on.
        std::erase_if(active, [&](const TSegBox* a) { return a->XHi < s.XLo; });
        for (const TSegBox* a : active) {
            if (std::min(a->YHi, s.YHi) < std::max(a->YLo, s.YLo)) continue;
            const size_t i = std::min(a->I, s.I), j = std::max(a->I, s.I);
            if (j < i + 2 || (found && (i > bi || (i == bi && j < bj)))) continue;
            TPointF x;
            if (!SegmentsIntersect(p[i], p[i + 1], p[j], p[j + 1], x)) continue;
            bi = i;
            bj = j;
            cross = x;
            found = true;
        }
        active.push_back(&s);
    }
    return found;
}

bool AllFinite(const TArrayOfPointF& p) {
    return std::all_of(p.begin(), p.end(), [](TPointF v) { return std::isfinite(v.X) && std::isfinite(v.Y); });
}

// FNV-1a over the vertices' bits: tells a changed chain from the one
// whose loop is kept.
uint64_t ChainKey(const TArrayOfPointF& p) {
    uint64_t h = 1469598103934665603ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(p.data());
    for (size_t k = 0; k < p.size() * sizeof(TPointF); ++k) h = (h ^ bytes[k]) * 1099511628211ull;
    return h;
}

}  // namespace

TArrayOfPointF TPoly::FindLoop() const {
    const size_t n = Points.size();
    if (n < 4) return {};
    size_t i = 0, j = 0;
    TPointF x;
    const bool found = AllFinite(Points) ? FirstPairBySweep(Points, i, j, x) : FirstPairByRule(Points, i, j, x);
    if (!found) return {};
    TArrayOfPointF loop;
    loop.reserve(j - i + 2);
    loop.push_back(x);
    loop.insert(loop.end(), Points.begin() + std::ptrdiff_t(i + 1), Points.begin() + std::ptrdiff_t(j + 1));
    loop.push_back(x);
    return loop;
}

TArrayOfPointF TPoly::Loop() const {
    if (Points.size() < kCachedChain) {
        loopCache_.reset();
        return FindLoop();
    }
    const uint64_t key = ChainKey(Points);
    if (!loopCache_ || loopCache_->Key != key || loopCache_->Count != Points.size()) {
        loopCache_.reset();  // a failed search must not leave a stale answer
        loopCache_ = std::make_unique<TLoopCache>(TLoopCache{key, Points.size(), FindLoop()});
    }
    return loopCache_->Loop;
}

}  // namespace quenlo
