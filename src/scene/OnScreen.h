#pragma once
// TOnScreen: the abstract base of on-screen views. A view shows one root
// node, renders its dirty parts into fresh 24-bit maps at scene resolution
// and hands them to the concrete view, which stretches them onto the
// screen by the zoom. It also routes pointer events to the nodes, with
// hover tracking and pointer capture.
//
// A concrete view overrides Present and GetPaintRect, and SetWidth and
// SetHeight when it mirrors the size into a control. C++ does not reach
// overrides from a base constructor, so such a view calls SetWidth(0) and
// SetHeight(0) from its own constructor.
#include <cstdint>
#include <functional>

#include "low/Types.h"
#include "pixelmap/Color.h"
#include "scene/NodeWatch.h"
#include "scene/PointingMsg.h"

namespace quenlo {

class TVelora;
class TPixelMapRGB;

class TOnScreen : private TNodeWatcher {
public:
    // Called with the new percentage before the zoom changes.
    using TZoomHandler = std::function<void(int32_t percent)>;

    TOnScreen();
    // Detaches the root; the view never owns or destroys it.
    virtual ~TOnScreen();
    TOnScreen(const TOnScreen&) = delete;
    TOnScreen& operator=(const TOnScreen&) = delete;

    // Moves the hover to node: node gets PointerEnter (never the root),
    // then the old hover gets PointerLeave, whose exceptions are swallowed.
    // A node that is freed stops being the hover without a PointerLeave.
    virtual void SetHover(TVelora* node);
    // OnZoom(percent), then ZoomNum := percent, ZoomDen := 100, then
    // AdoptRootSize. A percent of 0 or less throws EVelore and changes nothing.
    virtual void SetZoom(int32_t percent);
    virtual int32_t GetZoom() const;
    virtual void SetWidth(int32_t w);
    virtual void SetHeight(int32_t h);
    virtual int32_t GetHeight() const;
    virtual int32_t GetWidth() const;
    // Shows node (the previous root is detached first, and a view that
    // showed node forgets it); does not resize. nullptr only detaches.
    virtual void SetRoot(TVelora* node);
    // Takes the root's width and height, through SetWidth and SetHeight.
    virtual void AdoptRootSize();
    // Forgets the root and the hover, which then gets the PointerLeave it
    // would otherwise never see (exceptions swallowed). The node's link to
    // the view is left alone.
    virtual void ClearRoot();
    // Puts map (scene resolution) onto screenRect (screen pixels,
    // inclusive), stretching it. RepaintRect passes exactly the screen
    // pixels that show the map's pixels. The base shows nothing.
    virtual void Present(const TPixelMapRGB& map, const TRect& screenRect);
    // The screen area that may be painted now; the base answers the whole
    // zoomed scene.
    virtual TRect GetPaintRect() const;
    // Renders and presents the part of the scene under r (scene pixels).
    virtual void RepaintRect(const TRect& r);
    virtual void RepaintAll();

    // Scales msg to the scene and routes it to the capturing node, or to the
    // topmost node under the pointer, updating hover and capture. A captured
    // node no longer in the root's tree is dropped unvisited; a hover that
    // left the tree alive still gets its PointerLeave.
    void DispatchPointing(TPointingMsg& msg);

    // Scene pixel v covers the screen pixels from SceneToScreen(v), that is
    // v * ZoomNum div ZoomDen, up to just before SceneToScreen(v + 1); at
    // zooms below 100 some cover none. ScreenToScene(s) is the scene pixel
    // that screen pixel s shows. Every repaint keeps to this, so a screen
    // pixel shows the same whichever repaint drew it.
    int32_t SceneToScreen(int32_t v) const;
    int32_t ScreenToScene(int32_t s) const;

    TVelora* Root() const { return root_; }
    TVelora* Hover() const { return hover_; }
    int32_t ZoomNum() const { return zoomNum_; }
    int32_t ZoomDen() const { return zoomDen_; }

    TColor Background = 0xFFFFFF;
    TZoomHandler OnZoom;

private:
    friend class TVelora;  // AttachView sets the root from the node's side

    bool InRootTree(const TVelora* node) const;
    void DropNode(TVelora& node) noexcept final;

    int32_t width_ = 0;
    int32_t height_ = 0;
    TVelora* hover_ = nullptr;
    TVelora* root_ = nullptr;
    int32_t zoomNum_ = 100;
    int32_t zoomDen_ = 100;
};

}  // namespace quenlo
