// Scene nodes: tree links, coordinates, dirty areas, draw order, compositing
// and the kind registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "low/VeloreLow.h"
#include "pixelmap/pixelmap.h"
#include "scene/OnScreen.h"
#include "scene/Velora.h"

namespace quenlo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Remembers every rectangle the nodes ask it to repaint.
class TRecordingView : public TOnScreen {
public:
    void RepaintRect(const TRect& r) override {
        asked.push_back(r);
        TOnScreen::RepaintRect(r);
    }
    std::vector<TRect> asked;
};

TVeloraPtr<> Node(int32_t x, int32_t y, int32_t w, int32_t h, TColor col = 0) {
    auto n = MakeVelora<TVelora>();
    n->SetPosition(x, y);
    n->SetSize(w, h);
    n->SetCol(col);
    return n;
}

using test::PixelAt;
using test::RenderOver;

// ---- Tree ----------------------------------------------------------------

TEST(VeloraTree, ChildrenKeepTheirOrderAndUnlinkRepairsTheList) {
    auto root = Node(0, 0, 10, 10);
    auto a = Node(0, 0, 1, 1), b = Node(0, 0, 1, 1), c = Node(0, 0, 1, 1);
    root->AddChild(a.get());
    root->AddChild(b.get());
    root->AddChild(c.get());
    EXPECT_EQ(root->FirstChild(), a.get());
    EXPECT_EQ(c->PrevSibling(), b.get());
    EXPECT_EQ(c->GetParent(), root.get());
    EXPECT_EQ(b->FirstSibling(), a.get());
    EXPECT_EQ(a->LastSibling(), c.get());
    EXPECT_THROW(c->AddChild(root.get()), EVelore);  // would close a loop

    b->Unlink();  // middle: neighbours become adjacent
    EXPECT_EQ(a->NextSibling(), c.get());
    EXPECT_EQ(c->PrevSibling(), a.get());
    EXPECT_EQ(b->Parent(), nullptr);

    a->Unlink();  // first: the next one becomes the first child
    EXPECT_EQ(root->FirstChild(), c.get());
    EXPECT_EQ(c->GetParent(), root.get());

    b->AddChild(c.get());  // a linked node moves rather than sits in two lists
    EXPECT_EQ(root->FirstChild(), nullptr);
    EXPECT_EQ(c->GetParent(), b.get());
}

// ---- Lifetime ------------------------------------------------------------

TEST(VeloraLifetime, DestroyRefusesChildrenAndUnlinksItself) {
    auto root = Node(0, 0, 10, 10);
    TVelora* a = root->NewChild(ClassOf<TVelora>(), "");
    TVelora* b = root->NewChild(ClassOf<TVelora>(), "");
    TVelora* c = root->NewChild(ClassOf<TVelora>(), "");
    TVelora* grand = b->NewChild(ClassOf<TVelora>(), "");

    try {
        b->Destroy();
        FAIL() << "no error";
    } catch (const EVelore& e) {
        EXPECT_STREQ(e.what(), "have children error");
    }
    EXPECT_EQ(a->NextSibling(), b);  // tree intact
    EXPECT_EQ(b->FirstChild(), grand);

    grand->Destroy();
    b->Destroy();  // still linked: it unlinks itself
    EXPECT_EQ(a->NextSibling(), c);
    EXPECT_EQ(c->PrevSibling(), a);
    a->Destroy();
    EXPECT_EQ(root->FirstChild(), c);
    c->Destroy();
    EXPECT_EQ(root->FirstChild(), nullptr);
}

TEST(VeloraLifetime, DestroyingAShownNodeClearsTheViewsLinks) {
    auto root = Node(0, 0, 10, 10);
    TVelora* child = root->NewChild(ClassOf<TVelora>(), "size(4,4)");
    TOnScreen view;
    root->AttachView(&view);
    EXPECT_EQ(view.Root(), root.get());
    view.SetHover(child);
    child->Destroy();
    EXPECT_EQ(view.Hover(), nullptr);
    root.reset();
    EXPECT_EQ(view.Root(), nullptr);
}

// ---- Coordinates and inherited values -----------------------------------

