#pragma once
// Unit Velora: the scene node base class, the tree, compositing into 24-bit
// maps, the kind registry and the statement language.
//
// Ownership: the tree never owns its nodes. Whoever creates a node (a kind's
// Create, NewChild, a script) owns it and takes it down with Destroy(), which
// refuses a node that still has children. TVeloraPtr is the RAII handle for
// owners that want one; its deleter never throws (see TVeloraDeleter).
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "low/Errors.h"
#include "low/LazyFunction.h"
#include "low/Types.h"
#include "pixelmap/Color.h"
#include "scene/NodeHeap.h"
#include "scene/NodeWatch.h"

namespace quenlo {

class TOnScreen;
class TPointingMsg;
class TPixelMapRGB;
class TVelora;

// The scene library's error ("have children error", a full kind registry).
class EVelore : public EQuenlo {
public:
    using EQuenlo::EQuenlo;
};

// A float statement argument that is not a number:
// "'abc' is not a valid floating point value".
class EConvertError : public EQuenlo {
public:
    using EQuenlo::EQuenlo;
};

// ---- Statement argument conversion (shared with the node kinds) --------

// Decimal integer, or def when the text is not one.
int32_t StatementInt(std::string_view arg, int32_t def);
// Decimal number with "." whatever the locale; throws EConvertError.
float StatementFloat(std::string_view arg);
double StatementDouble(std::string_view arg);
// "keyword(R,G,B);" from a colour value, as the writers put colours.
std::string ColorStatement(std::string_view keyword, TColor c);
// "text(\"...\");" as the text kinds write it back; quotes are not escaped.
std::string TextStatement(std::string_view text);

// A script line cut as ParseLine cuts it: the first word (a kind name, "{",
// "}" or a "//" comment) and the statements after it.
struct TKindLine {
    std::string Word;
    std::string Rest;
    bool IsComment() const { return Word.starts_with("//"); }
};
TKindLine SplitKindLine(std::string_view line);
// The statements of a text cut at each ';' as RunStatements cuts them, into
// stmts (cleared first; its strings are reused).
void SplitStatements(std::string_view text, std::vector<std::string>& stmts);

// Runs each statement that RunStatements meets on this thread in its place,
// for as long as a TScopedStatementRunner holds it: a script reader prices
// a statement on the node as it stands when it runs. Run applies it with
// node.ApplyStatement.
class TStatementRunner {
public:
    virtual void Run(TVelora& node, std::string& stmt) = 0;

protected:
    ~TStatementRunner() = default;
};
class TScopedStatementRunner {
public:
    explicit TScopedStatementRunner(TStatementRunner* runner);
    ~TScopedStatementRunner();
    TScopedStatementRunner(const TScopedStatementRunner&) = delete;
    TScopedStatementRunner& operator=(const TScopedStatementRunner&) = delete;

private:
    TStatementRunner* saved_;
};

// ---- Compositing rule (shared with the node kinds) ---------------------

// Low byte of Round(opq * 255), halves to even: opq(1.5) gives 126, not 255.
// NaN and infinities give 0 (nothing drawn).
uint8_t AlphaFromOpq(double opq);

// ((255 - a) * dst + a * src + 128) div 255, all operands 0..255.
constexpr uint8_t BlendByte(uint32_t dst, uint32_t src, uint32_t a) {
    return static_cast<uint8_t>(((255 - a) * dst + a * src + 128) / 255);
}

// ---- Class descriptors and the kind registry ---------------------------

// Frees a node without ever throwing. A node that still has children has
// them unlinked first (they become roots of their own), so nothing is left
// pointing at freed memory; Destroy() is the checked way.
struct TVeloraDeleter {
    void operator()(TVelora* node) const noexcept;
};

template <class T = TVelora>
using TVeloraPtr = std::unique_ptr<T, TVeloraDeleter>;

// Frees a whole tree with DestroyTree, for owners of every node in it (a
// script's nodes).
struct TVeloraTreeDeleter {
    void operator()(TVelora* root) const noexcept;
};

template <class T = TVelora>
using TVeloraTreePtr = std::unique_ptr<T, TVeloraTreeDeleter>;

// Class-level operations of a node kind: its script name and its factory.
class TVeloraClass {
public:
    virtual ~TVeloraClass() = default;
    virtual std::string_view KindName() const = 0;
    // A fresh node with the kind's defaults.
    virtual TVeloraPtr<TVelora> Create() const = 0;
    // node is an instance of this kind or of a kind derived from it.
    virtual bool IsClassOf(const TVelora& node) const = 0;
    // node is of exactly this kind, not of one derived from it.
    virtual bool IsKindOf(const TVelora& node) const = 0;
};

// The descriptor of kind T. T names itself with a static KindName(); a kind
// that declares none answers its base's name.
template <class T>
class TVeloraKind final : public TVeloraClass {
public:
    std::string_view KindName() const override { return T::KindName(); }
    TVeloraPtr<TVelora> Create() const override {
        static_assert(alignof(T) <= kNodeAlignment);
        return TVeloraPtr<TVelora>(new T());
    }
    bool IsClassOf(const TVelora& node) const override {
        if constexpr (std::is_same_v<T, TVelora>)
            return true;
        else
            return dynamic_cast<const T*>(&node) != nullptr;
    }
    bool IsKindOf(const TVelora& node) const override;  // below TVelora, which it needs whole
};

template <class T>
const TVeloraClass& ClassOf() {
    static_assert(std::is_base_of_v<TVelora, T>);
    static const TVeloraKind<T> descriptor;
    return descriptor;
}

// A fresh node of kind T owned by the caller.
template <class T>
TVeloraPtr<T> MakeVelora() {
    static_assert(alignof(T) <= kNodeAlignment);
    return TVeloraPtr<T>(new T());
}

// Fixed table of 101 kinds, searched in registration order.
class TKindRegistry {
public:
    static constexpr int kCapacity = 101;

