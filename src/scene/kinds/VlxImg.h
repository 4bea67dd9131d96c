#pragma once
// TVlxImg: a node that owns a 24-bit map of exactly its own size and
// composites it at its effective opacity. The converter's root: images are
// loaded into it, shown, painted on with the pointer and saved from it.
// TVlxAnk: the image node with a text pen.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "imageio/PixelLimit.h"
#include "low/ANK88vlx.h"
#include "low/Types.h"
#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"

namespace quenlo {

// The limit LoadFile checks a picture's header against before allocating
// it: the converter's default, narrowed by a scene reader (to its per-node
// limit and to what its scene's maps leave) for the nodes it reads.
const PixelLimit& ImageLoadLimit();
class TScopedLoadLimit {
public:
    explicit TScopedLoadLimit(PixelLimit limit);
    ~TScopedLoadLimit();
    TScopedLoadLimit(const TScopedLoadLimit&) = delete;
    TScopedLoadLimit& operator=(const TScopedLoadLimit&) = delete;

private:
    PixelLimit saved_;
};

// Where LoadFile tells a JPEG's further scans (LoadOptions::onScan): none
// but for a scene reader's nodes, which pay for them.
using TScanMeter = std::function<void(long long coefficients)>;
const TScanMeter& ImageScanMeter();
class TScopedScanMeter {
public:
    explicit TScopedScanMeter(TScanMeter meter);
    ~TScopedScanMeter();
    TScopedScanMeter(const TScopedScanMeter&) = delete;
    TScopedScanMeter& operator=(const TScopedScanMeter&) = delete;

private:
    TScanMeter saved_;
};

// Uniform integer 0 .. n-1 (0 for n <= 1) from one engine seeded at first use.
int32_t Random(int32_t n);

class TVlxImg : public TVelora {
public:
    static std::string_view KindName() { return "VlxImg"; }

    // White, no map, 0 x 0 and invisible; grabs the pointer on a press.
    TVlxImg();

    // The inherited statements, then "wipe".
    void ApplyStatement(std::string& stmt) override;
    // The inherited statements; "file" goes first when a later size
    // replaced the picture it loaded, so that it is read back in that order.
    void WriteStatements(std::string& text) override;
    // A new map of w x h filled with Col. Throws EInvalidImageSize for a
    // negative size, leaving the node without a map.
    void SetSize(int32_t w, int32_t h) override;
    void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  TPixelMapRGB& target) override;
    // A drag with a button held paints a soft spot at the pointer.
    void DoPointing(TPoint pt, TPointF ptF, TPointingMsg& msg) override;
    // Takes the file's image and size. A missing file or an empty name
    // changes nothing; loader errors pass with the node unchanged.
    void LoadFile(const std::string& fileName) override;

    // Fills the map with Col; nothing without a map.
    void Wipe();

    TPointF LastPaint;  // node-local centre of the last painted spot
    // Same size as the node whenever present.
    std::unique_ptr<TPixelMapRGB> Map;
    // Map holds the picture FileName names, not one a later size made.
    bool MapFromFile() const { return mapFromFile_; }

protected:
    ~TVlxImg() override = default;

private:
    bool mapFromFile_ = false;
};

// An image node with a pen: "text" writes into the node's own map for good.
class TVlxAnk : public TVlxImg {
public:
    static std::string_view KindName() { return "VlxAnk"; }

    TVlxAnk();

    void ApplyStatement(std::string& stmt) override;
    void WriteStatements(std::string& text) override;

    // Puts one pixel of PenCol into Map; outside the map it does nothing.
    void PlotPen(int32_t x, int32_t y);
    // Draws s at PenPos, which stays where it is, and remembers it. Without
    // a map only the text is remembered. No redraw.
    void WriteText(std::string_view s);

    TPoint PenPos;
    TColor PenCol = 0xFFFFFF;
    TAnk88 Font;  // OnPlot bound to PlotPen
    std::string Text;

protected:
    ~TVlxAnk() override = default;
};

}  // namespace quenlo
