#pragma once
// TPbox: the view bound to one paint-box control. It keeps the control as
// large as the root times the zoom, stretches rendered maps onto it and
// turns its mouse events into pointing messages. The control itself is
// reached only through IPaintBoxPlatform, so the library stays free of any
// toolkit.
#include <cstdint>
#include <functional>

#include "low/Types.h"
#include "scene/OnScreen.h"
#include "scene/PointingMsg.h"

namespace quenlo {

class TPixelMapRGB;

enum class TMouseButton : uint8_t { Left, Right, Middle };

// Keys and buttons held during a mouse event: a set of the flags below.
// The buttons are those held after the event: a press includes its own
// button, a release no longer does.
using TShiftState = uint32_t;
inline constexpr TShiftState kShiftKey = 1;
inline constexpr TShiftState kAltKey = 2;
inline constexpr TShiftState kCtrlKey = 4;
inline constexpr TShiftState kLeftButton = 8;
inline constexpr TShiftState kRightButton = 16;
inline constexpr TShiftState kMiddleButton = 32;

// A 24-bit image: Height rows of Width pixels, bytes blue, green, red, top
// row first, rows Stride bytes apart (a multiple of 4; padding is zero).
struct TBgrImage {
    const uint8_t* Bits = nullptr;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Stride = 0;
};

// Event handlers a view hooks on its control; x, y in control pixels.
struct TPaintBoxHandlers {
    std::function<void()> Paint;
    std::function<void(TMouseButton button, TShiftState shift, int32_t x, int32_t y)> MouseDown;
    std::function<void(TShiftState shift, int32_t x, int32_t y)> MouseMove;
    std::function<void(TMouseButton button, TShiftState shift, int32_t x, int32_t y)> MouseUp;
};

// What the paint box needs of the platform. Rectangles here are in the
// platform's form: right and bottom one past the last pixel.
class IPaintBoxPlatform {
public:
    virtual ~IPaintBoxPlatform() = default;

    // The control takes the size in pixels; its scrolling container adapts.
    virtual void SetControlWidth(int32_t w) = 0;
    virtual void SetControlHeight(int32_t h) = 0;
    // The area being redrawn while a paint event runs, else the whole control.
    virtual TRect ClipRect() const = 0;
    // Copies src of image onto dst of the control, scaling by dropping or
    // repeating rows and columns: a plain source copy that never blends.
    virtual void StretchCopy(const TBgrImage& image, const TRect& src, const TRect& dst) = 0;
    // Runs the queued events (paints, further mouse events), then returns.
    virtual void ProcessPendingEvents() = 0;
    // Routes the control's paint and mouse events to handlers, replacing
    // any hooked before; UnhookEvents drops them.
    virtual void HookEvents(TPaintBoxHandlers handlers) = 0;
    virtual void UnhookEvents() = 0;
};

// The pointing message of a paint box; starts with every field zero.
class TMouseMsg : public TPointingMsg {
public:
    TMouseMsg() { State = kPointLeftDown; }

    bool Pressed = false;  // set by every button press, never cleared
};

class TPbox : public TOnScreen {
public:
    // paintBox may be null: the view then only records sizes. Not owned;
    // it must outlive the view.
    explicit TPbox(IPaintBoxPlatform* paintBox);
    // Unhooks the handlers, so no event reaches a dead view.
    ~TPbox() override;

    // The recorded size, then the control: size x ZoomNum / ZoomDen,
    // truncated, never below 0.
    void SetWidth(int32_t w) override;
    void SetHeight(int32_t h) override;
    // Stretches map (placed in the scene by its Left and Top) onto the
    // inclusive screenRect as ScreenToScene maps the pixels, then copies the
    // result 1 : 1 onto the control. Throws EInvalidImageSize when the
    // stretched bitmap would pass 2 GiB.
    void Present(const TPixelMapRGB& map, const TRect& screenRect) override;
    // The control's clip rectangle as the platform gives it; its exclusive
    // right and bottom widen each repaint by a pixel.
    TRect GetPaintRect() const override;

    // Event handlers, hooked on the control.
    void Paint();
    void MouseDown(TMouseButton button, TShiftState shift, int32_t x, int32_t y);
    void MouseMove(TShiftState shift, int32_t x, int32_t y);
    void MouseUp(TMouseButton button, TShiftState shift, int32_t x, int32_t y);

    IPaintBoxPlatform* const PaintBox;
    TMouseMsg Msg;  // refilled for every mouse event

private:
    int32_t ControlSize(int32_t v) const;
};

}  // namespace quenlo
