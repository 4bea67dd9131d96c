#pragma once
// The pointer event record that a view routes to the nodes of its scene.
// One object is reused for every event of a view, so Captured carries the
// pointer capture from one event to the next.
#include <cstdint>

#include "low/Types.h"

namespace quenlo {

class TVelora;

// Event codes of TPointingMsg::State.
enum : uint8_t {
    kPointLeftDown = 0,
    kPointMove = 1,
    kPointLeftUp = 2,
    kPointOtherDown = 3,
    kPointOtherUp = 4,
};

class TPointingMsg {
public:
    virtual ~TPointingMsg() = default;

    // Pos := (x, y), Exact := the same as floats, and the two button flags.
    // State, Root and Captured are left as they are.
    virtual void SetPointer(int32_t x, int32_t y, bool rightDown, bool leftDown);

    // Screen to scene pixels: Exact := Pos * den / num (integer product,
    // floating division), Pos := Exact rounded, halves to even. A zero num
    // would divide by zero and leaves the position unscaled; results beyond
    // the 32-bit range are clamped.
    void ScaleToScene(int32_t num, int32_t den);

    // A button is held, or this is a button-up event: the capturing node
    // keeps the event.
    bool InvolvesButton() const {
        return RightDown || LeftDown || State == kPointLeftUp || State == kPointOtherUp;
    }

    TPoint Pos;     // screen pixels when set, scene pixels after ScaleToScene
    TPointF Exact;  // Pos with the fraction left by zooming
    bool RightDown = false;
    bool LeftDown = false;
    uint8_t State = kPointMove;
    TVelora* Root = nullptr;      // root of the scene being dispatched in
    TVelora* Captured = nullptr;  // node holding the capture, or nullptr
};

}  // namespace quenlo
