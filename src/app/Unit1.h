#pragma once
// The conversion window: pick images, watch each one in the preview, and
// find them written as 24-bit .bmp files (or PNG, TIFF) in the output folder.
#include <QElapsedTimer>
#include <QSize>
#include <QMainWindow>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Dialogs.h"
#include "app/Presets.h"
#include "app/ResultsPanel.h"
#include "app/WindowSettings.h"
#include "batch/BatchPlan.h"
#include "batch/BatchRun.h"
#include "batch/ItemLoader.h"
#include "scene/Velora.h"

class QCheckBox;
class QComboBox;
class QSpinBox;
class QToolButton;
class QDockWidget;
class QFrame;
class QLabel;
class QSettings;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStatusBar;
class QTimer;

namespace quenlo {

class TKeptImages;
class TPbox;
class TPixelMap;
class TQtPaintBox;
class TVlxImg;
class TWatchRun;
class TZoomControl;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // dialogs, and settings when given, must outlive the window. Choices
    // are read from settings here and written back as they change and on close.
    explicit TForm1(IDialogs& dialogs, QSettings* settings = nullptr, QWidget* parent = nullptr);
    ~TForm1() override;

    // "..." : choose the output folder.
    void Button1Click();
    // "Select Targets": choose images and convert them.
    void Button3Click();
    // "Add folder...": choose a folder and convert the images below it, as a drop does.
    void AddFolderClick();
    // "Retry failed": the files of the last batch that failed or were not
    // reached, converted again with the choices now made, to the same places.
    void RetryFailed();
    // "Save log...": the last batch's report, as quenlo-convert --report
    // writes it. SaveLog throws EQuenlo when it cannot be written.
    void SaveLogClick();
    void SaveLog(const QString& fileName);
    // Presets: the output choices saved under a name asked for, or applied
    // when picked from the box; exported to and imported from a JSON file
    // (a bad file is refused with a message, the presets kept).
    void SavePresetClick();
    void DeletePresetClick();
    void PickPreset(int index);
    void ExportPresetsClick();
    void ImportPresetsClick();
    const std::vector<TPreset>& Presets() const { return presets_; }
    // The batch, for chosen or dropped files; a folder stands for the image
    // files below it, mirrored below the output folder. Files load on Jobs
    // threads and are put in place, and shown, in input order. Events run
    // between files; while it runs the batch cannot be started again. Throws
    // on an output folder error, and on a load error unless "Keep going" is
    // checked; either way the results panel then tells what happened.
    void ConvertFiles(const QStringList& files);
    // Esc and the Cancel button: the batch stops after the file in hand,
    // or the watch does.
    void CancelBatch();
    bool BatchRunning() const { return running_; }
    // "Watch folder" switched on: asks for the folder to watch; off: StopWatch.
    void WatchButtonClick(bool checked);
    // Converts what is and what comes into dir, into the output folder, as
    // quenlo-convert --watch does, with the batch's choices. Without an
    // output folder, or with dir as the output folder, says so in the
    // status line instead. The watch runs on a thread of its own.
    void StartWatch(const QString& dir);
    // Stops the watch after the file in hand and waits for it; the window
    // is then as after a batch.
    void StopWatch();
    bool Watching() const { return watch_ != nullptr; }
    // How long a watched file must stay unchanged before it is taken, in ms.
    int SettleMs = 1000;
    // Files settled in the batch that runs or ran last.
    int FilesDone() const { return filesDone_; }
    // What the last batch did; the panel keeps its list.
    const BatchCounts& LastCounts() const { return counts_; }
    TResultsPanel* Results;
    // Files loaded at once; the number of cores unless set.
    int Jobs = 1;
    // The least time between two drawings of the status text and the
    // progress during a batch, in ms; 0 draws them for every file.
    int FrameMs = 40;
    // The same for the preview, which may have to read the image again:
    // drawn more often, it slowed a batch of small images by a quarter.
    int PreviewFrameMs = 100;
    // The batch from the event loop, with errors shown in the error box.
    void ConvertFilesLater(const QStringList& files);

    TVlxImg* ImageNode() const { return imageNode_.get(); }
    TPbox* Preview() const { return preview_.get(); }
    QString StatusText() const;
    TZoomControl& Zoomer() const { return *zoom_; }