    // Throws EVelore when the table is full. No duplicate check: the first
    // registration of a name wins in Find.
    void Register(const TVeloraClass& cls);
    // ASCII case-insensitive; ClassOf<TNullClass>() when nothing matches.
    const TVeloraClass& Find(std::string_view name) const;
    // The registered kind of exactly node's type whose name finds it again
    // (the first registration of a name wins); ClassOf<TNullClass>() for a
    // node of no such kind.
    const TVeloraClass& KindOf(const TVelora& node) const;
    int Count() const { return count_; }
    const TVeloraClass& At(int i) const { return *table_[i]; }

private:
    std::array<const TVeloraClass*, kCapacity> table_{};
    int count_ = 0;
};

// ---- The node ----------------------------------------------------------

class TVelora : private TNodeWatcher {
public:
    // OnPointing: Pt and PtF are node-local.
    using TPointingHandler =
        TLazyFunction<void(TVelora& sender, TPoint pt, TPointF ptF, TPointingMsg& msg)>;
    using THitTestHandler = TLazyFunction<bool(TVelora& sender, TPoint pt)>;

    static std::string_view KindName() { return "Velore"; }

    TVelora();
    TVelora(const TVelora&) = delete;
    TVelora& operator=(const TVelora&) = delete;

    // Nodes of every kind live in the node heap (see NodeHeap.h); the
    // virtual destructor hands delete the size of the kind.
    // Blocks there are 16-byte aligned: MakeVelora and the kind descriptors
    // refuse a kind that needs more.
    static void* operator new(std::size_t bytes) { return AllocateNode(bytes); }
    static void operator delete(void* p, std::size_t bytes) noexcept { FreeNode(p, bytes); }

    // Takes this node down. Throws EVelore "have children error" and changes
    // nothing while it has children. A node still linked under a parent is
    // unlinked first; a view showing it forgets it. `this` is gone afterwards.
    void Destroy();
    // Destroys the subtree below and including this node, leaves first and
    // without recursion. For owners of whole trees (a script's nodes); every
    // node must be owned by the caller.
    void DestroyTree();