TEST(VeloraCoordinates, OffsetsExcludeTheTopmostNode) {
    auto root = Node(100, 100, 50, 50);  // a root's own position is the scene origin
    auto a = Node(10, 20, 30, 30), b = Node(3, 4, 5, 6);
    root->AddChild(a.get());
    a->AddChild(b.get());
    EXPECT_EQ(b->AbsoluteOffset(), MakePoint(13, 24));
    EXPECT_EQ(b->OffsetIn(a.get()), MakePoint(3, 4));
    EXPECT_EQ(b->BoundsIn(root.get()), MakeRect(13, 24, 17, 29));
    EXPECT_EQ(root->BoundsIn(root.get()), MakeRect(0, 0, 49, 49));
    EXPECT_EQ(b->ToLocal(MakePoint(15, 25), root.get()), MakePoint(2, 1));
    EXPECT_EQ(b->ToLocalF(MakePointF(15.5f, 25.25f), root.get()), MakePointF(2.5f, 1.25f));
    EXPECT_EQ(a->OffsetRect(MakeRect(0, 0, 1, 1)), MakeRect(10, 20, 11, 21));
}

TEST(VeloraEffective, ValuesInheritUpToTheRoot) {
    auto root = Node(0, 0, 10, 10), a = Node(0, 0, 1, 1), b = Node(0, 0, 1, 1);
    root->AddChild(a.get());
    a->AddChild(b.get());
    EXPECT_EQ(b->EffectiveOpq(), 1.0f);  // negative up to the root
    EXPECT_EQ(b->EffectiveZOrder(), 0.0);
    a->SetOpq(0.25f);
    a->SetZOrder(3);
    b->Opq = std::numeric_limits<float>::quiet_NaN();  // inherits like a negative one
    EXPECT_EQ(b->EffectiveOpq(), 0.25f);
    EXPECT_EQ(b->EffectiveZOrder(), 3.0);
}

// ---- Dirty rectangles and refresh ---------------------------------------

TEST(VeloraDirty, AreasClimbToTheRootInEachAncestorsCoordinates) {
    auto root = Node(0, 0, 100, 100), a = Node(10, 10, 50, 50), b = Node(5, 5, 10, 10);
    root->AddChild(a.get());
    a->AddChild(b.get());
    root->ResetDirty();
    a->ResetDirty();
    EXPECT_EQ(root->Dirty, MakeRect(99, 99, 0, 0));
    b->AddDirty(MakeRect(4, 4, 2, 2));  // normalised first
    EXPECT_EQ(b->Dirty, MakeRect(0, 0, 4, 4));  // union with the all-zero start
    EXPECT_EQ(a->Dirty, MakeRect(7, 7, 9, 9));
    EXPECT_EQ(root->Dirty, MakeRect(17, 17, 19, 19));
    b->MarkDirty();
    EXPECT_EQ(b->Dirty, MakeRect(0, 0, 9, 9));
    EXPECT_EQ(root->Dirty, MakeRect(15, 15, 24, 24));
    root->GrowDirty(3);
    EXPECT_EQ(root->Dirty, MakeRect(12, 12, 27, 27));
}

TEST(VeloraDirty, RefreshFlushesTheRootWithTwoPixelsOfMargin) {
    auto root = Node(0, 0, 100, 100), a = Node(10, 10, 20, 20);
    root->AddChild(a.get());
    TRecordingView view;
    view.SetRoot(root.get());
    view.AdoptRootSize();
    root->ResetDirty();

    a->Redraw();
    EXPECT_THAT(view.asked, ElementsAre(MakeRect(8, 8, 31, 31)));
    EXPECT_EQ(root->Dirty, MakeRect(99, 99, 0, 0));  // reset after the flush

    root->Refresh();  // nothing dirty: the reset rectangle grown by 2
    EXPECT_EQ(view.asked.back(), MakeRect(97, 97, 2, 2));

    view.asked.clear();
    a->SetPosition(50, 50);  // no repaint of its own
    EXPECT_TRUE(view.asked.empty());
    a->MoveTo(60, 70);  // old and new place in one flush
    EXPECT_THAT(view.asked, ElementsAre(MakeRect(48, 48, 81, 91)));
    a->MoveBy(-60, -70);
    EXPECT_EQ(a->Position(), MakePoint(0, 0));

    auto loose = Node(0, 0, 5, 5);
    loose->Redraw();  // no parent, no view: nothing happens
    EXPECT_EQ(view.asked.size(), 2u);
}

