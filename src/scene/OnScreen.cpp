#include "scene/OnScreen.h"

#include <algorithm>
#include <memory>
#include <string>

#include "low/VeloreLow.h"
#include "pixelmap/pixelmap.h"
#include "scene/Velora.h"

namespace quenlo {

namespace {

// v * num / den truncated toward zero, plus extra; 64-bit so that large
// coordinates and zooms cannot overflow. den is never 0 here.
int32_t Scale(int32_t v, int32_t num, int32_t den, int32_t extra = 0) {
    return ClampToInt32(int64_t(num) * v / den + extra);
}

TRect ScaleRect(const TRect& r, int32_t num, int32_t den) {
    return {Scale(r.Left, num, den), Scale(r.Top, num, den), Scale(r.Right, num, den),
            Scale(r.Bottom, num, den)};
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Compares pointers only, so a freed node is never touched.
bool TreeHolds(const TVelora* tree, const TVelora* node) {
    if (tree == node) return true;
    for (const TVelora* c = tree->FirstChild(); c; c = c->NextSibling())
        if (TreeHolds(c, node)) return true;
    return false;
}

}  // namespace

TOnScreen::TOnScreen() {
    // The base versions only: a derived view's overrides are not reachable yet.
    TOnScreen::SetWidth(0);
    TOnScreen::SetHeight(0);
    Watch();
}

TOnScreen::~TOnScreen() {
    Unwatch();
    if (!root_) return;
    TVelora* root = root_;
    try {
        root->DetachView();
    } catch (...) {
    }
    // Whatever an override did, the node must not keep pointing at us.
    if (root->View == this) root->View = nullptr;
    TOnScreen::ClearRoot();
}

void TOnScreen::DropNode(TVelora& node) noexcept {
    if (hover_ == &node) hover_ = nullptr;
    // Only reached when the node's own link to the view was cut by hand;
    // otherwise the node clears the root itself, hover leave included.
    if (root_ == &node && node.View != this) {
        root_ = nullptr;
        hover_ = nullptr;
    }
}

bool TOnScreen::InRootTree(const TVelora* node) const {
    return root_ && node && TreeHolds(root_, node);
}

void TOnScreen::SetHover(TVelora* node) {
    if (node == hover_) return;
    if (node && node != root_) node->PointerEnter();
    // Moved before the leave, so that a node the handler frees is dropped
    // from hover_. A freed hover is already gone from it; one that left the
    // tree alive still leaves, or it would keep its hovered look.
    TVelora* old = hover_;
    hover_ = node;
    if (old) {
        try {
            old->PointerLeave();
        } catch (...) {
            // The hover moves on whatever the old node thought of it.
        }
    }
}

void TOnScreen::SetZoom(int32_t percent) {
    // Repaints and pointer scaling divide by the zoom.
    if (percent <= 0)
        throw EVelore("zoom must be a positive percentage, not " + std::to_string(percent));
    if (OnZoom) OnZoom(percent);
    zoomDen_ = 100;
    zoomNum_ = percent;
    AdoptRootSize();
}

int32_t TOnScreen::GetZoom() const {
    const double z = double(zoomNum_) * 100.0 / zoomDen_;
    return RoundToInt32(z);
}

void TOnScreen::SetWidth(int32_t w) { width_ = w; }
void TOnScreen::SetHeight(int32_t h) { height_ = h; }
int32_t TOnScreen::GetHeight() const { return height_; }
int32_t TOnScreen::GetWidth() const { return width_; }

void TOnScreen::SetRoot(TVelora* node) {
    if (node == root_) return;
    if (root_) {
        root_->DetachView();
        ClearRoot();
    }
    if (!node) return;
    // One view per node: the other view would keep a link that nothing clears.
    if (node->View && node->View != this) node->View->ClearRoot();
    root_ = node;
    node->View = this;
}

void TOnScreen::AdoptRootSize() {
    if (!root_) return;
    SetWidth(root_->Width);
    SetHeight(root_->Height);
}

void TOnScreen::ClearRoot() {
    TVelora* hover = hover_;
    // Cleared first: the leave may redraw, and must not reach this view.
    root_ = nullptr;
    hover_ = nullptr;
    if (!hover) return;
    try {
        hover->PointerLeave();
    } catch (...) {
    }
}

void TOnScreen::Present(const TPixelMapRGB&, const TRect&) {}

TRect TOnScreen::GetPaintRect() const {
    return RectFromSize(0, 0, Scale(GetWidth(), zoomNum_, zoomDen_),
                        Scale(GetHeight(), zoomNum_, zoomDen_));
}

int32_t TOnScreen::SceneToScreen(int32_t v) const { return Scale(v, zoomNum_, zoomDen_); }

// The largest v with v * Num div Den <= s: v * Num < (s + 1) * Den.
int32_t TOnScreen::ScreenToScene(int32_t s) const {
    return ClampToInt32(FloorDiv((int64_t(s) + 1) * zoomDen_ - 1, zoomNum_));
}

void TOnScreen::RepaintRect(const TRect& r) {
    if (!root_) return;
    // A root without area has nothing to show (and no buffer to read from).
    if (root_->Width <= 0 || root_->Height <= 0) return;

    const auto a = IntersectRects(ScaleRect(r, zoomNum_, zoomDen_), GetPaintRect());
    if (!a) return;
    // Back to the scene with a pixel of margin for the truncations both ways;
    // below 50 % the last screen pixel shows a scene pixel further out.
    const TRect b{Scale(a->Left, zoomDen_, zoomNum_, -1), Scale(a->Top, zoomDen_, zoomNum_, -1),
                  std::max(Scale(a->Right, zoomDen_, zoomNum_, 1), ScreenToScene(a->Right)),
                  std::max(Scale(a->Bottom, zoomDen_, zoomNum_, 1), ScreenToScene(a->Bottom))};
    const auto c = IntersectRects(b, root_->LocalBounds());
    if (!c) return;
    // Exactly the screen pixels that show c: its last pixel ends just before
    // the screen pixel where the next one would start.
    const TRect o{SceneToScreen(c->Left), SceneToScreen(c->Top),
                  Scale(int32_t(c->Right) + 1, zoomNum_, zoomDen_, -1),
                  Scale(int32_t(c->Bottom) + 1, zoomNum_, zoomDen_, -1)};
    if (o.Right < o.Left || o.Bottom < o.Top) return;  // too small to show at this zoom

    auto map = std::make_unique<TPixelMapRGB>();
    map->SetBounds(*c);
    map->SetPen(Background);
    map->Clear();
    root_->RenderInto(*map);
    Present(*map, o);
}

void TOnScreen::RepaintAll() { RepaintRect(RectFromSize(0, 0, GetWidth(), GetHeight())); }

void TOnScreen::DispatchPointing(TPointingMsg& msg) {
    if (!root_) return;
    msg.ScaleToScene(zoomNum_, zoomDen_);
    msg.Root = root_;

    // A capture on a node that has left the scene ends here.
    if (msg.Captured && !InRootTree(msg.Captured)) msg.Captured = nullptr;
    if (msg.Captured) {
        if (msg.InvolvesButton()) {
            msg.Captured->HandlePointing(msg);
            return;
        }
        msg.Captured = nullptr;
    }

    TVelora* n = root_->FindNodeAt(msg.Pos);
    SetHover(n);
    if (!n) return;
    if ((msg.LeftDown || msg.RightDown) && n->Grabs) msg.Captured = n;
    n->HandlePointing(msg);
}

}  // namespace quenlo
