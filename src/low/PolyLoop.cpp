// TPoly's loop search: which segments of the chain meet first.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <set>
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
    float XLo, XHi;
    uint32_t YLo, YHi;  // the y extent as ranks among all the boxes' distinct y values
    uint32_t I;         // segment i runs from vertex i to vertex i + 1
};

// The boxes the sweep line crosses, found by their y extents (as ranks,
// 0 .. m - 1): those over the start of a query's extent in a segment tree
// that holds each box in the O(log m) nodes that make up its extent, and
// those that start inside it in a set ordered by start. Both take time in
// proportion to what they report. A box leaves the tree lazily: marked,
// and dropped from a node's list when a query next walks that node.
class TActiveBoxes {
public:
    explicit TActiveBoxes(const std::vector<TSegBox>& boxes, uint32_t m)
        : boxes_(boxes), size_(std::bit_ceil(std::max<uint32_t>(m, 1))), gone_(boxes.size(), 0) {
        // Each node's list gets room for every box it will ever hold.
        std::vector<uint32_t> count(2 * size_t(size_), 0);
        for (const TSegBox& b : boxes) ForEachNode(b, [&](size_t node) { ++count[node]; });
        begin_.resize(count.size() + 1);
        begin_[0] = 0;
        for (size_t k = 0; k < count.size(); ++k) begin_[k + 1] = begin_[k] + count[k];
        entries_.resize(begin_.back());
        used_.assign(count.size(), 0);
    }

    void Insert(uint32_t b) {
        ForEachNode(boxes_[b], [&](size_t node) { entries_[begin_[node] + used_[node]++] = b; });
        starts_.insert({boxes_[b].YLo, b});
    }

    void Erase(uint32_t b) {
        gone_[b] = 1;
        starts_.erase({boxes_[b].YLo, b});
    }

    // fn(b) for every box in the set whose y extent meets [lo, hi].
    template <class F>
    void ForEachMeeting(uint32_t lo, uint32_t hi, F&& fn) {
        // Those over lo: the lists from lo's leaf up to the root.
        for (size_t node = size_t(lo) + size_; node >= 1; node >>= 1) {
            uint32_t* const list = entries_.data() + begin_[node];
            uint32_t kept = 0;
            for (uint32_t k = 0; k < used_[node]; ++k) {
                const uint32_t b = list[k];
                if (gone_[b]) continue;
                list[kept++] = b;
                fn(b);
            }
            used_[node] = kept;
        }
        // Those starting after lo, up to hi.
        for (auto it = starts_.lower_bound({lo + 1, 0}); it != starts_.end() && it->first <= hi; ++it) fn(it->second);
    }

private:
    // The nodes whose ranges make up [YLo, YHi] exactly.
    template <class F>
    void ForEachNode(const TSegBox& b, F&& fn) const {
        for (size_t l = b.YLo + size_t(size_), r = b.YHi + size_t(size_) + 1; l < r; l >>= 1, r >>= 1) {
            if (l & 1) fn(l++);
            if (r & 1) fn(--r);
        }
    }

    const std::vector<TSegBox>& boxes_;
    const uint32_t size_;  // leaves: m rounded up to a power of two
    std::vector<size_t> begin_;
    std::vector<uint32_t> used_, entries_;
    std::vector<uint8_t> gone_;
    std::set<std::pair<uint32_t, uint32_t>> starts_;  // (YLo, box)
};

// The same answer as FirstPairByRule. SegmentsIntersect first asks that the
// two segments' boxes meet (touching counts), compared on the same floats,
// and a segment of length 0 never meets anything (its line has no
// direction). So only pairs of boxes that meet need the test: a sweep along
// x keeps the boxes that still reach the sweep's position and tests the new
// one against those that also meet it in y. Of the pairs that meet, the
// smallest i wins and, for it, the largest j, as in the rule's order.
// Each box costs its sorting and its O(log n) places in the active set,
// each pair whose boxes meet one unit of work: once work passes its limit
// the search stops, and says so.
enum class TSearch { NotFound, Found, OverLimit };

