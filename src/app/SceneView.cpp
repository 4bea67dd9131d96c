#include "app/SceneView.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <cstdio>

#include "app/QtPaintBox.h"
#include "scene/kinds/Pbox.h"

namespace quenlo {

namespace {
QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// The paint box keeps an offscreen image of its own size.
constexpr int64_t kMaxControlSide = 32767;
constexpr int64_t kMaxControlPixels = int64_t(1) << 26;

void PrintWarnings(const TScene& scene) {
    for (const TScriptWarning& w : scene.Warnings)
        std::fprintf(stderr, "quenlo-scene: %s:%d: warning: %s\n", scene.Name.c_str(), w.Line, w.Text.c_str());
}
}  // namespace

const int TSceneView::kZoomSteps[] = {10, 25, 33, 50, 67, 100, 150, 200, 300, 400, 600, 800, 1200, 1600};
const int TSceneView::kZoomStepCount = int(std::size(kZoomSteps));

TSceneView::TSceneView(std::string scriptPath, bool strict, TColor background, TScene scene, QWidget* parent)
    : QMainWindow(parent), scriptPath_(std::move(scriptPath)), strict_(strict) {
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(false);
    scroll_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    paintBox_ = new TQtPaintBox();
    scroll_->setWidget(paintBox_);
    // The paint box under the pointer sees the wheel first, the viewport
    // around it when the scene is smaller than the window.
    scroll_->viewport()->installEventFilter(this);
    paintBox_->installEventFilter(this);
    setCentralWidget(scroll_);

    status_ = new QLabel(this);
    statusBar()->addWidget(status_, 1);
    paintBox_->OnError = [this](const QString& message) {
        // Not inside the event that failed.
        QTimer::singleShot(0, this, [this, message] { SetStatus(message); });
    };

    view_ = std::make_unique<TPbox>(paintBox_);
    view_->Background = background;
    view_->SetZoom(100);
    Show(std::move(scene));

    const QSize want = paintBox_->size() + QSize(4, 4 + statusBar()->sizeHint().height());
    QSize room(1024, 768);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) room = screen->availableSize() * 9 / 10;
    resize(want.expandedTo(QSize(480, 320)).boundedTo(room));
}

TSceneView::~TSceneView() {
    // The tree goes first; it detaches itself from the view.
    scene_.Root.reset();
    view_.reset();
}

void TSceneView::Show(TScene scene) {
    // A capture or hover on the old tree must not outlive it.
    view_->Msg.Captured = nullptr;
    view_->SetRoot(scene.Root.get());
    scene_ = std::move(scene);  // the old tree goes now, after the view let go
    SetZoomPercent(Zoom());     // the largest step may differ for the new size
    const QString kind = QStringLiteral("%1 x %2, %3 node(s)")
                             .arg(scene_.Root->Width)
                             .arg(scene_.Root->Height)
                             .arg(scene_.NodeCount);
    QString text = kind + QStringLiteral(" · Ctrl+wheel, Ctrl +/-/0 zoom · F5 reloads");
    if (!scene_.Warnings.empty())
        text = QStringLiteral("%1 warning(s) on stderr · ").arg(scene_.Warnings.size()) + text;
    SetStatus(text);
}

bool TSceneView::Reload() {
    TScene next;
    try {
        next = ReadSceneFile(scriptPath_, strict_);
    } catch (const std::exception& e) {
        SetStatus(QStringLiteral("Not reloaded: ") + FromUtf8(e.what()));
        return false;
    }
    PrintWarnings(next);
    Show(std::move(next));
    return true;
}

int TSceneView::Zoom() const { return view_->GetZoom(); }

int TSceneView::MaxZoom() const {
    const int64_t w = scene_.Root ? std::max(scene_.Root->Width, 0) : 0;
    const int64_t h = scene_.Root ? std::max(scene_.Root->Height, 0) : 0;
    int best = kZoomSteps[0];
    for (int z : kZoomSteps) {
        const int64_t cw = w * z / 100, ch = h * z / 100;
        if (cw <= kMaxControlSide && ch <= kMaxControlSide && cw * ch <= kMaxControlPixels) best = z;
    }
    return best;
}

void TSceneView::SetZoomPercent(int percent) {
    percent = std::clamp(percent, kZoomSteps[0], MaxZoom());
    view_->SetZoom(percent);
    view_->RepaintAll();
    UpdateTitle();
}

void TSceneView::ZoomIn() {
    const int z = Zoom();
    for (int step : kZoomSteps)
        if (step > z) return SetZoomPercent(step);
}

void TSceneView::ZoomOut() {
    const int z = Zoom();
    for (int i = kZoomStepCount - 1; i >= 0; --i)
        if (kZoomSteps[i] < z) return SetZoomPercent(kZoomSteps[i]);
}

QString TSceneView::StatusText() const { return status_->text(); }

void TSceneView::SetStatus(const QString& text) { status_->setText(text); }

void TSceneView::UpdateTitle() {
    setWindowTitle(QStringLiteral("%1 (%2%) – quenlo-scene")
                       .arg(QFileInfo(FromUtf8(scriptPath_)).fileName())
                       .arg(Zoom()));
}

bool TSceneView::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == scroll_->viewport() || watched == paintBox_) && event->type() == QEvent::Wheel) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (wheel->modifiers() & Qt::ControlModifier) {
            // Whole notches of 120; touchpads send smaller parts.
            wheelRest_ += wheel->angleDelta().y();
            for (; wheelRest_ >= 120; wheelRest_ -= 120) ZoomIn();
            for (; wheelRest_ <= -120; wheelRest_ += 120) ZoomOut();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TSceneView::keyPressEvent(QKeyEvent* event) {
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    switch (event->key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:  // plus without Shift on many layouts
            if (ctrl) return ZoomIn();
            break;
        case Qt::Key_Minus:
            if (ctrl) return ZoomOut();
            break;
        case Qt::Key_0:
            if (ctrl) return SetZoomPercent(100);
            break;
        case Qt::Key_R:
            if (ctrl) {
                Reload();
                return;
            }
            break;
        case Qt::Key_F5:
            Reload();
            return;
        default:
            break;
    }
    QMainWindow::keyPressEvent(event);
}

}  // namespace quenlo