    // ---- Fields (plain properties, with the tree and draw links) ----
    // What every walk over the tree and every render reads comes first, on
    // the node's first cache lines: a scene of a million nodes is walked
    // several times per render.
    int32_t Top = 0;
    int32_t Left = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    bool Visible = false;
    bool ZOrderSet = false;

private:
    TVelora* parent_ = nullptr;
    TVelora* firstChild_ = nullptr;
    TVelora* nextSibling_ = nullptr;
    TVelora* drawPrev_ = this;
    TVelora* drawNext_ = this;
    TVelora* prevSibling_ = nullptr;
    // Usually the last child; trusted only while it still is one.
    TVelora* lastChildHint_ = nullptr;

public:
    bool ColSet = false;
    bool FaceColSet = false;  // also covers FaceOpq
    bool LineColSet = false;  // also covers LineOpq
    bool OpqSet = false;
    float Opq = -1.0f;  // negative: the parent's opacity applies
    double ZOrder = 0.0;
    TColor Col = 0x000000;
    TColor FaceCol = 0x777777;
    TColor LineCol = 0xFFFFFF;
    float FaceOpq = 1.0f;
    float LineOpq = 1.0f;
    TRect Dirty;  // own coordinates; only a shown root's is flushed
    // The scratch and reader pointers below never outlive the node they point
    // at, wherever it went before it was freed, once FindNodeAt, ParseLine,
    // EnterBlock or LeaveBlock has run on this node: HitResult and ParseLast
    // become nullptr, ParseParent the freed node's parent, or this node when
    // it had none.
    TPoint HitPoint;             // hit-test scratch, on the root
    TVelora* HitResult = nullptr;  // hit-test scratch, on the root
    TVelora* ParseParent = nullptr;  // script reader: where kind lines add nodes
    TVelora* ParseLast = this;       // script reader: the last kind line's node
    TPointingHandler OnPointing;     // replaces DoPointing when set
    THitTestHandler OnHitTest;       // replaces Hittable when set
    TOnScreen* View = nullptr;       // the view showing this node as its root
    bool Grabs = false;              // captures the pointer while a button is held
    TPoint LastPointer;              // node-local point of the last button-down
    bool Hittable = true;
    std::string Name;
    std::string FileName;

    // ---- Virtual operations ----
    // Creates a Kind node, runs Text on it, then appends it as last child.
    // When the statements throw, the new node is freed and the error passes.
    virtual TVelora* NewChild(const TVeloraClass& kind, std::string_view text);
    // Applies one statement and empties stmt when it matched. Kinds call the
    // inherited one first and try their own keywords only if stmt is left.
    virtual void ApplyStatement(std::string& stmt);
    // Kinds call the inherited one, then append their statements.
    virtual void WriteStatements(std::string& text);
    virtual void ParseLine(std::string_view line);
    virtual void SetPosition(int32_t x, int32_t y);
    // Kinds holding pixels reallocate them here (call the inherited first).
    virtual void SetSize(int32_t w, int32_t h);
    virtual void MoveTo(int32_t x, int32_t y);
    virtual void MoveBy(int32_t dx, int32_t dy);
    // Draws the w x h block at node-local (srcX, srcY) onto target at
    // (dstX, dstY). RenderInto only asks for blocks inside node and map.
    virtual void DrawArea(int32_t dstX, int32_t dstY, int32_t srcX, int32_t srcY, int32_t w,
                          int32_t h, TPixelMapRGB& target);
    virtual void AttachView(TOnScreen* view);
    virtual void FitToView();
    virtual void SizeChanged();
    virtual void DetachView();
    virtual void ResetDrawList();
    virtual void LinkDrawBefore(TVelora* node);
    virtual void CollectDraw(TVelora* root, const TRect& area);
    virtual void BuildDrawList(const TRect& area);
    virtual void Refresh();
    virtual void Redraw();
    virtual void RedrawTree();
    virtual void DoPointing(TPoint pt, TPointF ptF, TPointingMsg& msg);
    virtual bool HitTest(TPoint pt);
    virtual void PointerEnter();
    virtual void PointerLeave();
    virtual void HandlePointing(TPointingMsg& msg);
    virtual void LoadFile(const std::string& fileName);

    // ---- Property setters ----
    void SetName(std::string_view s) { Name = s; }
    int32_t MaxX() const { return Width - 1; }
    int32_t MaxY() const { return Height - 1; }
    void SetLeft(int32_t v) { Left = v; }
    void SetTop(int32_t v) { Top = v; }
    void SetWidth(int32_t v);   // then SizeChanged
    void SetHeight(int32_t v);  // then SizeChanged
    void SetVisible(bool b) { Visible = b; }
    void SetCol(TColor c);
    void SetFaceCol(TColor c);
    void SetLineCol(TColor c);
    void SetOpq(float v);
    void SetFaceOpq(float v);
    void SetLineOpq(float v);
    void SetZOrder(double v);

