// Pointer messages: scaling, hit routing, hover tracking and capture.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "scene/OnScreen.h"
#include "scene/PointingMsg.h"
#include "scene/Velora.h"

namespace quenlo {
namespace {

using TLog = std::vector<std::string>;

// A node that logs what the view does to it.
class TProbe : public TVelora {
public:
    void PointerEnter() override {
        if (throwOnEnter) throw std::runtime_error("enter");
        log->push_back(Name + " enter");
    }
    void PointerLeave() override {
        log->push_back(Name + " leave");
        if (throwOnLeave) throw std::runtime_error("leave");
    }
    void DoPointing(TPoint pt, TPointF, TPointingMsg&) override {
        log->push_back(Name + " point");
        lastPt = pt;
    }

    TLog* log = nullptr;
    bool throwOnEnter = false;
    bool throwOnLeave = false;
    TPoint lastPt;
};

class PointingTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = Probe("root", 100, 100, 0, 0);
        view.SetRoot(root.get());
        view.AdoptRootSize();
    }
    void TearDown() override {
        for (auto& n : nodes) n->Unlink();
    }

    TVeloraPtr<TProbe> Probe(const char* name, int32_t w, int32_t h, int32_t x, int32_t y) {
        auto p = MakeVelora<TProbe>();
        p->SetName(name);
        p->SetSize(w, h);
        p->SetPosition(x, y);
        p->log = &log;
        return p;
    }
    TProbe* Child(TVelora* parent, const char* name, int32_t w, int32_t h, int32_t x, int32_t y) {
        nodes.push_back(Probe(name, w, h, x, y));
        parent->AddChild(nodes.back().get());
        return nodes.back().get();
    }
    // The event source's sequence: SetPointer, State, DispatchPointing.
    void Send(int32_t x, int32_t y, uint8_t state, bool left = false, bool right = false) {
        msg.SetPointer(x, y, right, left);
        msg.State = state;
        view.DispatchPointing(msg);
    }
    // The last "point" entry of the log, or "".
    std::string LastTarget() const {
        for (auto it = log.rbegin(); it != log.rend(); ++it)
            if (it->ends_with(" point")) return it->substr(0, it->size() - 6);
        return "";
    }

    TLog log;
    TOnScreen view;
    TPointingMsg msg;
    TVeloraPtr<TProbe> root;
    std::vector<TVeloraPtr<TProbe>> nodes;  // declared last: freed first
};

TEST(PointingMsgTest, ScaleToSceneRoundsHalvesToEvenAndStaysInRange) {
    TPointingMsg m;
    auto node = MakeVelora<TVelora>();
    m.State = kPointLeftUp;
    m.Captured = node.get();
    m.SetPointer(11, 7, true, false);
    EXPECT_EQ(m.State, kPointLeftUp);  // SetPointer leaves these alone
    EXPECT_EQ(m.Captured, node.get());
    EXPECT_TRUE(m.RightDown && !m.LeftDown);
    m.ScaleToScene(200, 100);
    EXPECT_EQ(m.Exact, (TPointF{5.5f, 3.5f}));
    EXPECT_EQ(m.Pos, (TPoint{6, 4}));

    m.SetPointer(-11, -5, false, false);
    m.ScaleToScene(200, 100);
    EXPECT_EQ(m.Pos, (TPoint{-6, -2}));

    m.SetPointer(2, 3, false, false);
    m.ScaleToScene(300, 100);
    EXPECT_FLOAT_EQ(m.Exact.X, 2.0f / 3.0f);
    EXPECT_EQ(m.Pos, (TPoint{1, 1}));

    // Odd factors: no division by zero, nothing outside the 32-bit range.
    m.SetPointer(5, -7, false, false);
    m.ScaleToScene(0, 100);  // no division by zero: position kept
    EXPECT_EQ(m.Pos, (TPoint{5, -7}));
    EXPECT_EQ(m.Exact, (TPointF{5.0f, -7.0f}));

    m.SetPointer(INT32_MAX, INT32_MIN, false, false);
    m.ScaleToScene(1, INT32_MAX);
    EXPECT_TRUE(std::isfinite(m.Exact.X) && std::isfinite(m.Exact.Y));
    EXPECT_EQ(m.Pos, (TPoint{INT32_MAX, INT32_MIN}));

    m.SetPointer(INT32_MIN, 0, false, false);
    m.ScaleToScene(-1, 1);  // -INT32_MIN does not fit: clamped
    EXPECT_EQ(m.Pos, (TPoint{INT32_MAX, 0}));
}

TEST_F(PointingTest, TopmostInDrawingOrderGetsTheEventInLocalCoordinates) {
    TProbe* a = Child(root.get(), "a", 40, 40, 10, 10);
    TProbe* b = Child(root.get(), "b", 40, 40, 30, 30);
    Send(35, 35, kPointMove);
    EXPECT_EQ(LastTarget(), "b");  // equal z-order: the later one
    EXPECT_EQ(b->lastPt, (TPoint{5, 5}));

    a->SetZOrder(1);
    Send(35, 35, kPointMove);
    EXPECT_EQ(LastTarget(), "a");
    EXPECT_EQ(a->lastPt, (TPoint{25, 25}));

    Send(5, 5, kPointMove);  // nothing else there: the root answers
    EXPECT_EQ(LastTarget(), "root");
    Send(80, 80, kPointMove);
    EXPECT_EQ(LastTarget(), "root");
}

