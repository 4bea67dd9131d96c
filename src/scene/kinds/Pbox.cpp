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

    // The stretch happens here, each screen pixel taking the scene pixel the
    // view maps it to, so that it comes out the same in every repaint; the
    // platform would scale each piece on its own, with its own rounding.
    // The map's Left and Top place it in the scene.
    auto source = [](int32_t scene, int32_t origin, int32_t n) {
        return std::clamp<int64_t>(int64_t(scene) - origin, 0, n - 1);
    };
    std::vector<int32_t> cols(static_cast<size_t>(dw));
    bool identity = dw == w;
    for (int64_t i = 0; i < dw; ++i) {
        cols[size_t(i)] = int32_t(source(ScreenToScene(int32_t(r.Left + i)), map.Left, w));
        identity = identity && cols[size_t(i)] == i;
    }

    int64_t lastRow = -1;
    for (int64_t y = 0; y < dh; ++y) {
        uint8_t* d = &bits[size_t(y * stride)];
        const int64_t sy = source(ScreenToScene(int32_t(r.Top + y)), map.Top, h);
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
