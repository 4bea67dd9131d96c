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
#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <thread>

#include "app/QtPaintBox.h"
#include "app/QtText.h"
#include "app/ZoomControl.h"
#include "scene/kinds/Pbox.h"

namespace quenlo {

// A read of the script on its own thread; the window takes the result once
// the worker is done.
struct TSceneView::TReload {
    uint64_t Serial = 0;
    bool AfterFreeing = false;
    std::thread Worker;
    std::optional<TScene> Scene;
    std::string Error;
    bool OutOfMemory = false;
};

namespace {
QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

void PrintWarnings(const TScene& scene) {
    for (const TScriptWarning& w : scene.Warnings)
        std::fprintf(stderr, "quenlo-scene: %s: warning: %s\n", ScriptPlace(scene.Name, w.Line).c_str(), w.Text.c_str());
}
}  // namespace

TSceneView::TSceneView(std::string scriptPath, bool strict, TColor background, TScene scene, QWidget* parent)
    : QMainWindow(parent), scriptPath_(std::move(scriptPath)), strict_(strict) {
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(false);
    scroll_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    paintBox_ = new TQtPaintBox();
    scroll_->setWidget(paintBox_);
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
    zoom_ = new TZoomControl(
        *view_, *scroll_,
        [this] { return scene_.Root ? QSize(scene_.Root->Width, scene_.Root->Height) : QSize(); },
        [this] { UpdateTitle(); });
    Show(std::move(scene));

    const QSize want = paintBox_->size() + QSize(4, 4 + statusBar()->sizeHint().height());
    QSize room(1024, 768);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) room = screen->availableSize() * 9 / 10;
    resize(want.expandedTo(QSize(480, 320)).boundedTo(room));
}

TSceneView::~TSceneView() {
    if (reload_) reload_->Worker.join();  // it writes into reload_
    // The tree goes first; it detaches itself from the view.
    scene_.Root.reset();
    view_.reset();
}

void TSceneView::Show(TScene scene) {
    // A capture or hover on the old tree must not outlive it.
    view_->Msg.Captured = nullptr;
    view_->SetRoot(scene.Root.get());
    scene_ = std::move(scene);  // the old tree goes now, after the view let go
    zoom_->SetPercent(Zoom());  // the largest step may differ for the new size
    const QString kind = QTr("%1 x %2, %3 node(s)")
                             .arg(scene_.Root->Width)
                             .arg(scene_.Root->Height)
                             .arg(scene_.NodeCount);
    QString text = kind + QTr(" · Ctrl+wheel, Ctrl +/-/0/9 zoom · F5 reloads");
    if (!scene_.Warnings.empty())
        text = QTr("%1 warning(s) on stderr · ").arg(scene_.Warnings.size()) + text;
    SetStatus(text);
}

bool TSceneView::Reload() {
    if (reload_) return false;
    StartReload(false);
    return true;
}

void TSceneView::StartReload(bool afterFreeing) {
    reload_ = std::make_unique<TReload>();
    TReload* r = reload_.get();
    r->Serial = ++reloads_;
    r->AfterFreeing = afterFreeing;
    SetStatus(QTr("Reading %1 again…").arg(FromUtf8(scriptPath_)));
    TSceneReadOptions options;
    options.Strict = strict_;
    options.MaxWork = maxWork_;
    r->Worker = std::thread([this, r, serial = r->Serial, path = scriptPath_, options] {
        try {
            r->Scene = ReadSceneFile(path, options);
        } catch (const EScriptError& e) {
            r->Error = e.what();
            r->OutOfMemory = e.Reason() == "out of memory";
        } catch (const std::bad_alloc& e) {
            r->Error = e.what();
            r->OutOfMemory = true;
        } catch (const std::exception& e) {
            r->Error = e.what();
        }
        // Queued to the window's thread; dropped if the window is gone.
        QMetaObject::invokeMethod(
            this, [this, serial] {
                if (reload_ && reload_->Serial == serial) ApplyReload();
            },
            Qt::QueuedConnection);
    });
}

bool TSceneView::FinishReload() { return reload_ && ApplyReload(); }

bool TSceneView::ApplyReload() {
    const std::unique_ptr<TReload> r = std::move(reload_);
    r->Worker.join();
    if (!r->Scene && r->OutOfMemory && !r->AfterFreeing) {
        // The new tree did not fit beside the old one: let the old one go
        // (an empty picture shows meanwhile) and read once more.
        TScene empty;
        empty.Name = scene_.Name;
        empty.Root.reset(MakeVelora<TVlxImg>().release());
        Show(std::move(empty));
        StartReload(true);
        return false;
    }
    if (!r->Scene) {
        SetStatus(QTr("Not reloaded: %1").arg(FromUtf8(r->Error)));
        return false;
    }
    PrintWarnings(*r->Scene);
    Show(std::move(*r->Scene));  // the old tree goes once the view has let go of it
    return true;
}

int TSceneView::Zoom() const { return zoom_->Percent(); }

QString TSceneView::StatusText() const { return status_->text(); }

void TSceneView::SetStatus(const QString& text) { status_->setText(text); }

void TSceneView::UpdateTitle() {
    setWindowTitle(QTr("%1 (%2%) – quenlo-scene")
                       .arg(QFileInfo(FromUtf8(scriptPath_)).fileName())
                       .arg(Zoom()));
}

void TSceneView::keyPressEvent(QKeyEvent* event) {
    if (zoom_->HandleKey(*event)) return;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    switch (event->key()) {
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
