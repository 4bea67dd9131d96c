#pragma once
// The conversion window: pick images, watch each one in the preview, and
// find them written as 24-bit .bmp files in the output folder.
#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "app/Dialogs.h"
#include "batch/BatchPlan.h"
#include "batch/BatchRun.h"
#include "scene/Velora.h"

class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStatusBar;

namespace quenlo {

class TPbox;
class TQtPaintBox;
class TVlxImg;
class TZoomControl;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // dialogs must outlive the window.
    explicit TForm1(IDialogs& dialogs, QWidget* parent = nullptr);
    ~TForm1() override;

    // "..." : choose the output folder.
    void Button1Click();
    // "Select Targets": choose images and convert them.
    void Button3Click();
    // The batch, for chosen or dropped files; a folder stands for the image
    // files below it, mirrored below the output folder. Events run between
    // files; while it runs the batch cannot be started again. Throws on an
    // output folder or load error.
    void ConvertFiles(const QStringList& files);
    // Esc and the Cancel button: the batch stops after the file in hand.
    void CancelBatch();
    bool BatchRunning() const { return running_; }
    // Files settled in the batch that runs or ran last.
    int FilesDone() const { return filesDone_; }
    // The least time between two drawings of the status text, the progress
    // and the preview during a batch, in ms; 0 draws them for every file.
    int FrameMs = 40;
    // The batch from the event loop, with errors shown in the error box.
    void ConvertFilesLater(const QStringList& files);

    TVlxImg* ImageNode() const { return imageNode_.get(); }
    TPbox* Preview() const { return preview_.get(); }
    QString StatusText() const;
    TZoomControl& Zoomer() const { return *zoom_; }

    QStatusBar* StatusBar1;
    QFrame* Panel1;
    QPushButton* Button3;
    QLabel* Label1;
    QLineEdit* Edit1;
    QPushButton* Button1;
    QScrollArea* ScrollBox1;
    TQtPaintBox* PaintBox1;
    QProgressBar* BatchProgress;  // "N / M", shown during a batch
    QPushButton* CancelButton;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Esc cancels a batch; Ctrl+plus, Ctrl+minus, Ctrl+0, Ctrl+9 zoom.
    void keyPressEvent(QKeyEvent* event) override;
    // Mid-batch: stops after the file in hand, then closes.
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void FormCreate();
    void FormDestroy();
    void LayoutPanel();
    void SetStatus(const QString& text);
    // Controls that would start another batch, off while one runs.
    void SetBatchRunning(bool running);
    // Runs a handler; an error leaving it is shown in the error box.
    template <class F>
    void Guarded(F&& f);
    // The batch of files and folders; what a folder walk skips goes into leftOut.
    TBatchPlan PlanFiles(const QStringList& files, QStringList& leftOut) const;
    // Loads each file into the preview and saves it from there.
    LoadStep PreviewLoader();
    // After a batch: the status text and preview of its last file, drawn
    // whatever the frame limit skipped.
    void ShowLastFile();

    IDialogs& dialogs_;
    QLabel* status_;
    TVeloraPtr<TVlxImg> imageNode_;
    std::unique_ptr<TPbox> preview_;
    TZoomControl* zoom_ = nullptr;  // owned by ScrollBox1
    // Whether FrameMs have passed since frame was last due; restarts it then.
    bool Due(QElapsedTimer& frame) const;
    QElapsedTimer statusFrame_, progressFrame_;  // since each was last drawn in a batch
    QString batchStatus_;                        // the status text last set in a batch
    int filesDone_ = 0;
    bool running_ = false;
    bool cancelRequested_ = false;
    bool closeRequested_ = false;
};

}  // namespace quenlo