// ---- Draw order and compositing ------------------------------------------

std::vector<TVelora*> RingOrder(TVelora& root) {
    std::vector<TVelora*> order;
    TVelora* n = &root;
    do {
        order.push_back(n);
        n = n->DrawPrev();
    } while (n != &root);
    return order;
}

TEST(VeloraDrawOrder, AscendingZOrderWithPreorderAmongEquals) {
    auto root = Node(0, 0, 10, 10);
    root->SetZOrder(100);  // the root is first whatever its z-order
    auto a = Node(0, 0, 1, 1), a1 = Node(0, 0, 1, 1), b = Node(0, 0, 1, 1), c = Node(0, 0, 1, 1),
         hidden = Node(0, 0, 1, 1), under = Node(0, 0, 1, 1);
    root->AddChild(a.get());
    a->AddChild(a1.get());
    root->AddChild(b.get());
    root->AddChild(c.get());
    root->AddChild(hidden.get());
    hidden->AddChild(under.get());
    a->SetZOrder(1);
    a1->SetZOrder(0.5);  // below its parent
    b->SetZOrder(1);
    c->SetZOrder(-1);
    hidden->SetVisible(false);  // hides its visible child too
    root->BuildDrawList(root->LocalBounds());
    EXPECT_EQ(RingOrder(*root),
              (std::vector<TVelora*>{root.get(), c.get(), a1.get(), a.get(), b.get()}));

    b->ZOrder = std::nan("");  // must neither crash nor lose a node
    root->BuildDrawList(root->LocalBounds());
    EXPECT_EQ(RingOrder(*root).size(), 5u);
}

// The sorted draw list against InsertByZ node by node, on random trees
// with shared, inherited, infinite and NaN z-orders and hidden subtrees.
TEST(VeloraDrawOrder, SortedListIsTheRingInsertByZBuilds) {
    std::mt19937 rng(31);
    const double zs[] = {0, 1, -1, 2.5, std::nan(""), INFINITY, -INFINITY, -0.0};
    for (int it = 0; it < 200; ++it) {
        std::vector<TVeloraPtr<>> nodes;
        nodes.push_back(Node(0, 0, 1, 1));
        if (it % 3 == 0) nodes[0]->SetZOrder(zs[rng() % 8]);
        for (int i = 1, n = 2 + int(rng() % 40); i < n; ++i) {
            nodes.push_back(Node(0, 0, 1, 1));
            nodes[rng() % i]->AddChild(nodes.back().get());
            if (rng() % 3 == 0) nodes.back()->SetZOrder(zs[rng() % (it % 2 ? 8 : 4)]);
            if (rng() % 9 == 0) nodes.back()->SetVisible(false);
        }
        TVelora& root = *nodes[0];
        root.BuildDrawList(root.LocalBounds());
        const std::vector<TVelora*> sorted = RingOrder(root);
        root.ResetDrawList();
        root.ForEachWhile([&](TVelora& n) {
            if (&n != &root && n.Visible) root.InsertByZ(&n);
            return &n == &root || n.Visible;
        });
        ASSERT_EQ(sorted, RingOrder(root)) << "case " << it;
        for (auto it2 = nodes.rbegin(); it2 != nodes.rend(); ++it2) it2->reset();
    }
}

TEST(VeloraTree, NewChildrenGoLastAfterTheLastOneLeaves) {
    auto root = Node(0, 0, 1, 1);
    auto a = Node(0, 0, 1, 1), b = Node(0, 0, 1, 1), c = Node(0, 0, 1, 1), d = Node(0, 0, 1, 1);
    root->AddChild(a.get());
    root->AddChild(b.get());
    b->Unlink();
    root->AddChild(c.get());
    c->MoveAfter(a.get());
    b->LinkAfter(a.get());  // a, b, c
    root->AddChild(d.get());
    d.reset();  // the last child, freed
    root->AddChild(b.get());  // a, c, b
    std::vector<TVelora*> kids;
    for (TVelora* k = root->FirstChild(); k; k = k->NextSibling()) kids.push_back(k);
    EXPECT_EQ(kids, (std::vector<TVelora*>{a.get(), c.get(), b.get()}));
}

