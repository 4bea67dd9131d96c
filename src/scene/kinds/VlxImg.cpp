#include "scene/kinds/VlxImg.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>

#include "imageio/VlxIo.h"
#include "low/Low.h"
#include "pixelmap/Blend.h"
#include "low/VeloreLow.h"
#include "scene/PointingMsg.h"
#include "scene/kinds/MapNode.h"

namespace quenlo {

namespace {
PixelLimit& CurrentLoadLimit() {
    thread_local PixelLimit limit;
    return limit;
}
}  // namespace

const PixelLimit& ImageLoadLimit() { return CurrentLoadLimit(); }

namespace {
TScanMeter& CurrentScanMeter() {
    thread_local TScanMeter meter;
    return meter;
}
}  // namespace

const TScanMeter& ImageScanMeter() { return CurrentScanMeter(); }

TScopedScanMeter::TScopedScanMeter(TScanMeter meter) : saved_(std::exchange(CurrentScanMeter(), std::move(meter))) {}

TScopedScanMeter::~TScopedScanMeter() { CurrentScanMeter() = std::move(saved_); }

TScopedLoadLimit::TScopedLoadLimit(PixelLimit limit) : saved_(std::exchange(CurrentLoadLimit(), std::move(limit))) {}

TScopedLoadLimit::~TScopedLoadLimit() { CurrentLoadLimit() = std::move(saved_); }

int32_t Random(int32_t n) {
    static std::mt19937 engine{std::random_device{}()};
    if (n <= 1) return 0;
    return std::uniform_int_distribution<int32_t>(0, n - 1)(engine);
}

TVlxImg::TVlxImg() {
    SetCol(0xFFFFFF);  // through the setter, so "col" is written back
    Grabs = true;
}

void TVlxImg::ApplyStatement(std::string& stmt) {
    TVelora::ApplyStatement(stmt);
    if (!stmt.empty() && MatchCommand("wipe", 0, stmt, {})) {
        Wipe();
        stmt.clear();
    }
}

void TVlxImg::Wipe() { FillMap(Map.get(), Col); }

void TVlxImg::SetSize(int32_t w, int32_t h) {
    mapFromFile_ = false;
    ResetMap(*this, Map, w, h, Col);
}

void TVlxImg::WriteStatements(std::string& text) {
    TVelora::WriteStatements(text);
    if (FileName.empty() || mapFromFile_) return;
    const std::string file = "file(\"" + FileName + "\");";
    if (const size_t at = text.rfind(file); at != std::string::npos) {
        text.erase(at, file.size());
        text.insert(0, file);
    }
}

void TVlxImg::LoadFile(const std::string& fileName) {
    LoadOptions options;
    options.limit = ImageLoadLimit();
    options.onScan = ImageScanMeter();
    std::unique_ptr<TPixelMap> loaded = LoadImageFile(PixelKind::RGB, fileName, options);
    if (!loaded || loaded->Kind() != PixelKind::RGB) return;
    Map.reset(static_cast<TPixelMapRGB*>(loaded.release()));
    SetWidth(Map->Width());
    SetHeight(Map->Height());
    SetVisible(true);
    FileName = fileName;
    mapFromFile_ = true;
}

void TVlxImg::DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                       int32_t h, TPixelMapRGB& target) {
    DrawMapRows(*this, Map.get(), dstX, dstY, srcX, srcY, w, h, target,
                [](const uint8_t* s, uint8_t* d, int32_t n, uint32_t a) {
                    if (a == 255)
                        std::memcpy(d, s, size_t(n) * 3);
                    else
                        BlendRowRounded(d, s, size_t(n) * 3, a);
                });
}

void TVlxImg::DoPointing(TPoint pt, TPointF, TPointingMsg& msg) {
    if (msg.State != kPointMove || !(msg.LeftDown || msg.RightDown) || !Map) return;
    const float x = float(pt.X), y = float(pt.Y);
    LastPaint = {x, y};

    TColor pen;
    if (msg.LeftDown) {
        pen = ColorFromRGB(128, 255, 0);
    } else {
        // Drawn blue first, then green, then red.
        const int b = Random(150) + 100;
        const int g = Random(150) + 50;
        const int r = Random(50);
        pen = ColorFromRGB(r, g, b);
    }
    Map->SetPen(pen);
    const float r = float(Random(50) + 10);
    Map->DrawGaussSpot(x, y, r, 0.2f * r, 0.1f);

    AddDirty(MakeRect(RoundToInt32(x - r - 1), RoundToInt32(y - r - 1), RoundToInt32(x + r + 1),
                      RoundToInt32(y + r + 1)));
    Refresh();
}

// ---- TVlxAnk -------------------------------------------------------------

TVlxAnk::TVlxAnk() { Font.OnPlot = [this](int32_t x, int32_t y) { PlotPen(x, y); }; }

void TVlxAnk::ApplyStatement(std::string& stmt) {
    TVlxImg::ApplyStatement(stmt);
    if (stmt.empty()) return;
    TKindArgs a;
    if (MatchCommand("PenPos", 2, stmt, a)) {
        PenPos = {StatementInt(a[0], 0), StatementInt(a[1], 0)};
    } else if (MatchCommand("PenCol", 3, stmt, a)) {
        // Low 8 bits, unlike "col", which clamps: 256 is 0, -1 is 255.
        auto channel = [&a](int i) { return int(uint32_t(StatementInt(a[i], 255)) & 0xFF); };
        PenCol = ColorFromRGB(channel(0), channel(1), channel(2));
    } else if (MatchCommand("text", 1, stmt, a)) {
        WriteText(StripQuotes(a[0]));
    } else {
        return;
    }
    stmt.clear();
}

void TVlxAnk::WriteStatements(std::string& text) {
    TVlxImg::WriteStatements(text);
    // Run on a fresh node after the size, these clear the map and write
    // the last text again with the same pen.
    text += "wipe;";
    text += FormatCommand("PenPos", {PenPos.X, PenPos.Y}, 0);
    text += ColorStatement("PenCol", PenCol);
    if (!Text.empty()) text += TextStatement(Text);
}

void TVlxAnk::PlotPen(int32_t x, int32_t y) {
    if (!Map) return;
    Map->SetPen(PenCol);
    Map->PutPixel(x, y);
}

void TVlxAnk::WriteText(std::string_view s) {
    if (Map) Font.DrawText(s, uint16_t(PenPos.X), uint16_t(PenPos.Y));
    Text = s;
}

}  // namespace quenlo
