#pragma once
// Polygon scan conversion: turns a chain of float vertices into outline
// segments and anti-aliased pixel coverage, without touching any pixel.
// The owner binds the callbacks and decides what a segment or a covered
// pixel means.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "low/Errors.h"
#include "low/Types.h"

namespace quenlo {

// A broken internal invariant; the message reads
// "Assertion failure (<source>, <line> 行)".
class EAssertionFailed : public EQuenlo {
public:
    EAssertionFailed(const std::string& source, int line);
};

// Shows a message the user should see although nothing can be done about
// it. Returns the previous notifier; an empty one restores the default,
// which writes the text to stderr. The GUI binds a modal box here.
using TMessageNotifier = std::function<void(const std::string&)>;
TMessageNotifier SetPolyNotifier(TMessageNotifier notifier);

// Working types of the fill.
using TArrayOfPoint = std::vector<TPoint>;  // loop vertices in 1/16 pixel
using TScanLine = std::vector<int32_t>;     // crossings of one sub-scanline
using TScanLines = std::vector<TScanLine>;  // index 0 = topmost sub-scanline

// Len pixels from column X of one row, all with coverage Cover (0..255,
// full coverage 255): the run form of what OnCoverage hands out one pixel
// at a time as Cover / 255.
struct TCoverageRun {
    int32_t X = 0;
    int32_t Len = 0;
    uint8_t Cover = 0;
};

// What a loop search may do, and what it did.
struct TLoopWork {
    uint64_t Limit = UINT64_MAX;
    uint64_t Done = 0;
};

class TPoly {
public:
    using TEdgeEvent = std::function<void(TPointF a, TPointF b)>;
    using TCoverageEvent = std::function<void(TPoint p, float alpha)>;
    // One pixel row of a fill, left to right; the runs cover exactly the
    // pixels OnCoverage would get for that row, neighbours never equal.
    using TCoverageRowEvent = std::function<void(int32_t row, std::span<const TCoverageRun> runs)>;

    // The vertex chain in pixels, y downward; filled by the owner.
    TArrayOfPointF Points;
    TEdgeEvent OnEdge;
    TCoverageEvent OnCoverage;
    // When assigned, the fill hands out whole rows here instead of pixels
    // to OnCoverage: same pixels, same values, interiors as single runs.
    TCoverageRowEvent OnCoverageRow;
    // Pixel rectangle that may be drawn, inclusive.
    int32_t ClipLeft = 0;
    int32_t ClipRight = 1000000;
    int32_t ClipTop = 0;
    int32_t ClipBottom = 1000000;

    void Clear() { Points.clear(); }
    void SetClip(int32_t left, int32_t top, int32_t right, int32_t bottom);

    // Hands every segment of the chain to OnEdge, clipped to the clip
    // rectangle widened by half a pixel. Unless open, the closing segment
    // (last vertex to first) goes first.
    void DrawOutline(bool open) const;
    // Fills the loop the chain closes at its first self-contact and hands
    // every pixel of each touched row, with its coverage 0..1, to
    // OnCoverage (or the row to OnCoverageRow). The last clip column and
    // row receive no fill.
    void FillPolygon() const;

    // Clips one segment and hands it to OnEdge, start first.
    void EmitEdge(TPointF a, TPointF b) const;
    // The loop the chain closes at its first self-contact: crossing point,
    // the vertices in between, crossing point again. Empty when there is none.
    // A sweep over the segments' boxes: n log n for a chain whose segment
    // boxes each meet a few others, the same answer as testing every pair.
    TArrayOfPointF FindLoop() const;
    // The same, adding the search's work to work.Done (a unit per box per
    // level of its sorting, and per pair of boxes that meet); once that
    // passes work.Limit it stops and returns false, loop left empty.
    bool SearchLoop(TLoopWork& work, TArrayOfPointF& loop) const;
    // FindLoop's answer, kept for long chains while Points stay the same,
    // so that a repaint does not search again.
    TArrayOfPointF Loop() const;
    // Searches as Loop does and keeps the answer, within work as SearchLoop;
    // a short chain, searched at every fill, counts its every pair. False,
    // nothing kept, once past the limit.
    bool KeepLoop(TLoopWork& work) const;

private:
    struct TFill;
    struct TLoopCache {
        uint64_t Key = 0;  // of the chain it was found for
        size_t Count = 0;
        TArrayOfPointF Loop;
    };
    mutable std::unique_ptr<TLoopCache> loopCache_;  // only for long chains
};

}  // namespace quenlo