TSearch FirstPairBySweep(const TArrayOfPointF& p, TLoopWork& work, size_t& bi, size_t& bj, TPointF& cross) {
    const size_t n = p.size();
    std::vector<TSegBox> boxes;
    boxes.reserve(n - 1);
    std::vector<float> ys;
    ys.reserve(2 * (n - 1));
    for (size_t i = 0; i + 1 < n; ++i) {
        const TPointF a = p[i], b = p[i + 1];
        if (a == b) continue;
        boxes.push_back({std::min(a.X, b.X), std::max(a.X, b.X), 0, 0, uint32_t(i)});
        ys.push_back(a.Y);
        ys.push_back(b.Y);
    }
    // Equal floats (0 and -0 too) take one rank, so ranks meet where the floats do.
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
    auto rank = [&ys](float y) { return uint32_t(std::lower_bound(ys.begin(), ys.end(), y) - ys.begin()); };
    for (TSegBox& b : boxes) {
        const TPointF u = p[b.I], v = p[b.I + 1];
        b.YLo = rank(std::min(u.Y, v.Y));
        b.YHi = rank(std::max(u.Y, v.Y));
    }
    std::sort(boxes.begin(), boxes.end(), [](const TSegBox& a, const TSegBox& b) {
        return a.XLo < b.XLo || (a.XLo == b.XLo && a.I < b.I);
    });
    std::vector<uint32_t> byEnd(boxes.size());
    for (uint32_t k = 0; k < byEnd.size(); ++k) byEnd[k] = k;
    std::sort(byEnd.begin(), byEnd.end(), [&](uint32_t a, uint32_t b) { return boxes[a].XHi < boxes[b].XHi; });
    work.Done += uint64_t(boxes.size()) * uint64_t(std::bit_width(boxes.size()) + 1);
    if (work.Done > work.Limit) return TSearch::OverLimit;

    TActiveBoxes active(boxes, uint32_t(std::max<size_t>(ys.size(), 1)));
    bool found = false;
    size_t ended = 0;
    for (uint32_t k = 0; k < boxes.size(); ++k) {
        const TSegBox& s = boxes[k];
        // Boxes that end before this one starts meet nothing from here on;
        // they all started before it.
        for (; ended < byEnd.size() && boxes[byEnd[ended]].XHi < s.XLo; ++ended) active.Erase(byEnd[ended]);
        uint64_t met = 0;
        active.ForEachMeeting(s.YLo, s.YHi, [&](uint32_t other) {
            ++met;
            const TSegBox& a = boxes[other];
            const size_t i = std::min(a.I, s.I), j = std::max(a.I, s.I);
            if (j < i + 2 || (found && (i > bi || (i == bi && j < bj)))) return;
            TPointF x;
            if (!SegmentsIntersect(p[i], p[i + 1], p[j], p[j + 1], x)) return;
            bi = i;
            bj = j;
            cross = x;
            found = true;
        });
        work.Done += met;
        if (work.Done > work.Limit) return TSearch::OverLimit;
        active.Insert(k);
    }
    return found ? TSearch::Found : TSearch::NotFound;
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
    TLoopWork unlimited;
    TArrayOfPointF loop;
    SearchLoop(unlimited, loop);
    return loop;
}

bool TPoly::SearchLoop(TLoopWork& work, TArrayOfPointF& loop) const {
    loop.clear();
    const size_t n = Points.size();
    if (n < 4) return true;
    size_t i = 0, j = 0;
    TPointF x;
    if (AllFinite(Points)) {
        const TSearch result = FirstPairBySweep(Points, work, i, j, x);
        if (result == TSearch::OverLimit) return false;
        if (result == TSearch::NotFound) return true;
    } else {
        // Only a vertex past the float range makes this, read from a script
        // or not: every pair, a unit each.
        work.Done += uint64_t(n) * n / 2;
        if (work.Done > work.Limit) return false;
        if (!FirstPairByRule(Points, i, j, x)) return true;
    }
    loop.reserve(j - i + 2);
    loop.push_back(x);
    loop.insert(loop.end(), Points.begin() + std::ptrdiff_t(i + 1), Points.begin() + std::ptrdiff_t(j + 1));
    loop.push_back(x);
    return true;
}

bool TPoly::KeepLoop(TLoopWork& work) const {
    if (Points.size() < kCachedChain) {
        work.Done += uint64_t(Points.size()) * Points.size() / 2;  // every pair at most
        return work.Done <= work.Limit;
    }
    const uint64_t key = ChainKey(Points);
    if (loopCache_ && loopCache_->Key == key && loopCache_->Count == Points.size()) return true;
    loopCache_.reset();  // a failed search must not leave a stale answer
    TArrayOfPointF loop;
    if (!SearchLoop(work, loop)) return false;
    loopCache_ = std::make_unique<TLoopCache>(TLoopCache{key, Points.size(), std::move(loop)});
    return true;
}

TArrayOfPointF TPoly::Loop() const {
    if (Points.size() < kCachedChain) {
        loopCache_.reset();
        return FindLoop();
    }
    TLoopWork unlimited;
    KeepLoop(unlimited);
    return loopCache_->Loop;
}

}  // namespace quenlo