    // The choices a user expects to find again.
    TWindowSettings CurrentSettings() const;
    void ApplySettings(const TWindowSettings& s);
    // Of those, the ones a preset holds: how files are named and written.
    void ApplyOutputChoices(const TWindowSettings& s);
    // What the resize box asks for, nothing when it is empty; throws
    // EQuenlo for text that is no size.
    std::optional<ResizeRequest> ResizeChoice() const;
    // The output folder for this run: until it is changed it is not
    // remembered, and the one remembered before stays.
    void SetOutputDirForRun(const QString& dir);
    // Writes CurrentSettings to the settings given, if any.
    void SaveSettings();
    // Of the quality, PNG level and TIFF compression boxes, only the output format's own is shown.
    void ShowQuality();
    // The frame, title bar included, within the screen's available area,
    // moved and shrunk as needed.
    void FitOnScreen();
    // The same within room, in the screen's device-independent pixels.
    void FitWithin(const QRect& room);

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
    // The second row: choices for the batch, and the zoom shown.
    QFrame* OptionsRow;
    QCheckBox* KeepGoingBox;
    QCheckBox* SkipExistingBox;  // not shown: IfExistsBox's "skip", as --skip-existing is --if-exists skip
    QComboBox* IfExistsBox;      // replace, skip, number: ExistingOutput's order
    QLineEdit* NameBox;          // the name pattern; empty: {name}
    QCheckBox* ReplaceOriginalsBox;
    QLineEdit* ResizeBox;  // empty (full size), a long side in pixels, or a geometry
    QComboBox* FilterBox;  // the resize filter; each item's data is its name
    QComboBox* FormatBox;  // BMP, PNG, TIFF, JPEG, WebP: the OutputFormat's order
    QSpinBox* QualityBox;  // JPEG and WebP only
    QSpinBox* PngLevelBox;  // PNG only
    QComboBox* TiffBox;     // TIFF compression; each item's data is its name
    QCheckBox* UprightBox;     // --auto-orient
    QLineEdit* BackgroundBox;  // --background; empty keeps alpha
    QPushButton* WatchButton;  // "Watch folder", checked while watching
    QPushButton* AddFolderButton;
    QComboBox* PresetBox;       // the presets by name; picking one applies it
    QToolButton* PresetsButton;  // its menu saves, deletes, exports and imports
    QLabel* ZoomLabel;
    QDockWidget* ResultsDock;
    QLabel* EmptyHint;  // over the empty preview

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Esc cancels a batch; Ctrl+plus, Ctrl+minus, Ctrl+0, Ctrl+9 zoom.
    void keyPressEvent(QKeyEvent* event) override;
    // Mid-batch: stops after the file in hand, then closes.
    void closeEvent(QCloseEvent* event) override;
    // Fits the window again once the window manager has framed it.
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildControls();
    void FormCreate();
    void FormDestroy();
    void LayoutPanel();
    void SetStatus(const QString& text);
    // Controls that would start another batch, off while one runs.
    void SetBatchRunning(bool running);
    // Those controls and the ones that change the choices, off during a batch or a watch.
    void SetBusy(bool busy);
    // The window's choices for the plan, the loader and the runner. The
    // loader keeps in kept what it decodes whole, for the preview.
    PlanOptions PlanChoices() const;
    ItemLoaderOptions LoaderChoices(const std::shared_ptr<TKeptImages>& kept) const;
    BatchOptions BatchChoices() const;
    // A file settled in a batch or a watch: counted, and its status text
    // kept. False for one not reached, listed in the results instead.
    bool FileSettled(const std::string& input, const ItemReport& report);
    // The results panel, sized the first time it is shown.
    void ShowResults();
    // The watch's events, on this thread.
    void WatchedFileShown(TKeptImages& kept);
    void WatchedFileSettled(const std::string& input, const ItemReport& report);
    void WatchLine(const QString& line);
    void WatchEnded(const QString& error);
    // Runs a handler; an error leaving it is shown in the error box.
    template <class F>
    void Guarded(F&& f);
    // What a folder walk left out: the name, and why.
    using LeftOut = std::vector<std::pair<std::string, std::string>>;
    // The batch of files and folders; what a folder walk skips goes into leftOut.
    TBatchPlan PlanFiles(const QStringList& files, LeftOut& leftOut, int& unreadable) const;
    // Runs a planned batch as ConvertFiles says.
    void RunPlan(const TBatchPlan& plan, const LeftOut& leftOut, int unreadable);
    void ShowPresets();
    void StorePresets();
    // On this thread: the image just put in place becomes the preview's
    // when the preview is drawn. Without a map it is read from input then.
    void ShowInPreview(std::shared_ptr<const TPixelMap> map, const std::string& input);
    void ShowZoom();
    // After a batch: the status text and preview of its last file, drawn
    // whatever the frame limit skipped.
    void ShowLastFile();
    // The image put in place last but not shown, if any.
    void ShowDuePreview();

    IDialogs& dialogs_;
    QSettings* settings_;
    int inputFilter_ = 2;  // "Image files"
    QString inputDir_;
    BatchCounts counts_;
    // The last batch as its report tells it.
    struct BatchLog {
        std::vector<std::pair<BatchItem, ItemReport>> items;
        LeftOut leftOut;
        BatchResult result;
        double seconds = 0;
    };
    std::optional<BatchLog> log_;
    bool retryable_ = false;  // the last batch has files that failed or were not reached
    std::vector<TPreset> presets_;
    QWidget* choices_;  // the rows of choices, in optionsScroll_
    QLabel* status_;
    TVeloraPtr<TVlxImg> imageNode_;
    std::unique_ptr<TPbox> preview_;
    TZoomControl* zoom_ = nullptr;  // owned by ScrollBox1
    // Whether ms have passed since frame was last due; restarts it then.
    static bool Due(QElapsedTimer& frame, int ms);
    QElapsedTimer statusFrame_, progressFrame_, previewFrame_;  // since each was last drawn in a batch
    QString batchStatus_;                        // the status text last set in a batch
    QSize shownSize_;                            // of the last image put in place, in pixels
    std::string previewDue_;                     // put in place but not yet shown; "" for none
    std::shared_ptr<const TPixelMap> previewDueMap_;  // its image when the loader kept it
    int filesDone_ = 0;
    bool running_ = false;
    bool cancelRequested_ = false;
    bool closeRequested_ = false;
    std::unique_ptr<TWatchRun> watch_;  // while watching
    std::thread watchThread_;           // runs watch_
    BatchCounts watchCounts_;           // of the watch so far
    QString watchDir_, watchError_;
    QTimer* previewTimer_;
    QScrollArea* optionsScroll_;  // holds choices_
    bool frameUnknown_ = false;
    std::optional<QString> runOutputDir_;  // given for this run only
    QString keptOutputDir_;                // remembered from before it  // fitted on screen before the window manager framed it  // shows a watched image the frame limit held back
};

}  // namespace quenlo
