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

namespace {

int32_t ClampInt(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

}  // namespace

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

    // A bitmap in the platform's row layout, padded to 4 bytes.
    const size_t rowBytes = size_t(w) * 3;
    const size_t stride = (rowBytes + 3) & ~size_t(3);
    if (stride > size_t(INT32_MAX)) return;
    std::vector<uint8_t> bits(stride * size_t(h));
    for (int32_t y = 0; y < h; ++y) std::memcpy(&bits[size_t(y) * stride], map.ScanLine(y), rowBytes);

    // screenRect is inclusive; widened by one so the map's last column and
    // row reach the screen at the root's right and bottom edges too.
    const TRect r = NormalizeRect(screenRect);
    PaintBox->StretchCopy({bits.data(), w, h, int32_t(stride)}, MakeRect(0, 0, w, h),
                          MakeRect(r.Left, r.Top, ClampInt(int64_t(r.Right) + 1),
                                   ClampInt(int64_t(r.Bottom) + 1)));
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
