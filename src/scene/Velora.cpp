#include "scene/Velora.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "low/VeloreLow.h"
#include "pixelmap/Blend.h"
#include "pixelmap/pixelmap.h"
#include "scene/DrawBlock.h"
#include "scene/OnScreen.h"
#include "scene/PointingMsg.h"

namespace quenlo {

uint8_t AlphaFromOpq(double opq) {
    if (!std::isfinite(opq)) return 0;
    // The low byte of the rounded value, also beyond the integer range.
    double m = std::fmod(std::nearbyint(opq * 255.0), 256.0);
    if (m < 0) m += 256.0;
    return uint8_t(m);
}

// ---- Lifetime ------------------------------------------------------------

TVelora::TVelora() = default;

TVelora::~TVelora() {
    Unwatch();
    Forget();
}

void TVelora::Destroy() {
    if (firstChild_) throw EVelore("have children error");
    delete this;
}

void TVelora::DestroyTree() {
    // A tree built through the API may be deeper than the stack allows.
    TVelora* n = this;
    while (true) {
        while (n->firstChild_) n = n->firstChild_;
        if (n == this) break;
        TVelora* parent = n->parent_;
        n->Destroy();  // a leaf; it unlinks itself
        n = parent;
    }
    Destroy();
}

void TVeloraTreeDeleter::operator()(TVelora* root) const noexcept {
    if (root) root->DestroyTree();  // leaves first, so Destroy never refuses
}

void TVeloraDeleter::operator()(TVelora* node) const noexcept {
    if (!node) return;
    while (node->firstChild_) node->firstChild_->Unlink();
    delete node;
}

void TVelora::Forget() noexcept {
    while (firstChild_) firstChild_->Unlink();
    // While still linked, so that a reader inside this node's block falls
    // back to the block's parent.
    NodeGone(*this);
    Unlink();
    if (View) {
        try {
            if (View->root_ == this) View->ClearRoot();
        } catch (...) {
        }
        View = nullptr;
    }
}

void TVelora::DropNode(TVelora& node) noexcept {
    if (ParseParent == &node) ParseParent = node.parent_ ? node.parent_ : this;
    if (ParseLast == &node) ParseLast = nullptr;
    if (HitResult == &node) HitResult = nullptr;
}

// ---- Properties ----------------------------------------------------------

void TVelora::SetWidth(int32_t v) {
    Width = v;
    SizeChanged();
}

void TVelora::SetHeight(int32_t v) {
    Height = v;
    SizeChanged();
}

void TVelora::SetCol(TColor c) {
    Col = c;
    ColSet = true;
}

void TVelora::SetFaceCol(TColor c) {
    FaceCol = c;
    FaceColSet = true;
}

void TVelora::SetLineCol(TColor c) {
    LineCol = c;
    LineColSet = true;
}

void TVelora::SetOpq(float v) {
    Opq = v;
    OpqSet = true;
}

void TVelora::SetFaceOpq(float v) {
    FaceOpq = v;
    FaceColSet = true;
}

void TVelora::SetLineOpq(float v) {
    LineOpq = v;
    LineColSet = true;
}

void TVelora::SetZOrder(double v) {
    ZOrder = v;
    ZOrderSet = true;
}

// A NaN opacity fails ">= 0" and so inherits, like a negative one.
float TVelora::InheritedOpq(float TVelora::*opq) const {
    for (const TVelora* n = this; n; n = n->parent_)
        if (n->*opq >= 0) return n->*opq;
    return 1.0f;
}

float TVelora::EffectiveOpq() const { return InheritedOpq(&TVelora::Opq); }
float TVelora::EffectiveFaceOpq() const { return InheritedOpq(&TVelora::FaceOpq); }
float TVelora::EffectiveLineOpq() const { return InheritedOpq(&TVelora::LineOpq); }

double TVelora::EffectiveZOrder() const {
    for (const TVelora* n = this; n; n = n->parent_)
        if (n->ZOrderSet) return n->ZOrder;
    return 0.0;
}

// ---- Position, size, views -----------------------------------------------

void TVelora::SetPosition(int32_t x, int32_t y) {
    Left = x;
    Top = y;
}

void TVelora::SetSize(int32_t w, int32_t h) {
    SetWidth(w);
    SetHeight(h);
    SetVisible(true);
}

void TVelora::MoveTo(int32_t x, int32_t y) {
    MarkTreeDirty();
    SetTop(y);
    SetLeft(x);
    MarkTreeDirty();
    Refresh();
}

void TVelora::MoveBy(int32_t dx, int32_t dy) { MoveTo(WrapAdd(Left, dx), WrapAdd(Top, dy)); }

void TVelora::AttachView(TOnScreen* view) {
    // One view per node and one root per view: drop the stale halves.
    if (View && View != view && View->root_ == this) View->ClearRoot();
    if (view && view->root_ != this) {
        if (TVelora* old = view->root_) old->DetachView();
        view->ClearRoot();
        view->root_ = this;
    }
    View = view;
}

void TVelora::FitToView() {
    if (View) SetSize(View->GetWidth(), View->GetHeight());
}

void TVelora::SizeChanged() {
    if (View) View->AdoptRootSize();
}

void TVelora::DetachView() { View = nullptr; }

void TVelora::LoadFile(const std::string&) {}

// ---- Tree ----------------------------------------------------------------

TVelora* TVelora::FirstSibling() {
    TVelora* n = this;
    while (n->prevSibling_) n = n->prevSibling_;
    return n;
}

TVelora* TVelora::LastSibling() {
    TVelora* n = this;
    while (n->nextSibling_) n = n->nextSibling_;
    return n;
}

TVelora* TVelora::GetParent() const { return const_cast<TVelora*>(this)->FirstSibling()->parent_; }

int TVelora::Depth() const {
    int d = 0;
    for (const TVelora* p = parent_; p; p = p->parent_) ++d;
    return d;
}

namespace {

// Linking `node` under `parent` must not close a loop.
void CheckNoCycle(const TVelora* node, const TVelora* parent) {
    for (const TVelora* a = parent; a; a = a->Parent())
        if (a == node) throw EVelore("a node cannot be linked below itself");
}

}  // namespace

void TVelora::AddChild(TVelora* node) {
    if (!node) return;
    if (!firstChild_) {
        CheckNoCycle(node, this);
        node->Unlink();  // a node sits in one list only
        firstChild_ = node;
        node->parent_ = this;
    } else {
        // The hint saves walking a long list of children for every new one.
        TVelora* last = lastChildHint_ && lastChildHint_->parent_ == this && !lastChildHint_->nextSibling_
                            ? lastChildHint_
                            : firstChild_->LastSibling();
        if (node != last) node->LinkAfter(last);
    }
    lastChildHint_ = node;
}

void TVelora::LinkAfter(TVelora* node) {
    if (!node || node == this) return;
    CheckNoCycle(this, node->parent_);
    Unlink();
    parent_ = node->parent_;
    nextSibling_ = node->nextSibling_;
    node->nextSibling_ = this;
    prevSibling_ = node;
    if (nextSibling_) nextSibling_->prevSibling_ = this;
}

void TVelora::Unlink() {
    if (parent_ && parent_->lastChildHint_ == this) parent_->lastChildHint_ = nullptr;
    if (prevSibling_) {
        prevSibling_->nextSibling_ = nextSibling_;
    } else {
        if (parent_ && parent_->firstChild_ == this) parent_->firstChild_ = nextSibling_;
        if (nextSibling_) nextSibling_->parent_ = parent_;
    }
    if (nextSibling_) nextSibling_->prevSibling_ = prevSibling_;
    parent_ = nullptr;
    prevSibling_ = nullptr;
    nextSibling_ = nullptr;
}

void TVelora::MoveAfter(TVelora* node) {
    if (!node || node == this) return;
    CheckNoCycle(this, node->parent_);
    Unlink();
    LinkAfter(node);
}

void TVelora::ForEachNode(const std::function<void(TVelora&)>& fn) {
    fn(*this);
    for (TVelora* c = firstChild_; c; c = c->nextSibling_) c->ForEachNode(fn);
}

void TVelora::ForEachWhile(const std::function<bool(TVelora&)>& fn) {
    if (!fn(*this)) return;
    for (TVelora* c = firstChild_; c; c = c->nextSibling_) c->ForEachWhile(fn);
}

// ---- Coordinates ---------------------------------------------------------

TRect TVelora::LocalBounds() const { return RectFromSize(0, 0, Width, Height); }

TRect TVelora::BoundsInParent() const { return RectFromPointSize(Position(), Width, Height); }

TRect TVelora::OffsetRect(const TRect& r) const {
    return {WrapAdd(r.Left, Left), WrapAdd(r.Top, Top), WrapAdd(r.Right, Left), WrapAdd(r.Bottom, Top)};
}

// The topmost node's own position never counts: it is the scene origin.
TPoint TVelora::OffsetIn(const TVelora* ancestor) const {
    TPoint p;
    for (const TVelora* n = this; n != ancestor && n->parent_; n = n->parent_) {
        p.X = WrapAdd(p.X, n->Left);
        p.Y = WrapAdd(p.Y, n->Top);
    }
    return p;
}

TRect TVelora::BoundsIn(const TVelora* ancestor) const {
    return RectFromPointSize(OffsetIn(ancestor), Width, Height);
}

TPoint TVelora::AbsoluteOffset() const { return OffsetIn(nullptr); }

TPoint TVelora::ToLocal(TPoint pt, const TVelora* root) const {
    const TPoint r = root ? root->AbsoluteOffset() : TPoint{};
    const TPoint s = AbsoluteOffset();
    return {WrapSub(WrapAdd(pt.X, r.X), s.X), WrapSub(WrapAdd(pt.Y, r.Y), s.Y)};
}

TPointF TVelora::ToLocalF(TPointF pt, const TVelora* root) const {
    const TPoint r = root ? root->AbsoluteOffset() : TPoint{};
    const TPoint s = AbsoluteOffset();
    return {float(double(pt.X) + r.X - s.X), float(double(pt.Y) + r.Y - s.Y)};
}

// ---- Dirty rectangles ----------------------------------------------------

void TVelora::AddDirty(const TRect& r) {
    // Each ancestor gets the added area itself, in its own coordinates.
    TRect add = NormalizeRect(r);
    for (TVelora* n = this; n; n = n->parent_) {
        n->Dirty = {std::min(n->Dirty.Left, add.Left), std::min(n->Dirty.Top, add.Top),
                    std::max(n->Dirty.Right, add.Right), std::max(n->Dirty.Bottom, add.Bottom)};
        add = n->OffsetRect(add);
    }
}

void TVelora::GrowDirty(int32_t n) {
    Dirty = {WrapSub(Dirty.Left, n), WrapSub(Dirty.Top, n), WrapAdd(Dirty.Right, n), WrapAdd(Dirty.Bottom, n)};
}

void TVelora::MarkDirty() {
    Dirty = LocalBounds();
    if (parent_) parent_->AddDirty(BoundsInParent());
}

// Inverted, so that the next union yields the added area alone.
void TVelora::ResetDirty() { Dirty = {WrapSub(Width, 1), WrapSub(Height, 1), 0, 0}; }

void TVelora::MarkTreeDirty() {
    ForEachNode([](TVelora& n) { n.MarkDirty(); });
}

void TVelora::Refresh() {
    if (View) {
        GrowDirty(2);
        View->RepaintRect(Dirty);
        ResetDirty();
    } else if (parent_) {
        parent_->Refresh();
    }
}

void TVelora::Redraw() {
    MarkDirty();
    Refresh();
}

void TVelora::RedrawTree() {
    MarkTreeDirty();
    Refresh();
}

// ---- Draw ring and compositing -------------------------------------------

void TVelora::ResetDrawList() {
    drawNext_ = this;
    drawPrev_ = this;
}

void TVelora::LinkDrawBefore(TVelora* node) {
    if (!node || node == this) return;
    node->drawNext_ = this;
    node->drawPrev_ = drawPrev_;
    drawPrev_->drawNext_ = node;
    drawPrev_ = node;
}

// Same ring as calling root->InsertByZ on self, its subtree and its
// following siblings in preorder, but sorted instead of scanned: a scan
// per node made a scene of N nodes cost N^2. Into a ring that already has
// members the nodes still go one by one.
void TVelora::CollectDraw(TVelora* root, const TRect&) {
    if (!root) return;
    struct TMember {
        double Z;
        TVelora* Node;
    };
    std::vector<TMember> members;  // preorder
    // Sized once: doubling a million members would briefly hold half again.
    size_t count = 0;
    for (const TVelora* n = this; n;) {  // preorder without recursion, as below
        ++count;
        if (n->firstChild_) {
            n = n->firstChild_;
            continue;
        }
        while (n && !n->nextSibling_) n = n->parent_ == parent_ ? nullptr : n->parent_;
        if (n) n = n->nextSibling_;
    }
    members.reserve(count);
    // z of a node whose own is not set: its parent's, found on the walk.
    auto zOf = [](const TVelora* n, const TVelora* walkParent, double walkZ) {
        if (n->ZOrderSet) return n->ZOrder;
        if (n->parent_ == walkParent) return walkZ;
        return n->parent_ ? n->parent_->EffectiveZOrder() : 0.0;
    };
    struct TLevel {
        TVelora* Next;    // the next sibling to visit on this level
        TVelora* Parent;  // whose children the level holds, as walked
        double Z;         // that parent's effective z-order
    };
    std::vector<TLevel> stack{{this, parent_, parent_ ? parent_->EffectiveZOrder() : 0.0}};
    while (!stack.empty()) {
        TLevel& level = stack.back();
        TVelora* n = level.Next;
        if (!n) {
            stack.pop_back();
            continue;
        }
        level.Next = n->nextSibling_;
        if (!n->Visible) continue;
        const double z = zOf(n, level.Parent, level.Z);
        members.push_back({z, n});
        if (n->firstChild_) stack.push_back({n->firstChild_, n, z});
    }

    if (root->drawNext_ != root) {
        for (const TMember& m : members) root->InsertByZ(m.Node);
        return;
    }
    // InsertByZ puts a NaN z-order in front of the ring, and the scans of
    // later nodes stop at it; so each NaN closes a batch that later nodes
    // never pass. Within a batch, drawing order is ascending z, preorder
    // among equals: a stable sort.
    auto batchStart = members.begin();
    for (auto it = members.begin();; ++it) {
        if (it == members.end() || std::isnan(it->Z)) {
            auto byZ = [](const TMember& a, const TMember& b) { return a.Z < b.Z; };
            // Most scenes set no z-order at all: nothing to move.
            if (!std::is_sorted(batchStart, it, byZ)) std::stable_sort(batchStart, it, byZ);
            if (it == members.end()) break;
            batchStart = it + 1;
        }
    }
    // Drawing runs along DrawPrev from the root, so the last to draw goes
    // first along DrawNext.
    for (auto it = members.rbegin(); it != members.rend(); ++it) root->LinkDrawBefore(it->Node);
}

// The root's own siblings are no part of its scene, so collection starts at
// its children; an invisible root draws alone.
void TVelora::BuildDrawList(const TRect& area) {
    ResetDrawList();
    if (Visible && firstChild_) firstChild_->CollectDraw(this, area);
}

// Along DrawNext the members stand in descending z-order; a new member goes
// in front of those with an equal one, so DrawPrev order is preorder among
// equals. NaN compares false and simply stops the scan.
void TVelora::InsertByZ(TVelora* node) {
    if (!node) return;
    const double z = node->EffectiveZOrder();
    TVelora* c = drawNext_;
    while (c != this && z < c->EffectiveZOrder()) c = c->drawNext_;
    c->LinkDrawBefore(node);
}

namespace {

// A node's place below an ancestor in 64 bits: positions near the 32-bit
// edge add up beyond it instead of wrapping round to the other side.
void OffsetIn64(const TVelora* n, const TVelora* ancestor, int64_t& x, int64_t& y) {
    x = y = 0;
    for (; n != ancestor && n->Parent(); n = n->Parent()) {
        x += n->Left;
        y += n->Top;
    }
}

// Whether pt lies on n, with n's area taken in 64 bits as RenderInto does.
bool Covers(const TVelora& n, const TVelora* root, TPoint pt) {
    int64_t x, y;
    OffsetIn64(&n, root, x, y);
    return pt.X >= x && pt.X < x + n.Width && pt.Y >= y && pt.Y < y + n.Height;
}

}  // namespace

void TVelora::RenderInto(TPixelMapRGB& map) {
    if (map.Width() <= 0 || map.Height() <= 0) return;
    const TRect b = map.Bounds();
    BuildDrawList(b);
    TVelora* n = this;
    do {
        TVelora* next = n->drawPrev_;
        // A zero-size node's inverted rectangle would normalise to a 2 x 2
        // area it has no pixels for.
        if (n->Width > 0 && n->Height > 0) {
            // The node's area cut to the map's, in 64 bits: a node that lies
            // partly or wholly beyond the 32-bit range is clipped, never wrapped.
            int64_t x, y;
            OffsetIn64(n, this, x, y);
            const int64_t l = std::max<int64_t>(x, b.Left), t = std::max<int64_t>(y, b.Top);
            const int64_t r = std::min<int64_t>(x + n->Width - 1, b.Right);
            const int64_t bt = std::min<int64_t>(y + n->Height - 1, b.Bottom);
            if (l <= r && t <= bt)
                n->DrawArea(int32_t(l - b.Left), int32_t(t - b.Top), int32_t(l - x), int32_t(t - y),
                            int32_t(r - l + 1), int32_t(bt - t + 1), map);
        }
        n = next;
    } while (n != this);
}

void TVelora::DrawArea(int32_t dstX, int32_t dstY, int32_t, int32_t, int32_t w, int32_t h,
                       TPixelMapRGB& target) {
    const uint32_t a = AlphaFromOpq(EffectiveOpq());
    if (a == 0) return;

    // A plain fill has no source to run out of: only the target cuts it.
    TDrawBlock b;
    if (!ClipDrawBlock(dstX, dstY, 0, 0, w, h, target.Width(), target.Height(), INT32_MAX, INT32_MAX, b))
        return;
    const uint8_t bgr[3] = {uint8_t(Col >> 16), uint8_t(Col >> 8), uint8_t(Col)};
    uint8_t* first = target.PixelAddr(b.DstX, b.DstY);
    const size_t stride = size_t(target.Stride());
    if (a == 255)
        FillColorRows(first, stride, size_t(b.W), size_t(b.H), bgr);
    else
        BlendColorRows(first, stride, size_t(b.W), size_t(b.H), bgr, a);
}

// ---- Pointing ------------------------------------------------------------

void TVelora::DoPointing(TPoint, TPointF, TPointingMsg&) {}

bool TVelora::HitTest(TPoint pt) { return OnHitTest ? OnHitTest(*this, pt) : Hittable; }

void TVelora::PointerEnter() {}

void TVelora::PointerLeave() {}

void TVelora::HandlePointing(TPointingMsg& msg) {
    const TPointF ptF = ToLocalF(msg.Exact, msg.Root);
    const TPoint pt{RoundToInt32(ptF.X), RoundToInt32(ptF.Y)};
    if (msg.State == kPointLeftDown || msg.State == kPointOtherDown) LastPointer = pt;
    if (OnPointing)
        OnPointing(*this, pt, ptF, msg);
    else
        DoPointing(pt, ptF, msg);
}

// Preorder, later visits win ties, so the answer is the topmost node in
// drawing order that accepts the hit. Zero-size nodes are never hit (their
// inverted rectangle would normalise to a 2 x 2 area), but their children
// may be.
TVelora* TVelora::FindNodeAt(TPoint pt) {
    Watch();
    HitPoint = pt;
    HitResult = this;
    ForEachWhile([this, pt](TVelora& n) {
        if (!n.Visible) return false;
        if (n.Width > 0 && n.Height > 0 && Covers(n, this, pt) &&
            n.HitTest(n.ToLocal(pt, this))) {
            // Re-read: a hit test may have run arbitrary code.
            if (!HitResult || !(HitResult->EffectiveZOrder() > n.EffectiveZOrder()))
                HitResult = &n;
        }
        return true;
    });
    return HitResult ? HitResult : this;
}

}  // namespace quenlo
