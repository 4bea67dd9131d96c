#include "scene/kinds/Pbox.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "low/VeloreLow.h"
#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"

namespace quenlo {

TPbox::TPbox(IPaintBoxPlatform* paintBox) : PaintBox(paintBox) {
    // The base constructor could not reach these overrides.
    SetWidth(0);
    SetHeight(0);
    if (!PaintBox) return;
    PaintBox->HookEvents({
        [this] { Paint(); },
        [this](TMouseButton b, TShiftState s, int32_t x, int32_t y) { MouseDown(b, s, x, y); },
        [this](TShiftState s, int32_t x, int32_t y) { MouseMove(s, x, y); },
        [this](TMouseButton b, TShiftState s, int32_t x, int32_t y) { MouseUp(b, s, x, y); },
    });
}

TPbox::~TPbox() {
    if (!PaintBox) return;
    try {
        PaintBox->UnhookEvents();
    } catch (...) {
    }
}

int32_t TPbox::ControlSize(int32_t v) const {
    const double s = std::trunc(double(v) * ZoomNum() / ZoomDen());
    return int32_t(std::clamp(s, 0.0, double(INT32_MAX)));
}

void TPbox::SetWidth(int32_t w) {
    TOnScreen::SetWidth(w);
    if (PaintBox) PaintBox->SetControlWidth(ControlSize(GetWidth()));
}

void TPbox::SetHeight(int32_t h) {
    TOnScreen::SetHeight(h);
    if (PaintBox) PaintBox->SetControlHeight(ControlSize(GetHeight()));
}

TRect TPbox::GetPaintRect() const {
    return PaintBox ? PaintBox->ClipRect() : TOnScreen::GetPaintRect();
}

namespace {

// A scene coordinate as an index into a map that starts at origin and is n long.
int64_t Source(int64_t scene, int32_t origin, int32_t n) { return std::clamp<int64_t>(scene - origin, 0, n - 1); }

// Each screen pixel takes the one scene pixel the view maps it to.
template <class ToScene>
void PickNearest(const TPixelMapRGB& map, const TRect& r, uint8_t* bits, int64_t stride, ToScene toScene) {
    const int32_t w = map.Width(), h = map.Height();
    const int64_t dw = int64_t(r.Right) - r.Left + 1, dh = int64_t(r.Bottom) - r.Top + 1, rowBytes = dw * 3;
    std::vector<int32_t> cols(static_cast<size_t>(dw));
    bool identity = dw == w;
    for (int64_t i = 0; i < dw; ++i) {
        cols[size_t(i)] = int32_t(Source(toScene(int32_t(r.Left + i)), map.Left, w));
        identity = identity && cols[size_t(i)] == i;
    }
    int64_t lastRow = -1;
    for (int64_t y = 0; y < dh; ++y) {
        uint8_t* d = bits + y * stride;
        const int64_t sy = Source(toScene(int32_t(r.Top + y)), map.Top, h);
        if (sy == lastRow) {
            std::memcpy(d, d - stride, size_t(rowBytes));
            continue;
        }
        lastRow = sy;
        const uint8_t* s = map.ScanLine(int32_t(sy));
        if (identity) {
            std::memcpy(d, s, size_t(rowBytes));
            continue;
        }
        for (int64_t x = 0; x < dw; ++x, d += 3) std::memcpy(d, s + size_t(cols[size_t(x)]) * 3, 3);
    }
}

// Zoomed out: each screen pixel is the rounded mean of the scene pixels it
// covers, so a line thinner than a screen pixel still shows, fainter.
// toScene(s) is the last scene pixel of screen pixel s.
template <class ToScene>
void AverageBoxes(const TPixelMapRGB& map, const TRect& r, uint8_t* bits, int64_t stride, ToScene toScene) {
    const int32_t w = map.Width(), h = map.Height();
    const int64_t dw = int64_t(r.Right) - r.Left + 1, dh = int64_t(r.Bottom) - r.Top + 1;
    // Screen pixel i covers map columns [from[i], from[i + 1]); at least one.
    auto spans = [&](int32_t first, int64_t n, int32_t origin, int32_t size) {
        std::vector<int64_t> from(static_cast<size_t>(n) + 1);
        from[0] = first == INT32_MIN ? 0 : Source(int64_t(toScene(first - 1)) + 1, origin, size);
        for (int64_t i = 0; i < n; ++i)
            from[size_t(i) + 1] = std::max(from[size_t(i)] + 1, Source(toScene(int32_t(first + i)), origin, size) + 1);
        return from;
    };
    const std::vector<int64_t> cols = spans(r.Left, dw, map.Left, w), rows = spans(r.Top, dh, map.Top, h);
    const int64_t firstCol = std::min<int64_t>(cols[0], w - 1);
    // Column sums of one screen row's band of map rows, in 32 bits: a band
    // is at most ZoomDen rows of values up to 255.
    std::vector<uint32_t> sums(static_cast<size_t>(w - firstCol) * 3);
    for (int64_t y = 0; y < dh; ++y) {
        const int64_t y0 = std::min<int64_t>(rows[size_t(y)], h - 1), y1 = std::min<int64_t>(rows[size_t(y) + 1], h);
        std::fill(sums.begin(), sums.end(), 0u);
        for (int64_t sy = y0; sy < std::max(y1, y0 + 1); ++sy) {
            const uint8_t* s = map.ScanLine(int32_t(sy)) + firstCol * 3;
            for (size_t k = 0; k < sums.size(); ++k) sums[k] += s[k];
        }
        const uint64_t bandRows = uint64_t(std::max<int64_t>(y1 - y0, 1));
        uint8_t* d = bits + y * stride;
        for (int64_t x = 0; x < dw; ++x, d += 3) {
            const int64_t x0 = std::min<int64_t>(cols[size_t(x)], w - 1);
            const int64_t x1 = std::max(std::min<int64_t>(cols[size_t(x) + 1], w), x0 + 1);
            const uint64_t n = bandRows * uint64_t(x1 - x0);
            for (int c = 0; c < 3; ++c) {
                uint64_t total = 0;
                for (int64_t sx = x0; sx < x1; ++sx) total += sums[size_t(sx - firstCol) * 3 + size_t(c)];
                d[c] = uint8_t((total + n / 2) / n);
            }
        }
    }
}

}  // namespace

void TPbox::Present(const TPixelMapRGB& map, const TRect& screenRect) {
    const int32_t w = map.Width(), h = map.Height();
    if (!PaintBox || w <= 0 || h <= 0) return;
    const TRect r = NormalizeRect(screenRect);
    const int64_t dw = int64_t(r.Right) - r.Left + 1, dh = int64_t(r.Bottom) - r.Top + 1;

    // A bitmap of the screen pixels in the platform's row layout, padded to
    // 4 bytes.
    const int64_t rowBytes = dw * 3;
    const int64_t stride = (rowBytes + 3) & ~int64_t(3);
    if (stride > INT32_MAX || stride * dh > INT32_MAX) throw EInvalidImageSize(dw, dh);
    std::vector<uint8_t> bits(static_cast<size_t>(stride * dh));

    // The stretch happens here, so that it comes out the same in every
    // repaint; the platform would scale each piece on its own, with its own
    // rounding. The map's Left and Top place it in the scene.
    auto toScene = [this](int32_t s) { return ScreenToScene(s); };
    if (ZoomNum() < ZoomDen())
        AverageBoxes(map, r, bits.data(), stride, toScene);
    else
        PickNearest(map, r, bits.data(), stride, toScene);

    // screenRect is inclusive; the platform's right and bottom are not.
    PaintBox->StretchCopy({bits.data(), int32_t(dw), int32_t(dh), int32_t(stride)},
                          MakeRect(0, 0, int32_t(dw), int32_t(dh)),
                          MakeRect(r.Left, r.Top, ClampToInt32(int64_t(r.Right) + 1),
                                   ClampToInt32(int64_t(r.Bottom) + 1)));
}

void TPbox::Paint() {
    if (TVelora* root = Root()) root->Redraw();
}

void TPbox::MouseDown(TMouseButton button, TShiftState shift, int32_t x, int32_t y) {
    Msg.SetPointer(x, y, shift & kRightButton, shift & kLeftButton);
    Msg.State = button == TMouseButton::Left ? kPointLeftDown : kPointOtherDown;
    Msg.Pressed = true;
    DispatchPointing(Msg);
}

void TPbox::MouseMove(TShiftState shift, int32_t x, int32_t y) {
    Msg.SetPointer(x, y, shift & kRightButton, shift & kLeftButton);
    Msg.State = kPointMove;
    DispatchPointing(Msg);
    // Lets the strokes show while dragging; Msg is free again by now.
    if (PaintBox) PaintBox->ProcessPendingEvents();
}

void TPbox::MouseUp(TMouseButton button, TShiftState shift, int32_t x, int32_t y) {
    Msg.SetPointer(x, y, shift & kRightButton, shift & kLeftButton);
    Msg.State = button == TMouseButton::Left ? kPointLeftUp : kPointOtherUp;
    DispatchPointing(Msg);
}

}  // namespace quenlo