    // ---- Inherited values (stop at the root) ----
    float EffectiveOpq() const;
    float EffectiveFaceOpq() const;
    float EffectiveLineOpq() const;
    double EffectiveZOrder() const;

    // ---- Tree ----
    TVelora* Parent() const { return parent_; }
    TVelora* FirstChild() const { return firstChild_; }
    TVelora* PrevSibling() const { return prevSibling_; }
    TVelora* NextSibling() const { return nextSibling_; }
    TVelora* GetParent() const;
    int Depth() const;  // the number of ancestors
    TVelora* FirstSibling();
    TVelora* LastSibling();
    void AddChild(TVelora* node);
    void LinkAfter(TVelora* node);  // self joins node's parent right after node
    void Unlink();
    void MoveAfter(TVelora* node);

    // ---- Coordinates ----
    TPoint Position() const { return {Left, Top}; }
    TRect LocalBounds() const;
    TRect BoundsInParent() const;
    TRect OffsetRect(const TRect& r) const;  // own -> parent coordinates
    TPoint OffsetIn(const TVelora* ancestor) const;
    TRect BoundsIn(const TVelora* ancestor) const;
    TPoint AbsoluteOffset() const;
    TPoint ToLocal(TPoint pt, const TVelora* root) const;
    TPointF ToLocalF(TPointF pt, const TVelora* root) const;

    // ---- Dirty rectangles ----
    void AddDirty(const TRect& r);
    void GrowDirty(int32_t n);
    void MarkDirty();
    void ResetDirty();
    void MarkTreeDirty();

    // ---- Drawing (on the root) ----
    TVelora* DrawNext() const { return drawNext_; }
    TVelora* DrawPrev() const { return drawPrev_; }
    void InsertByZ(TVelora* node);
    // Composites the tree into map, whose Left/Top place it in the scene.
    void RenderInto(TPixelMapRGB& map);

    // ---- Traversal (preorder) ----
    void ForEachNode(const std::function<void(TVelora&)>& fn);
    // Enters a node's children only when fn returned true for it.
    void ForEachWhile(const std::function<bool(TVelora&)>& fn);

    // ---- Registry ----
    static TKindRegistry& Registry();  // the process-wide table, "Velore" first
    static void RegisterKind(const TVeloraClass& cls) { Registry().Register(cls); }
    static const TVeloraClass& FindKind(std::string_view name) { return Registry().Find(name); }
    static const TVeloraClass& KindOf(const TVelora& node) { return Registry().KindOf(node); }

    // ---- Statements, scripts, hit testing ----
    void RunStatements(std::string_view text);
    // The same on statements already cut; ApplyStatement empties those it takes.
    void RunStatements(std::span<std::string> stmts);
    // ParseLine of a kind line already cut: kind is FindKind of its word,
    // never the null kind, and stmts the statements after it.
    void ParseKindLine(const TVeloraClass& kind, std::span<std::string> stmts);
    void EnterBlock();
    void LeaveBlock();
    // Topmost visible node at scene point pt that accepts the hit; the root
    // when none does. Called on the root.
    TVelora* FindNodeAt(TPoint pt);

    // Convenience: NewChild(ClassOf<T>(), text) typed as T.
    template <class T>
    T* NewChildOf(std::string_view text) {
        return static_cast<T*>(NewChild(ClassOf<T>(), text));
    }

protected:
    // Freed only through Destroy or TVeloraDeleter; never throws.
    virtual ~TVelora();

private:
    friend struct TVeloraDeleter;
    // Clears references that the tree, readers and views hold to this node.
    void Forget() noexcept;
    void DropNode(TVelora& node) noexcept final;
    // The first of this node's and its ancestors' values of *opq that is >= 0.
    float InheritedOpq(float TVelora::*opq) const;

};

// Placeholder answered by FindKind for an unknown name; never registered.
class TNullClass : public TVelora {
public:
    static std::string_view KindName() { return "Null"; }
};

inline bool IsNullKind(const TVeloraClass& cls) { return &cls == &ClassOf<TNullClass>(); }

template <class T>
bool TVeloraKind<T>::IsKindOf(const TVelora& node) const {
    return typeid(node) == typeid(T);
}

}  // namespace quenlo