TEST_F(PointingTest, InvisibleAndUnhittableNodesAreSkipped) {
    TProbe* parent = Child(root.get(), "parent", 60, 60, 0, 0);
    TProbe* inner = Child(parent, "inner", 20, 20, 10, 10);
    Send(15, 15, kPointMove);
    EXPECT_EQ(LastTarget(), "inner");

    inner->Hittable = false;
    Send(15, 15, kPointMove);
    EXPECT_EQ(LastTarget(), "parent");

    inner->Hittable = true;
    parent->SetVisible(false);  // hides its visible child as well
    Send(15, 15, kPointMove);
    EXPECT_EQ(LastTarget(), "root");

    parent->SetVisible(true);
    inner->OnHitTest = [](TVelora&, TPoint pt) { return pt.X < 5; };
    Send(12, 15, kPointMove);  // local (2, 5)
    EXPECT_EQ(LastTarget(), "inner");
    Send(18, 15, kPointMove);  // local (8, 5)
    EXPECT_EQ(LastTarget(), "parent");
}

TEST_F(PointingTest, ZoomScalesThePointerBeforeHitTesting) {
    TProbe* a = Child(root.get(), "a", 10, 10, 50, 50);
    view.SetZoom(200);
    Send(101, 101, kPointMove);  // scene (50.5, 50.5) -> (50, 50)
    EXPECT_EQ(LastTarget(), "a");
    EXPECT_EQ(a->lastPt, (TPoint{0, 0}));
    EXPECT_EQ(msg.Root, root.get());
    Send(99, 99, kPointMove);  // (49.5, 49.5) -> (50, 50) as well, halves to even
    EXPECT_EQ(LastTarget(), "a");
    Send(97, 97, kPointMove);  // (48.5, 48.5) -> (48, 48)
    EXPECT_EQ(LastTarget(), "root");
}

TEST_F(PointingTest, HoverEntersAndLeavesButNeverEntersTheRoot) {
    Child(root.get(), "a", 20, 20, 0, 0);
    Child(root.get(), "b", 20, 20, 50, 0);
    Send(5, 5, kPointMove);
    EXPECT_EQ(log, (TLog{"a enter", "a point"}));
    log.clear();
    Send(6, 6, kPointMove);  // same node: no hover change
    EXPECT_EQ(log, (TLog{"a point"}));
    log.clear();
    Send(40, 40, kPointMove);  // the empty spot is the root
    EXPECT_EQ(log, (TLog{"a leave", "root point"}));
    log.clear();
    Send(55, 5, kPointMove);
    EXPECT_EQ(log, (TLog{"b enter", "root leave", "b point"}));
    EXPECT_EQ(view.Hover(), nodes[1].get());
}

TEST_F(PointingTest, LeaveErrorsAreSwallowedEnterErrorsPropagate) {
    TProbe* a = Child(root.get(), "a", 20, 20, 0, 0);
    TProbe* b = Child(root.get(), "b", 20, 20, 50, 0);
    a->throwOnLeave = true;
    Send(5, 5, kPointMove);
    EXPECT_NO_THROW(Send(55, 5, kPointMove));
    EXPECT_EQ(view.Hover(), b);
    EXPECT_EQ(LastTarget(), "b");

    a->throwOnEnter = true;
    EXPECT_THROW(Send(5, 5, kPointMove), std::runtime_error);
    EXPECT_EQ(view.Hover(), b);  // unchanged
}

TEST_F(PointingTest, GrabbingNodeKeepsTheDragUntilAPlainMove) {
    TProbe* knob = Child(root.get(), "knob", 10, 10, 0, 0);
    knob->Grabs = true;
    Send(5, 5, kPointLeftDown, true);
    EXPECT_EQ(msg.Captured, knob);
    EXPECT_EQ(knob->LastPointer, (TPoint{5, 5}));
    Send(80, 80, kPointMove, true);  // far outside, still the knob's
    EXPECT_EQ(LastTarget(), "knob");
    EXPECT_EQ(knob->lastPt, (TPoint{80, 80}));
    EXPECT_EQ(view.Hover(), knob);  // no hit testing while captured
    Send(80, 80, kPointLeftUp);
    EXPECT_EQ(LastTarget(), "knob");
    EXPECT_EQ(msg.Captured, knob);
    Send(81, 81, kPointMove);  // releases, then hit-tests again
    EXPECT_EQ(msg.Captured, nullptr);
    EXPECT_EQ(LastTarget(), "root");

    knob->Grabs = false;  // now hit-tested anew on every event, button or not
    Send(5, 5, kPointLeftDown, true);
    EXPECT_EQ(msg.Captured, nullptr);
    Send(50, 50, kPointMove, true);
    EXPECT_EQ(LastTarget(), "root");
}

TEST_F(PointingTest, CapturedOrHoveredNodeThatLeavesTheSceneIsDropped) {
    TProbe* knob = Child(root.get(), "knob", 10, 10, 0, 0);
    knob->Grabs = true;
    Send(5, 5, kPointLeftDown, true);
    ASSERT_EQ(msg.Captured, knob);
    knob->Unlink();
    nodes.clear();  // knob is freed mid-drag
    log.clear();
    Send(6, 6, kPointMove, true);
    EXPECT_EQ(msg.Captured, nullptr);
    EXPECT_EQ(log, (TLog{"root point"}));  // no PointerLeave on the freed knob
    EXPECT_EQ(view.Hover(), root.get());
}

}  // namespace
}  // namespace quenlo