TEST(VeloraRender, HalfOpaqueChildBlendsWithTiesToEven) {
    auto root = Node(0, 0, 100, 100, 0xFFFFFF);
    auto child = Node(10, 10, 20, 20, 0x0000FF);
    child->SetOpq(0.5f);
    root->AddChild(child.get());
    const auto map = RenderOver(*root, 0);
    EXPECT_EQ(PixelAt(*map, 10, 10), 0x7F7FFFu);  // B 127, G 127, R 255
    EXPECT_EQ(PixelAt(*map, 29, 29), 0x7F7FFFu);
    EXPECT_EQ(PixelAt(*map, 30, 29), 0xFFFFFFu);
    EXPECT_EQ(PixelAt(*map, 9, 10), 0xFFFFFFu);

    child->SetOpq(1.5f);  // Round(382.5) = 382, low byte 126
    EXPECT_EQ(PixelAt(*RenderOver(*root, 0), 10, 10), ColorFromRGB(255, 129, 129));
}

TEST(VeloraRender, InvisibleRootDrawsAloneAndInvisibleNodesHideSubtrees) {
    auto root = Node(0, 0, 10, 10, 0x112233);
    auto a = Node(0, 0, 5, 5, 0x0000FF), a1 = Node(0, 0, 2, 2, 0x00FF00);
    root->AddChild(a.get());
    a->AddChild(a1.get());
    root->SetVisible(false);
    EXPECT_EQ(PixelAt(*RenderOver(*root, 0xFFFFFF), 0, 0), 0x112233u);
    root->SetVisible(true);
    a->SetVisible(false);
    EXPECT_EQ(PixelAt(*RenderOver(*root, 0xFFFFFF), 0, 0), 0x112233u);
    a->SetVisible(true);
    EXPECT_EQ(PixelAt(*RenderOver(*root, 0xFFFFFF), 0, 0), 0x00FF00u);
}

TEST(VeloraRender, ZeroSizeAndEmptyMapsAreHarmless) {
    auto root = Node(0, 0, 4, 4, 0xFFFFFF);
    auto flat = Node(2, 2, 0, 3, 0x0000FF), dot = Node(3, 3, 0, 0, 0x0000FF);
    root->AddChild(flat.get());
    root->AddChild(dot.get());
    const auto map = RenderOver(*root, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(PixelAt(*map, x, y), 0xFFFFFFu) << x << "," << y;
    TPixelMapRGB empty;
    root->RenderInto(empty);  // must not write anywhere
}

TEST(VeloraRender, ZeroSizeAndEmptyMapsAreHarmless_BlocksPastTheTargetAreClipped) {
    auto root = Node(0, 0, 4, 4, 0xFFFFFF);
    TPixelMapRGB small;
    small.SetSize(3, 3);
    small.SetPen(0);
    small.Clear();
    root->DrawArea(-5, 1, 0, 0, 100, 100, small);
    EXPECT_EQ(PixelAt(small, 2, 2), 0xFFFFFFu);
    EXPECT_EQ(PixelAt(small, 2, 0), 0u);
}

TEST(VeloraRender, NonFiniteOpacityDrawsNothing) {
    auto root = Node(0, 0, 4, 4, 0xFFFFFF);
    root->SetOpq(std::numeric_limits<float>::infinity());
    EXPECT_EQ(PixelAt(*RenderOver(*root, 0x123456), 1, 1), 0x123456u);
}

TEST(VeloraRender, NonFiniteOpacityDrawsNothing_AlphaIsTheLowByteOfTheRoundedOpacity) {
    EXPECT_EQ(AlphaFromOpq(std::nan("")), 0);
    EXPECT_EQ(AlphaFromOpq(-1.0 / 255), 255);            // low byte of -1
    EXPECT_EQ(AlphaFromOpq(1.0), 255);
    EXPECT_EQ(AlphaFromOpq(2.5 / 255), 2);  // halves to even
}

// The fast paths and tables must agree bit for bit with the plain rule.
TEST(VeloraRender, BlendMatchesThePlainFormula) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 300; ++round) {
        const int32_t w = 1 + byte(rng) % 9, h = 1 + byte(rng) % 7;
        TPixelMapRGB map, ref;
        map.SetSize(w + 4, h + 4);
        ref.SetSize(w + 4, h + 4);
        for (int32_t i = 0; i < map.DataSize(); ++i) map.Data()[i] = ref.Data()[i] = uint8_t(byte(rng));

        auto node = MakeVelora<TVelora>();
        node->SetCol(ColorFromRGB(byte(rng), byte(rng), byte(rng)));
        const int pick = byte(rng) % 4;  // favour the two fast paths now and then
        node->SetOpq(pick == 0 ? 0.0f : pick == 1 ? 1.0f : float(byte(rng)) / 255.0f + 0.0004f);
        const uint32_t a = AlphaFromOpq(node->EffectiveOpq());
        const uint8_t src[3] = {uint8_t(node->Col >> 16), uint8_t(node->Col >> 8), uint8_t(node->Col)};

        node->DrawArea(2, 1, 0, 0, w, h, map);
        for (int32_t y = 1; y < 1 + h; ++y)
            for (int32_t x = 2; x < 2 + w; ++x)
                for (int c = 0; c < 3; ++c) {
                    uint8_t& d = ref.PixelAddr(x, y)[c];
                    d = uint8_t(((255 - a) * d + a * src[c] + 128) / 255);
                }
        ASSERT_EQ(0, std::memcmp(map.Data(), ref.Data(), size_t(map.DataSize()))) << "round " << round;
    }
}

