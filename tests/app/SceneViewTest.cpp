// The window of "quenlo-scene view": title, zoom keys and wheel, pointer
// routing and reloading.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QWheelEvent>

#include "TestUtil.h"
#include "app/QtPaintBox.h"
#include "app/SceneView.h"
#include "scene/kinds/Pbox.h"
#include "scene/kinds/VlxStencil.h"

using namespace quenlo;
using quenlo::test::TempDir;
using quenlo::test::WriteText;

namespace {

void CtrlWheel(QWidget* target, int delta) {
    QWheelEvent e(QPointF(5, 5), target->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, delta), Qt::NoButton,
                  Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &e);
}

TEST(SceneView, ZoomHoverAndReload) {
    TempDir dir;
    const std::string script = dir / "demo.scene";
    WriteText(script, "VlxImg size(40,30)\n{\n  Vlx2 size(20,10);pos(5,5)\n}\n");
    TSceneView w(script, false, 0xFFFFFF, ReadSceneFile(script, false));
    w.show();
    EXPECT_TRUE(w.windowTitle().contains(QStringLiteral("demo.scene"))) << w.windowTitle().toStdString();
    EXPECT_EQ(w.PaintBox()->size(), QSize(40, 30));

    QTest::keyClick(&w, Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_EQ(w.Zoom(), 150);
    EXPECT_EQ(w.PaintBox()->size(), QSize(60, 45));
    QTest::keyClick(&w, Qt::Key_Plus, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.Zoom(), 200);
    QTest::keyClick(&w, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(w.Zoom(), 150);
    QTest::keyClick(&w, Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(w.Zoom(), 100);
    CtrlWheel(w.PaintBox(), 120);  // passes up to the scroll area's viewport
    EXPECT_EQ(w.Zoom(), 150);
    CtrlWheel(w.PaintBox(), -60);
    CtrlWheel(w.PaintBox(), -60);  // two half notches make one
    EXPECT_EQ(w.Zoom(), 100);
    EXPECT_TRUE(w.windowTitle().contains(QStringLiteral("100%")));

    // The pointer reaches the nodes: the panel shows its checkerboard.
    auto* panel = dynamic_cast<TVlx2*>(w.Root()->FirstChild());
    ASSERT_NE(panel, nullptr);
    QTest::mouseMove(w.PaintBox(), QPoint(10, 8));
    EXPECT_TRUE(panel->Hovered);

    // F5 reads the script again; a broken script keeps the scene shown.
    WriteText(script, "VlxImg size(50,20)\n");
    QTest::keyClick(&w, Qt::Key_F5);
    EXPECT_TRUE(w.FinishReload());  // read on a worker
    EXPECT_EQ(w.Root()->Width, 50);
    EXPECT_EQ(w.PaintBox()->size(), QSize(50, 20));
    EXPECT_EQ(w.View()->Root(), w.Root());
    WriteText(script, "VlxImg size(10,10)\n{\nVlxMat opq(x)\n");
    QTest::keyClick(&w, Qt::Key_R, Qt::ControlModifier);
    EXPECT_FALSE(w.FinishReload());
    EXPECT_EQ(w.Root()->Width, 50);
    EXPECT_TRUE(w.StatusText().contains(QStringLiteral("demo.scene:3:"))) << w.StatusText().toStdString();
    QTest::mouseMove(w.PaintBox(), QPoint(3, 3));  // the new tree answers, nothing of the old one is touched
    // An empty root, as shown while a reload that did not fit beside the old tree reads again.
    WriteText(script, "// nothing yet\n");
    QTest::keyClick(&w, Qt::Key_F5);
    EXPECT_TRUE(w.FinishReload());
    EXPECT_EQ(w.Root()->Width, 0);
    QTest::mouseMove(w.PaintBox(), QPoint(1, 1));
}

}  // namespace
