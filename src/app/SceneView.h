#pragma once
// The window of "quenlo-scene view": a scene script shown through the
// paint-box view, with zoom, reload and the nodes' own pointer behaviour
// (panels hover and drag, sliders fade and move their parent, image
// nodes take paint).
#include <QMainWindow>
#include <QString>
#include <memory>
#include <string>

#include "scene/script/SceneRead.h"

class QLabel;
class QScrollArea;

namespace quenlo {

class TPbox;
class TQtPaintBox;
class TZoomControl;

class TSceneView : public QMainWindow {
    Q_OBJECT
public:
    // Shows scene, read from scriptPath, which F5 reads again.
    TSceneView(std::string scriptPath, bool strict, TColor background, TScene scene,
               QWidget* parent = nullptr);
    ~TSceneView() override;

    // Starts reading the script again on a worker thread, so the window
    // stays live; the scene shown stays until the new one is read, then the
    // two swap. On an error the scene shown stays and the status bar says
    // what went wrong. False when a reload is already running.
    bool Reload();
    // Waits for the running reload, if any, and shows its result; true when
    // a new scene is shown.
    bool FinishReload();
    bool Reloading() const { return reload_ != nullptr; }
    // The work budget F5 reads with, as the command line gave it.
    void SetMaxWork(int64_t maxWork) { maxWork_ = maxWork; }
    TZoomControl& Zoomer() const { return *zoom_; }
    int Zoom() const;

    TPbox* View() const { return view_.get(); }
    TQtPaintBox* PaintBox() const { return paintBox_; }
    TVlxImg* Root() const { return scene_.Root.get(); }
    QString StatusText() const;

protected:
    // Ctrl+plus, Ctrl+minus, Ctrl+0, Ctrl+9 zoom (TZoomControl); F5 and Ctrl+R reload.
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct TReload;
    // afterFreeing: the shown scene was let go because both did not fit.
    void StartReload(bool afterFreeing);
    bool ApplyReload();
    void Show(TScene scene);
    void UpdateTitle();
    void SetStatus(const QString& text);

    std::string scriptPath_;
    bool strict_;
    int64_t maxWork_ = kDefaultMaxWork;
    TScene scene_;
    QScrollArea* scroll_;
    TQtPaintBox* paintBox_;
    QLabel* status_;
    std::unique_ptr<TPbox> view_;
    TZoomControl* zoom_;  // owned by scroll_
    std::unique_ptr<TReload> reload_;  // the read in progress
    uint64_t reloads_ = 0;             // reads started, to tell a stale notice
};

}  // namespace quenlo