// ---- Hit testing and pointing --------------------------------------------

TEST(VeloraHit, RootAnswersWhenNothingAboveItAccepts) {
    auto root = Node(0, 0, 100, 100);
    auto a = Node(10, 10, 30, 30), flat = Node(50, 50, 0, 0), inner = Node(0, 0, 10, 10);
    root->AddChild(a.get());
    root->AddChild(flat.get());
    flat->AddChild(inner.get());
    a->SetZOrder(1);
    a->OnHitTest = [](TVelora&, TPoint pt) { return pt.X > 20; };  // node-local
    EXPECT_EQ(root->FindNodeAt(MakePoint(25, 25)), root.get());
    EXPECT_EQ(root->FindNodeAt(MakePoint(35, 25)), a.get());
    EXPECT_EQ(root->FindNodeAt(MakePoint(50, 50)), inner.get());  // zero-size: never itself
    EXPECT_EQ(root->FindNodeAt(MakePoint(49, 49)), root.get());
    root->SetZOrder(5);  // a lies below the root now
    EXPECT_EQ(root->FindNodeAt(MakePoint(35, 25)), root.get());
}

// ---- Registry ------------------------------------------------------------

class TOtherKind : public TVelora {
public:
    static std::string_view KindName() { return "Other"; }
};

TEST(VeloraRegistry, FindsCaseInsensitivelyAndAnswersNullOtherwise) {
    EXPECT_EQ(&TVelora::FindKind("velore"), &ClassOf<TVelora>());
    EXPECT_EQ(TVelora::Registry().At(0).KindName(), "Velore");
    EXPECT_TRUE(IsNullKind(TVelora::FindKind("")));
    EXPECT_TRUE(IsNullKind(TVelora::FindKind("Null")));
    EXPECT_EQ(ClassOf<TNullClass>().KindName(), "Null");

    TKindRegistry reg;
    reg.Register(ClassOf<TOtherKind>());
    reg.Register(ClassOf<TVelora>());
    reg.Register(ClassOf<TOtherKind>());  // no duplicate check; the first wins
    EXPECT_EQ(reg.Count(), 3);
    EXPECT_EQ(&reg.Find("OTHER"), &ClassOf<TOtherKind>());
    EXPECT_TRUE(ClassOf<TVelora>().IsClassOf(*MakeVelora<TOtherKind>()));
    EXPECT_FALSE(ClassOf<TOtherKind>().IsClassOf(*MakeVelora<TVelora>()));
}

TEST(VeloraRegistry, RefusesTheHundredAndSecondKind) {
    TKindRegistry reg;
    for (int i = 0; i < TKindRegistry::kCapacity; ++i) reg.Register(ClassOf<TOtherKind>());
    try {
        reg.Register(ClassOf<TVelora>());
        FAIL() << "no error";
    } catch (const EVelore& e) {
        EXPECT_THAT(e.what(), HasSubstr("101"));
    }
    EXPECT_EQ(reg.Count(), TKindRegistry::kCapacity);
}

}  // namespace
}  // namespace quenlo
