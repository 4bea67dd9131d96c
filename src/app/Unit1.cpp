#include "app/Unit1.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "app/QtPaintBox.h"
#include "app/ZoomControl.h"
#include "batch/BatchInputs.h"
#include "imageio/AtomicFile.h"
#include "imageio/FileIo.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"
#include "scene/kinds/Pbox.h"
#include "scene/kinds/VlxImg.h"

namespace quenlo {

namespace {
// Places at 96 dpi, as designed for a 503-pixel-wide client area.
constexpr int kDesignClientWidth = 503;
constexpr int kEditRightMargin = kDesignClientWidth - (208 + 257);
constexpr int kButton1RightMargin = kDesignClientWidth - (472 + 25);

std::string Utf8(const QString& s) { return s.toUtf8().toStdString(); }
QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
}  // namespace

TForm1::TForm1(IDialogs& dialogs, QWidget* parent) : QMainWindow(parent), dialogs_(dialogs) {
    BuildControls();
    FormCreate();
}

TForm1::~TForm1() { FormDestroy(); }

void TForm1::BuildControls() {
    setWindowTitle(QStringLiteral("QUENLO "));
    QFont font = this->font();
    for (const char* family : {"Noto Sans CJK JP", "Noto Sans JP"}) {
        if (QFontDatabase::families().contains(QString::fromLatin1(family))) {
            font.setFamily(QString::fromLatin1(family));
            break;
        }
    }
    font.setPixelSize(12);
    setFont(font);
    setAcceptDrops(true);

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    ScrollBox1 = new QScrollArea(central);
    ScrollBox1->setWidgetResizable(false);
    ScrollBox1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    PaintBox1 = new TQtPaintBox();
    ScrollBox1->setWidget(PaintBox1);
    PaintBox1->SetControlWidth(189);
    PaintBox1->SetControlHeight(185);
    column->addWidget(ScrollBox1, 1);

    Panel1 = new QFrame(central);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setFixedHeight(39);
    Panel1->installEventFilter(this);
    column->addWidget(Panel1);

    Button3 = new QPushButton(QStringLiteral("Select Targets"), Panel1);
    Button3->setGeometry(8, 6, 121, 29);
    Label1 = new QLabel(QStringLiteral("output dir"), Panel1);
    Label1->move(148, 8);
    Label1->adjustSize();
    Edit1 = new QLineEdit(Panel1);
    Edit1->setGeometry(208, 8, 257, 20);
    Button1 = new QPushButton(QStringLiteral("..."), Panel1);
    Button1->setGeometry(472, 8, 25, 21);
    setTabOrder(Button3, Edit1);
    setTabOrder(Edit1, Button1);
    setCentralWidget(central);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(19);
    status_ = new QLabel(QStringLiteral("---"), StatusBar1);
    StatusBar1->addWidget(status_, 1);
    BatchProgress = new QProgressBar(StatusBar1);
    BatchProgress->setFormat(QStringLiteral("%v / %m"));
    BatchProgress->setMaximumWidth(160);
    BatchProgress->hide();
    StatusBar1->addPermanentWidget(BatchProgress);
    CancelButton = new QPushButton(QStringLiteral("Cancel"), StatusBar1);
    CancelButton->hide();
    StatusBar1->addPermanentWidget(CancelButton);
    setStatusBar(StatusBar1);

    move(263, 83);
    resize(519, 613);

    connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelBatch(); });
    PaintBox1->OnError = [this](const QString& message) {
        // Not inside the event that failed: the box runs its own loop.
        QTimer::singleShot(0, this, [this, message] { dialogs_.ShowError(this, ErrorBoxText(message)); });
    };
}

void TForm1::FormCreate() {
    imageNode_ = MakeVelora<TVlxImg>();
    // Names no statement of any kind, so the node stays 0 x 0 and invisible.
    imageNode_->RunStatements("root 400 400 0 0 255 255 255 255");
    preview_ = std::make_unique<TPbox>(PaintBox1);
    preview_->SetRoot(imageNode_.get());
    preview_->AdoptRootSize();
    preview_->SetZoom(100);  // 100 / 100: scale 1 : 1
    zoom_ = new TZoomControl(*preview_, *ScrollBox1, [this] { return QSize(imageNode_->Width, imageNode_->Height); });
}

void TForm1::FormDestroy() {
    imageNode_.reset();  // detaches it from the view first
    preview_.reset();
}

template <class F>
void TForm1::Guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        dialogs_.ShowError(this, ErrorBoxText(FromUtf8(e.what())));
    } catch (...) {
        dialogs_.ShowError(this, ErrorBoxText(QStringLiteral("unknown error")));
    }
}

void TForm1::LayoutPanel() {
    const int w = Panel1->width();
    Edit1->setGeometry(208, 8, std::max(20, w - 208 - kEditRightMargin), 20);
    Button1->move(w - kButton1RightMargin - 25, 8);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel1 && event->type() == QEvent::Resize) LayoutPanel();
    return QMainWindow::eventFilter(watched, event);
}

QString TForm1::StatusText() const { return status_->text(); }

void TForm1::SetStatus(const QString& text) {
    status_->setText(text);
    status_->repaint();  // shown before the file loads, however long that takes
}

void TForm1::SetBatchRunning(bool running) {
    running_ = running;
    Button3->setEnabled(!running);
    Button1->setEnabled(!running);
    setAcceptDrops(!running);
    BatchProgress->setVisible(running);
    CancelButton->setVisible(running);
}

bool TForm1::Due(QElapsedTimer& frame) const {
    if (frame.isValid() && frame.elapsed() < FrameMs) return false;
    frame.start();
    return true;
}

void TForm1::CancelBatch() {
    if (running_) cancelRequested_ = true;
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && running_) return CancelBatch();
    if (zoom_->HandleKey(*event)) return;
    QMainWindow::keyPressEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!running_) return QMainWindow::closeEvent(event);
    // The batch is on the stack below this event: it must unwind first.
    cancelRequested_ = closeRequested_ = true;
    event->ignore();
}

void TForm1::Button1Click() {
    const std::optional<QString> chosen = dialogs_.ChooseFolder(this);
    if (!chosen) return;
    Edit1->setText(*chosen);
    std::string dir = Utf8(*chosen);
    PrepareOutputDir(dir);
}

void TForm1::Button3Click() {
    OpenFilesRequest request;
    request.filters = {QStringLiteral("RGB files (*.rgb)"), QStringLiteral("IPR files (*.ipr)"),
                       QStringLiteral("Image files (*.rgb *.ipr *.bmp *.jpg *.jpeg)")};
    request.selectedFilter = 0;
    const std::optional<QStringList> files = dialogs_.OpenFiles(this, request);
    if (!files) return;
    ConvertFiles(*files);
}

TBatchPlan TForm1::PlanFiles(const QStringList& files, QStringList& leftOut) const {
    FeedOptions feedOptions;
    feedOptions.recurse = Recurse::On;
    feedOptions.onSkipped = [&](const std::string& name, const std::string& why) {
        leftOut << FromUtf8(name) + QStringLiteral(": ") + FromUtf8(why);
    };
    TInputFeed feed(feedOptions);
    std::vector<std::string> inputs;
    for (const QString& file : files) inputs.push_back(Utf8(file));
    feed.AddNames(std::move(inputs));
    PlanOptions planOptions;
    planOptions.outputDir = Utf8(Edit1->text());
    // The folder is read once for the whole batch.
    return PlanBatch(feed.Source(), planOptions);
}

LoadStep TForm1::PreviewLoader() {
    return [this](const BatchItem& item, ItemNotes&) -> SaveStep {
        // Faster than the eye can follow, the status text and the preview are
        // drawn at most once a FrameMs; the batch's last file always is.
        const bool draw = Due(statusFrame_);
        // The size shown is that of the image before this one.
        batchStatus_ = FromUtf8(item.input) + QStringLiteral("  ") + QString::number(imageNode_->Width) +
                       QLatin1Char(',') + QString::number(imageNode_->Height);
        if (draw) SetStatus(batchStatus_);
        // A vanished file would otherwise save the previous image under its name.
        if (!FileExists(item.input)) throw EInOutError(2);
        imageNode_->LoadFile(item.input);
        preview_->AdoptRootSize();
        if (draw) preview_->RepaintAll();
        return [this, &item]() -> CommitStep {
            const TPixelMap* map = imageNode_->Map.get();
            std::string why = map ? NothingToSave(item.input, map->Width(), map->Height()) : "nothing to save";
            if (!why.empty()) throw EQuenlo(why);
            std::shared_ptr<TAtomicFile> file = PrepareBmpFile(*map, item.output);
            return [file] { file->Commit(); };
        };
    };
}

void TForm1::ConvertFiles(const QStringList& files) {
    if (running_) return;
    QStringList leftOut;
    const TBatchPlan plan = PlanFiles(files, leftOut);

    QStringList notWritten;
    QString stoppedBy;
    BatchEvents events;
    events.onFailed = [&](const BatchItem& item, const std::string& reason, FailureKind kind) {
        if (kind == FailureKind::Load) stoppedBy = FromUtf8(item.input) + QStringLiteral(": ") + FromUtf8(reason);
        else notWritten << FromUtf8(item.output) + QStringLiteral(": ") + FromUtf8(reason);
    };
    filesDone_ = 0;
    events.onSettled = [&](const BatchItem&, const ItemReport& report) {
        if (report.status == ItemStatus::NotReached) return;
        ++filesDone_;
        if (Due(progressFrame_)) BatchProgress->setValue(filesDone_);
    };
    BatchOptions options;
    // Between files the window answers: repaints, Esc, Cancel, a close.
    options.cancelled = [this] {
        QCoreApplication::processEvents();
        return cancelRequested_;
    };
    BatchProgress->setRange(0, static_cast<int>(std::min<size_t>(plan.Size(), INT_MAX)));
    BatchProgress->setValue(0);
    cancelRequested_ = closeRequested_ = false;
    BatchResult result;
    {
        struct Running {
            TForm1& form;
            explicit Running(TForm1& f) : form(f) { form.SetBatchRunning(true); }
            ~Running() { form.SetBatchRunning(false); }
        } running(*this);
        // One file at a time on this thread, so the preview holds the image being written.
        result = RunBatch(plan, options, PreviewLoader(), events);
    }
    ShowLastFile();
    if (closeRequested_) {
        QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    if (!leftOut.isEmpty()) notWritten = leftOut + notWritten;
    if (result.stopped) {
        if (!notWritten.isEmpty()) stoppedBy += QStringLiteral("\n\nNot written:\n") + notWritten.join(QLatin1Char('\n'));
        throw EQuenlo(Utf8(stoppedBy));
    }
    if (!notWritten.isEmpty())
        dialogs_.ShowWarning(this, QStringLiteral("These files were not written:\n") + notWritten.join(QLatin1Char('\n')));
    if (result.cancelled)
        dialogs_.ShowWarning(this, QStringLiteral("cancelled: %1 of %2 not converted").arg(result.notStarted).arg(plan.Size()));
}

void TForm1::ShowLastFile() {
    if (!batchStatus_.isEmpty()) SetStatus(batchStatus_);
    preview_->RepaintAll();
    batchStatus_.clear();
    statusFrame_.invalidate();
    progressFrame_.invalidate();
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    if (running_) return;
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) files << url.toLocalFile();
    if (files.isEmpty()) return;
    event->acceptProposedAction();
    // After the drop has finished, so the source is not kept waiting by the batch.
    ConvertFilesLater(files);
}

void TForm1::ConvertFilesLater(const QStringList& files) {
    QTimer::singleShot(0, this, [this, files] { Guarded([this, files] { ConvertFiles(files); }); });
}

}  // namespace quenlo
