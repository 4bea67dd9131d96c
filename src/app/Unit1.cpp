#include "app/Unit1.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QScreen>
#include <QSettings>
#include <QDropEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyle>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "app/QtPaintBox.h"
#include "app/QtText.h"
#include "app/ZoomControl.h"
#include "batch/BatchInputs.h"
#include "batch/BatchReport.h"
#include "batch/WatchSource.h"
#include "imageio/ImageKind.h"
#include "low/Errors.h"
#include "low/FileNames.h"
#include "low/Low.h"
#include "pixelmap/ColorText.h"
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

// The folder itself when it exists, else its nearest existing parent; "" for none.
QString NearestExistingFolder(const QString& typed) {
    if (typed.trimmed().isEmpty()) return {};
    QString dir = QDir::cleanPath(QDir(typed).absolutePath());
    while (!QFileInfo(dir).isDir()) {
        const QString parent = QFileInfo(dir).path();
        if (parent == dir) return {};
        dir = parent;
    }
    return dir;
}

// "name  W,H": the status text of a file by its name alone, with the size of
// the image in place; just "name" before any is.
QString StatusOf(const std::string& input, int32_t w, int32_t h) {
    const QString name = FromUtf8(ExtractFileName(input));
    if (w <= 0 || h <= 0) return name;
    return name + QStringLiteral("  ") + QString::number(w) + QLatin1Char(',') + QString::number(h);
}

// The results panel's lines for a file.
QString FailureLine(const std::string& input, const std::string& reason) {
    return FromUtf8(input) + QStringLiteral(": ") + FromUtf8(reason);
}
QString WarningLine(const std::string& input, const std::string& text) {
    return QTr("%1: warning: %2").arg(FromUtf8(input), FromUtf8(text));
}
}  // namespace

// The images the loader keeps, by output, from their load on any thread
// until they settle on the thread that runs the batch.
class TKeptImages {
public:
    void Keep(const std::string& output, std::shared_ptr<const TPixelMap> map) {
        std::lock_guard lock(mutex_);
        maps_[output] = std::move(map);
    }
    std::shared_ptr<const TPixelMap> Take(const std::string& output) {
        std::lock_guard lock(mutex_);
        auto node = maps_.extract(output);
        return node ? std::move(node.mapped()) : nullptr;
    }
    // The watch's newest converted file, waiting for the window's thread:
    // only the newest is held, however far behind that thread is. True
    // when none was waiting, so one call to TakeLatest is due.
    bool SetLatest(std::shared_ptr<const TPixelMap> map, const std::string& input) {
        std::lock_guard lock(mutex_);
        latestMap_ = std::move(map);
        return std::exchange(latestInput_, input).empty();
    }
    std::pair<std::shared_ptr<const TPixelMap>, std::string> TakeLatest() {
        std::lock_guard lock(mutex_);
        return {std::exchange(latestMap_, {}), std::exchange(latestInput_, {})};
    }

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const TPixelMap>> maps_;
    std::shared_ptr<const TPixelMap> latestMap_;
    std::string latestInput_;
};

TForm1::TForm1(IDialogs& dialogs, QSettings* settings, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), settings_(settings) {
    Jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    BuildControls();
    FormCreate();
    if (settings_) {
        ApplySettings(TWindowSettings::Load(*settings_));
        presets_ = LoadPresets(*settings_);
        ShowPresets();
    }
}

TForm1::~TForm1() {
    if (watch_) {
        watch_->Stop();
        watchThread_.join();
    }
    SaveSettings();
    FormDestroy();
}

TWindowSettings TForm1::CurrentSettings() const {
    TWindowSettings s;
    // A folder given for this run only leaves the remembered one as it was.
    s.outputDir = runOutputDir_ && Edit1->text() == *runOutputDir_ ? keptOutputDir_ : Edit1->text();
    s.inputDir = inputDir_;
    s.inputFilter = inputFilter_;
    s.geometry = saveGeometry();
    s.zoom = zoom_->Percent();
    s.zoomFit = zoom_->Fitting();
    s.keepGoing = KeepGoingBox->isChecked();
    s.ifExists = static_cast<ExistingOutput>(IfExistsBox->currentIndex());
    s.skipExisting = s.ifExists == ExistingOutput::Skip;
    s.namePattern = NameBox->text();
    s.replaceOriginals = ReplaceOriginalsBox->isChecked();
    s.format = static_cast<OutputFormat>(FormatBox->currentIndex());
    s.resize = ResizeBox->text();
    s.filter = *ResampleFilterByName(FilterBox->currentData().toString().toStdString());
    s.quality = QualityBox->value();
    s.pngLevel = PngLevelBox->value();
    s.tiffCompression = static_cast<TiffCompression>(TiffBox->currentIndex());
    s.autoOrient = UprightBox->isChecked();
    s.background = BackgroundBox->text();
    return s;
}

void TForm1::ApplySettings(const TWindowSettings& s) {
    Edit1->setText(s.outputDir);
    inputDir_ = s.inputDir;
    inputFilter_ = s.inputFilter;
    if (!s.geometry.isEmpty()) restoreGeometry(s.geometry);
    if (s.zoomFit) zoom_->Fit();
    else zoom_->SetPercent(s.zoom);
    KeepGoingBox->setChecked(s.keepGoing);
    ReplaceOriginalsBox->setChecked(s.replaceOriginals);
    ApplyOutputChoices(s);
}

void TForm1::ApplyOutputChoices(const TWindowSettings& s) {
    IfExistsBox->setCurrentIndex(static_cast<int>(s.ifExists));
    NameBox->setText(s.namePattern);
    FormatBox->setCurrentIndex(static_cast<int>(s.format));
    ResizeBox->setText(s.resize);
    FilterBox->setCurrentIndex(FilterBox->findData(QLatin1String(ResampleFilterName(s.filter))));
    QualityBox->setValue(s.quality);
    PngLevelBox->setValue(s.pngLevel);
    TiffBox->setCurrentIndex(static_cast<int>(s.tiffCompression));
    UprightBox->setChecked(s.autoOrient);
    BackgroundBox->setText(s.background);
    ShowQuality();
}

void TForm1::ShowQuality() {
    const auto f = static_cast<OutputFormat>(FormatBox->currentIndex());
    QualityBox->setVisible(f == OutputFormat::Jpeg || f == OutputFormat::WebP);
    PngLevelBox->setVisible(f == OutputFormat::Png);
    TiffBox->setVisible(f == OutputFormat::Tiff);
}

std::optional<ResizeRequest> TForm1::ResizeChoice() const {
    const QString text = ResizeBox->text().trimmed();
    if (text.isEmpty()) return std::nullopt;
    ResizeRequest request;
    // A bare number is the long side: the image fits in a square of it.
    bool number = false;
    text.toUInt(&number);
    request.geometry = ParseResizeGeometry(Utf8(number ? text + QLatin1Char('x') + text : text));
    request.filter = *ResampleFilterByName(FilterBox->currentData().toString().toStdString());
    return request;
}

void TForm1::SetOutputDirForRun(const QString& dir) {
    keptOutputDir_ = CurrentSettings().outputDir;
    runOutputDir_ = dir;
    Edit1->setText(dir);
}

void TForm1::SaveSettings() {
    if (settings_) CurrentSettings().Save(*settings_);
}

void TForm1::StorePresets() {
    if (settings_) SavePresets(*settings_, presets_);
    ShowPresets();
}

void TForm1::ShowPresets() {
    const QSignalBlocker quiet(PresetBox);
    const QString shown = PresetBox->currentText();
    PresetBox->clear();
    for (const TPreset& p : presets_) PresetBox->addItem(p.name);
    PresetBox->setCurrentIndex(PresetBox->findText(shown));
}

void TForm1::FitOnScreen() {
    if (const QScreen* on = screen()) FitWithin(on->availableGeometry());
}

void TForm1::FitWithin(const QRect& room) {
    // Until the window manager has framed the window the frame is the client
    // area; a title bar is then assumed, or the frame would land above room.
    const QRect outside = frameGeometry(), inside = geometry();
    QMargins frame(inside.left() - outside.left(), inside.top() - outside.top(), outside.right() - inside.right(),
                   outside.bottom() - inside.bottom());
    frameUnknown_ = frame.isNull() && isVisible() && !testAttribute(Qt::WA_DontShowOnScreen);
    if (frame.isNull()) {
        const int border = 4;
        frame = QMargins(border, border + style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this), border, border);
    }
    const QSize most(std::max(room.width() - frame.left() - frame.right(), minimumWidth()),
                     std::max(room.height() - frame.top() - frame.bottom(), minimumHeight()));
    resize(size().boundedTo(most));
    // The client area's place for a frame within room; move() places the frame
    // only once the frame is known, so the client area is placed instead.
    QRect outer = QRect(geometry().topLeft(), size()).marginsAdded(frame);
    outer.moveLeft(std::clamp(outer.left(), room.left(), std::max(room.left(), room.right() + 1 - outer.width())));
    outer.moveTop(std::clamp(outer.top(), room.top(), std::max(room.top(), room.bottom() + 1 - outer.height())));
    setGeometry(QRect(outer.topLeft() + QPoint(frame.left(), frame.top()), size()));
}

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
    ScrollBox1->setAlignment(Qt::AlignCenter);
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

    Button3 = new QPushButton(QTr("Select Targets"), Panel1);
    Button3->setGeometry(8, 6, 121, 29);
    Label1 = new QLabel(QTr("output dir"), Panel1);
    Label1->move(148, 8);
    Label1->adjustSize();
    Edit1 = new QLineEdit(Panel1);
    Edit1->setGeometry(208, 8, 257, 20);
    Button1 = new QPushButton(QStringLiteral("..."), Panel1);
    Button1->setGeometry(472, 8, 25, 21);
    setTabOrder(Button3, Edit1);
    setTabOrder(Edit1, Button1);
    Button3->setShortcut(QKeySequence::Open);
    Button3->setToolTip(QTr("Choose images to convert (Ctrl+O); folders can also be dropped on the window"));
    Edit1->setToolTip(QTr("Folder for the converted files, created when missing; empty: beside each source"));
    Button1->setToolTip(QTr("Choose the output folder"));
    Label1->setToolTip(Edit1->toolTip());

    // Room is left in this row for more choices about the output.
    OptionsRow = new QFrame(central);
    auto* options = new QHBoxLayout(OptionsRow);
    options->setContentsMargins(8, 2, 8, 2);
    KeepGoingBox = new QCheckBox(QTr("Keep going past failed files"), OptionsRow);
    KeepGoingBox->setToolTip(QTr("Off: a file that cannot be read stops the batch there"));
    SkipExistingBox = new QCheckBox(QTr("Skip existing outputs"), OptionsRow);
    SkipExistingBox->setToolTip(QTr("Leave output files that already exist alone"));
    SkipExistingBox->hide();
    IfExistsBox = new QComboBox(OptionsRow);
    IfExistsBox->addItems({QTr("Replace existing"), QTr("Skip existing"), QTr("Number new")});
    IfExistsBox->setToolTip(QTr("An output that exists already: replace it, leave it alone (the file is skipped), "
                                "or write the new one as \"name (2)\", \"name (3)\"..."));
    NameBox = new QLineEdit(OptionsRow);
    NameBox->setPlaceholderText(QStringLiteral("{name}"));
    NameBox->setMaximumWidth(110);
    NameBox->setToolTip(QTr("Output names before the extension: {name} the input's name, {ext} its extension, {n} a "
                            "counter, {w} and {h} the size, {date} the date, with any text around them"));
    // The box is the spelling of "skip" that --skip-existing and older settings use.
    connect(SkipExistingBox, &QCheckBox::toggled, this, [this](bool on) {
        const auto e = static_cast<ExistingOutput>(IfExistsBox->currentIndex());
        if (on != (e == ExistingOutput::Skip))
            IfExistsBox->setCurrentIndex(static_cast<int>(on ? ExistingOutput::Skip : ExistingOutput::Overwrite));
    });
    connect(IfExistsBox, &QComboBox::currentIndexChanged, this, [this](int index) {
        SkipExistingBox->setChecked(static_cast<ExistingOutput>(index) == ExistingOutput::Skip);
        SaveSettings();
    });
    ReplaceOriginalsBox = new QCheckBox(QTr("Replace originals"), OptionsRow);
    ReplaceOriginalsBox->setToolTip(QTr(
        "Off: a file written over its own source fails where that would lose alpha, deep samples, pages or metadata"));
    FormatBox = new QComboBox(OptionsRow);
    FormatBox->addItems({QStringLiteral("BMP"), QStringLiteral("PNG"), QStringLiteral("TIFF"), QStringLiteral("JPEG"),
                         QStringLiteral("WebP")});
    FormatBox->setToolTip(
        QTr("Format of the files written: 24-bit .bmp, .png, .tif, .jpg or lossy .webp"));
    ResizeBox = new QLineEdit(OptionsRow);
    ResizeBox->setPlaceholderText(QTr("Full size"));
    ResizeBox->setMaximumWidth(110);
    ResizeBox->setToolTip(QTr(
        "Resize: empty for full size, a long side in pixels (1600), or a geometry (1600x1200, x600, 50%, 300x200!, "
        "256x256^, 1600x1600> to only shrink)"));
    FilterBox = new QComboBox(OptionsRow);
    for (const char* name : {"lanczos", "bicubic", "bilinear", "box", "nearest"}) {
        QString shown = QLatin1String(name);
        shown[0] = shown[0].toUpper();
        FilterBox->addItem(shown, QLatin1String(name));
    }
    FilterBox->setToolTip(QTr("Resize filter: Lanczos is the sharpest, Box averages, Nearest copies pixels"));
    QualityBox = new QSpinBox(OptionsRow);
    QualityBox->setRange(1, 100);
    QualityBox->setValue(90);
    QualityBox->setPrefix(QTr("Quality "));
    QualityBox->setToolTip(QTr("JPEG and WebP quality: 1 smallest to 100 best"));
    PngLevelBox = new QSpinBox(OptionsRow);
    PngLevelBox->setRange(0, 9);
    PngLevelBox->setValue(6);
    PngLevelBox->setPrefix(QTr("Level "));
    PngLevelBox->setToolTip(QTr("PNG compression: 0 stores, 9 packs hardest and slowest; 6 is the usual"));
    TiffBox = new QComboBox(OptionsRow);
    TiffBox->addItem(QTr("Uncompressed"), QStringLiteral("none"));
    TiffBox->addItem(QTr("LZW"), QStringLiteral("lzw"));
    TiffBox->addItem(QTr("Deflate"), QStringLiteral("deflate"));
    TiffBox->setToolTip(QTr("TIFF compression: LZW and Deflate are lossless and read everywhere"));
    // What images carry besides their pixels, presets, and more ways to start, in a row of its own.
    auto* carried = new QFrame(central);
    auto* carriedRow = new QHBoxLayout(carried);
    carriedRow->setContentsMargins(8, 0, 8, 2);
    UprightBox = new QCheckBox(QTr("Turn photos upright"), carried);
    UprightBox->setToolTip(QTr("Turn photos by their EXIF orientation; off: the pixels as stored, "
                               "the orientation kept in TIFF files"));
    BackgroundBox = new QLineEdit(carried);
    BackgroundBox->setPlaceholderText(QTr("Keep alpha"));
    BackgroundBox->setMaximumWidth(100);
    BackgroundBox->setToolTip(QTr(
        "Background under transparent pixels: a colour name (white, black, grey) or #rrggbb; empty: PNG and TIFF "
        "keep alpha, other formats use white"));
    ZoomLabel = new QLabel(OptionsRow);
    ZoomLabel->setToolTip(QTr("Zoom: Ctrl+wheel, Ctrl+plus, Ctrl+minus, Ctrl+0 for 100 %, Ctrl+9 to fit"));
    options->addWidget(KeepGoingBox);
    options->addWidget(IfExistsBox);
    options->addWidget(ReplaceOriginalsBox);
    options->addWidget(FormatBox);
    options->addWidget(QualityBox);
    options->addWidget(PngLevelBox);
    options->addWidget(TiffBox);
    options->addWidget(ResizeBox);
    options->addWidget(FilterBox);
    options->addWidget(NameBox);
    WatchButton = new QPushButton(QTr("Watch folder"), carried);
    WatchButton->setCheckable(true);
    WatchButton->setToolTip(QTr(
        "Convert each image written into a chosen folder, once complete, into the output folder, until switched off (Esc)"));
    options->addStretch(1);
    options->addWidget(ZoomLabel);
    AddFolderButton = new QPushButton(QTr("Add folder..."), carried);
    AddFolderButton->setToolTip(QTr("Choose a folder and convert every image below it, as a dropped folder"));
    PresetBox = new QComboBox(carried);
    PresetBox->setPlaceholderText(QTr("Preset"));
    PresetBox->setMinimumContentsLength(8);
    PresetBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    PresetBox->setToolTip(QTr("Pick a preset: its format, options, size, upright and background are applied"));
    PresetsButton = new QToolButton(carried);
    PresetsButton->setText(QTr("Presets"));
    PresetsButton->setPopupMode(QToolButton::InstantPopup);
    PresetsButton->setToolTip(QTr("Save the output choices as a preset; delete, export or import presets"));
    auto* presetMenu = new QMenu(PresetsButton);
    presetMenu->addAction(QTr("Save as preset..."), this, [this] { Guarded([this] { SavePresetClick(); }); });
    presetMenu->addAction(QTr("Delete preset"), this, [this] { Guarded([this] { DeletePresetClick(); }); });
    presetMenu->addSeparator();
    presetMenu->addAction(QTr("Export presets..."), this, [this] { Guarded([this] { ExportPresetsClick(); }); });
    presetMenu->addAction(QTr("Import presets..."), this, [this] { Guarded([this] { ImportPresetsClick(); }); });
    PresetsButton->setMenu(presetMenu);
    carriedRow->addWidget(UprightBox);
    carriedRow->addWidget(new QLabel(QTr("Background"), carried));
    carriedRow->addWidget(BackgroundBox);
    carriedRow->addWidget(PresetBox);
    carriedRow->addWidget(PresetsButton);
    carriedRow->addWidget(AddFolderButton);
    carriedRow->addWidget(WatchButton);
    carriedRow->addStretch(1);
    // On a screen narrower than the rows they scroll, so the window can still fit.
    choices_ = new QWidget(central);
    auto* rows = new QVBoxLayout(choices_);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    rows->addWidget(OptionsRow);
    rows->addWidget(carried);
    optionsScroll_ = new QScrollArea(central);
    optionsScroll_->setFrameShape(QFrame::NoFrame);
    optionsScroll_->setWidgetResizable(true);
    optionsScroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    optionsScroll_->setWidget(choices_);
    optionsScroll_->setFixedHeight(choices_->sizeHint().height());
    optionsScroll_->installEventFilter(this);
    column->addWidget(optionsScroll_);
    setCentralWidget(central);
    for (QCheckBox* box : {KeepGoingBox, SkipExistingBox, ReplaceOriginalsBox, UprightBox})
        connect(box, &QCheckBox::toggled, this, [this] { SaveSettings(); });
    connect(FilterBox, &QComboBox::currentIndexChanged, this, [this] { SaveSettings(); });
    connect(ResizeBox, &QLineEdit::editingFinished, this, [this] { SaveSettings(); });
    connect(BackgroundBox, &QLineEdit::editingFinished, this, [this] { SaveSettings(); });
    connect(NameBox, &QLineEdit::editingFinished, this, [this] { SaveSettings(); });
    connect(FormatBox, &QComboBox::currentIndexChanged, this, [this] {
        ShowQuality();
        SaveSettings();
    });
    connect(QualityBox, &QSpinBox::valueChanged, this, [this] { SaveSettings(); });
    connect(PngLevelBox, &QSpinBox::valueChanged, this, [this] { SaveSettings(); });
    connect(TiffBox, &QComboBox::currentIndexChanged, this, [this] { SaveSettings(); });
    connect(PresetBox, &QComboBox::activated, this, [this](int index) { PickPreset(index); });
    ShowQuality();

    EmptyHint = new QLabel(QTr("Drop images or folders here, or Select Targets (Ctrl+O)"), ScrollBox1->viewport());
    EmptyHint->setAlignment(Qt::AlignCenter);
    EmptyHint->setWordWrap(true);
    EmptyHint->setAttribute(Qt::WA_TransparentForMouseEvents);
    ScrollBox1->viewport()->installEventFilter(this);
    ScrollBox1->setToolTip(QTr("Each image as it is written; drag with a button held to paint on it"));

    Results = new TResultsPanel;
    ResultsDock = new QDockWidget(QTr("Results"), this);
    ResultsDock->setObjectName(QStringLiteral("Results"));
    ResultsDock->setWidget(Results);
    ResultsDock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                             QDockWidget::DockWidgetFloatable);
    addDockWidget(Qt::BottomDockWidgetArea, ResultsDock);
    ResultsDock->hide();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);

    status_ = new QLabel(QStringLiteral("---"), StatusBar1);
    StatusBar1->addWidget(status_, 1);
    status_->setToolTip(QTr("The file in hand and its size in pixels"));
    BatchProgress = new QProgressBar(StatusBar1);
    BatchProgress->setFormat(QStringLiteral("%v / %m"));
    BatchProgress->setMaximumWidth(160);
    BatchProgress->setToolTip(QTr("Files settled of the batch"));
    BatchProgress->hide();
    StatusBar1->addPermanentWidget(BatchProgress);
    CancelButton = new QPushButton(QTr("Cancel"), StatusBar1);
    CancelButton->hide();
    CancelButton->setToolTip(QTr("Stop after the file in hand (Esc)"));
    StatusBar1->addPermanentWidget(CancelButton);
    // Tall enough for the Cancel button, which a 19-pixel bar clipped.
    StatusBar1->setFixedHeight(std::max(19, CancelButton->sizeHint().height() + 2));
    setStatusBar(StatusBar1);

    move(263, 83);
    resize(519, 613);

    connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelBatch(); });
    connect(WatchButton, &QPushButton::clicked, this, [this](bool checked) { Guarded([this, checked] { WatchButtonClick(checked); }); });
    connect(AddFolderButton, &QPushButton::clicked, this, [this] { Guarded([this] { AddFolderClick(); }); });
    connect(Results->RetryButton, &QToolButton::clicked, this, [this] { Guarded([this] { RetryFailed(); }); });
    connect(Results->SaveLogButton, &QToolButton::clicked, this, [this] { Guarded([this] { SaveLogClick(); }); });
    previewTimer_ = new QTimer(this);
    previewTimer_->setSingleShot(true);
    connect(previewTimer_, &QTimer::timeout, this, [this] { ShowDuePreview(); });
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
    zoom_ = new TZoomControl(*preview_, *ScrollBox1, [this] { return QSize(imageNode_->Width, imageNode_->Height); },
                             [this] { ShowZoom(); });
    ShowZoom();
}

void TForm1::ShowZoom() { ZoomLabel->setText(QString::number(zoom_->Percent()) + QStringLiteral(" %")); }

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
        dialogs_.ShowError(this, ErrorBoxText(QTr("unknown error")));
    }
}

void TForm1::LayoutPanel() {
    const int w = Panel1->width();
    Edit1->setGeometry(208, 8, std::max(20, w - 208 - kEditRightMargin), 20);
    Button1->move(w - kButton1RightMargin - 25, 8);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel1 && event->type() == QEvent::Resize) LayoutPanel();
    if (watched == optionsScroll_ && event->type() == QEvent::Resize) {
        // Taller by the scroll bar when it shows, so it covers none of the row.
        const bool bar = optionsScroll_->width() < choices_->minimumSizeHint().width();
        optionsScroll_->setFixedHeight(choices_->sizeHint().height() +
                                       (bar ? optionsScroll_->horizontalScrollBar()->sizeHint().height() : 0));
    }
    if (watched == ScrollBox1->viewport() && event->type() == QEvent::Resize)
        EmptyHint->setGeometry(ScrollBox1->viewport()->rect().adjusted(8, 8, -8, -8));
    return QMainWindow::eventFilter(watched, event);
}

QString TForm1::StatusText() const { return status_->text(); }

void TForm1::SetStatus(const QString& text) {
    status_->setText(text);
    status_->repaint();  // shown before the file loads, however long that takes
}

void TForm1::SetBatchRunning(bool running) {
    running_ = running;
    SetBusy(running);
    WatchButton->setEnabled(!running);
}

void TForm1::SetBusy(bool busy) {
    Button3->setEnabled(!busy);
    Button1->setEnabled(!busy);
    Edit1->setReadOnly(busy);
    KeepGoingBox->setEnabled(!busy);
    SkipExistingBox->setEnabled(!busy);
    IfExistsBox->setEnabled(!busy);
    NameBox->setReadOnly(busy);
    ReplaceOriginalsBox->setEnabled(!busy);
    FormatBox->setEnabled(!busy);
    ResizeBox->setReadOnly(busy);
    FilterBox->setEnabled(!busy);
    QualityBox->setEnabled(!busy);
    PngLevelBox->setEnabled(!busy);
    TiffBox->setEnabled(!busy);
    PresetBox->setEnabled(!busy);
    PresetsButton->setEnabled(!busy);
    AddFolderButton->setEnabled(!busy);
    Results->RetryButton->setEnabled(!busy && retryable_);
    Results->SaveLogButton->setEnabled(!busy && log_.has_value());
    UprightBox->setEnabled(!busy);
    BackgroundBox->setReadOnly(busy);
    setAcceptDrops(!busy);
    BatchProgress->setVisible(busy);
    CancelButton->setVisible(busy);
}

bool TForm1::Due(QElapsedTimer& frame, int ms) {
    if (frame.isValid() && frame.elapsed() < ms) return false;
    frame.start();
    return true;
}

void TForm1::CancelBatch() {
    if (running_) cancelRequested_ = true;
    else StopWatch();
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && (running_ || watch_)) return CancelBatch();
    if (zoom_->HandleKey(*event)) return;
    QMainWindow::keyPressEvent(event);
}

void TForm1::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (frameUnknown_ && frameGeometry().size() != size()) QTimer::singleShot(0, this, [this] { FitOnScreen(); });
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (frameUnknown_ && frameGeometry().size() != size()) QTimer::singleShot(0, this, [this] { FitOnScreen(); });
}

void TForm1::closeEvent(QCloseEvent* event) {
    StopWatch();
    if (!running_) {
        SaveSettings();
        return QMainWindow::closeEvent(event);
    }
    // The batch is on the stack below this event: it must unwind first.
    cancelRequested_ = closeRequested_ = true;
    event->ignore();
}

void TForm1::Button1Click() {
    const std::optional<QString> chosen = dialogs_.ChooseFolder(this, NearestExistingFolder(Edit1->text()));
    if (!chosen) return;
    Edit1->setText(*chosen);
    SaveSettings();
    std::string dir = Utf8(*chosen);
    PrepareOutputDir(dir);
}

void TForm1::Button3Click() {
    OpenFilesRequest request;
    QStringList patterns;
    for (const std::string& ext : ReadExtensions()) patterns << QLatin1Char('*') + QString::fromStdString(ext);
    request.filters = {QTr("RGB files (*.rgb)"), QTr("IPR files (*.ipr)"),
                       QTr("Image files (%1)").arg(patterns.join(QLatin1Char(' '))),
                       QTr("All files (*)")};
    request.selectedFilter = std::clamp(inputFilter_, 0, int(request.filters.size()) - 1);
    request.directory = inputDir_;
    const std::optional<QStringList> files = dialogs_.OpenFiles(this, request);
    if (!files) return;
    inputFilter_ = request.selectedFilter;
    inputDir_ = request.directory;
    SaveSettings();
    ConvertFiles(*files);
}

TBatchPlan TForm1::PlanFiles(const QStringList& files, LeftOut& leftOut, int& unreadable) const {
    const PlanOptions planOptions = PlanChoices();
    FeedOptions feedOptions;
    feedOptions.recurse = Recurse::On;
    feedOptions.outputDir = planOptions.outputDir;
    feedOptions.onSkipped = [&](const std::string& name, const std::string& why) { leftOut.emplace_back(name, why); };
    TInputFeed feed(feedOptions);
    std::vector<std::string> inputs;
    for (const QString& file : files) inputs.push_back(Utf8(file));
    feed.AddNames(std::move(inputs));
    // The folder is read once for the whole batch.
    TBatchPlan plan = PlanBatch(feed.Source(), planOptions);
    unreadable = feed.Unreadable();
    return plan;
}

PlanOptions TForm1::PlanChoices() const {
    PlanOptions plan;
    plan.outputDir = Utf8(Edit1->text());
    plan.outputExt = OutputExtension(static_cast<OutputFormat>(FormatBox->currentIndex()));
    plan.existing = static_cast<ExistingOutput>(IfExistsBox->currentIndex());
    if (!NameBox->text().trimmed().isEmpty()) plan.namePattern = Utf8(NameBox->text().trimmed());
    return plan;
}

ItemLoaderOptions TForm1::LoaderChoices(const std::shared_ptr<TKeptImages>& kept) const {
    ItemLoaderOptions load;
    load.output.format = static_cast<OutputFormat>(FormatBox->currentIndex());
    load.resize = ResizeChoice();
    load.output.quality = QualityBox->value();
    load.output.pngLevel = PngLevelBox->value();
    load.output.tiffCompression = static_cast<TiffCompression>(TiffBox->currentIndex());
    load.replaceSources = ReplaceOriginalsBox->isChecked();
    load.inPlaceOption = std::string("\"") + Tr("Replace originals") + "\"";
    load.autoOrient = UprightBox->isChecked();
    // A colour that reads as none keeps alpha, as an empty box does.
    load.background = ColorFromText(BackgroundBox->text().trimmed().toStdString());
    load.keepImage = [kept](const BatchItem& item, std::shared_ptr<TPixelMap> map) {
        if (map->Kind() != PixelKind::RGB) return;  // the preview reads it again
        kept->Keep(item.output, std::move(map));
    };
    return load;
}

BatchOptions TForm1::BatchChoices() const {
    BatchOptions options;
    options.jobs = std::max(Jobs, 1);
    options.onLoadFailure = KeepGoingBox->isChecked() ? OnLoadFailure::KeepGoing : OnLoadFailure::Stop;
    return options;
}

bool TForm1::FileSettled(const std::string& input, const ItemReport& report) {
    if (report.status == ItemStatus::NotReached) {
        Results->Add(QTr("%1: not reached").arg(FromUtf8(input)));
        return false;
    }
    ++filesDone_;
    // The image put in place has its own size; after a failure the size shown stays the one before.
    if (report.status == ItemStatus::Converted) shownSize_ = QSize(int(report.width), int(report.height));
    batchStatus_ = report.status == ItemStatus::Failed ? QTr("%1  failed").arg(FromUtf8(ExtractFileName(input)))
                                                       : StatusOf(input, shownSize_.width(), shownSize_.height());
    return true;
}

void TForm1::ShowResults() {
    if (!ResultsDock->isHidden()) return;
    ResultsDock->show();
    // Most of the window stays the preview's.
    resizeDocks({ResultsDock}, {std::max(120, height() / 4)}, Qt::Vertical);
}

void TForm1::ShowInPreview(std::shared_ptr<const TPixelMap> map, const std::string& input) {
    // Faster than the eye can follow, the preview is drawn at most once a
    // PreviewFrameMs; the batch's last file always is.
    previewDue_.clear();
    previewDueMap_.reset();
    if (!Due(previewFrame_, PreviewFrameMs)) {
        previewDue_ = input;  // shown when it is drawn, if it is the last
        previewDueMap_ = std::move(map);
        return;
    }
    if (map) {
        // The loader shares its map: the node gets a copy of its own, one
        // per drawing rather than one per file.
        auto own = std::make_unique<TPixelMapRGB>();
        try {
            own->SetSize(map->Width(), map->Height());
        } catch (const std::exception&) {
            return;  // no room for the copy: the preview keeps what it had, the file is written
        }
        std::copy_n(map->Data(), map->DataSize(), own->Data());
        imageNode_->Map = std::move(own);
        imageNode_->SetWidth(imageNode_->Map->Width());
        imageNode_->SetHeight(imageNode_->Map->Height());
        imageNode_->SetVisible(true);
        imageNode_->FileName = input;
    } else {
        try {
            imageNode_->LoadFile(input);
        } catch (const std::exception&) {
            return;  // written, but gone or changed since: the preview keeps what it had
        }
    }
    EmptyHint->hide();
    preview_->AdoptRootSize();
    if (zoom_->Fitting()) zoom_->Fit();
    preview_->RepaintAll();
}

void TForm1::ConvertFiles(const QStringList& files) {
    if (running_ || watch_) return;
    ResizeChoice();  // a size that is no size stops here, before anything is planned
    LeftOut leftOut;
    int unreadable = 0;
    const TBatchPlan plan = PlanFiles(files, leftOut, unreadable);
    RunPlan(plan, leftOut, unreadable);
}

void TForm1::RetryFailed() {
    if (running_ || watch_ || !retryable_) return;
    std::vector<PlanInput> inputs;
    const TBatchQueue& queue = *Results->Queue;
    for (size_t i = 0; i < queue.Size(); ++i) {
        const TBatchQueue::Entry& e = queue.At(i);
        if (e.state == QueueState::Failed || e.state == QueueState::NotReached) {
            inputs.emplace_back(e.input, e.subdir);
            inputs.back().n = e.n;  // {n} as in the first run, so names neither shift nor clash
        }
    }
    if (inputs.empty()) return;
    ResizeChoice();
    size_t next = 0;
    const TBatchPlan plan = PlanBatch(
        [&](PlanInput& in) {
            if (next == inputs.size()) return false;
            in = inputs[next++];
            return true;
        },
        PlanChoices());
    RunPlan(plan, {}, 0);
}

void TForm1::AddFolderClick() {
    if (running_ || watch_) return;
    const std::optional<QString> dir = dialogs_.ChooseFolder(this, inputDir_);
    if (!dir) return;
    inputDir_ = *dir;
    SaveSettings();
    ConvertFiles(QStringList{*dir});
}

void TForm1::SaveLogClick() {
    if (!log_) return;
    const QString start = QDir(inputDir_.isEmpty() ? QDir::homePath() : inputDir_).filePath(QStringLiteral("quenlo-report.jsonl"));
    const std::optional<QString> file = dialogs_.SaveFileName(this, QTr("JSON Lines (*.jsonl);;All files (*)"), start);
    if (file) SaveLog(*file);
}

void TForm1::SaveLog(const QString& fileName) {
    if (!log_) return;
    TBatchReport report(Utf8(fileName));
    for (const auto& [input, why] : log_->leftOut) report.LeftOut(input, why);
    report.Arm();
    report.Planned(log_->items.size());
    for (const auto& [item, itemReport] : log_->items) report.Item(item, itemReport);
    report.Summary(log_->result, log_->seconds);
}

void TForm1::RunPlan(const TBatchPlan& plan, const LeftOut& leftOut, int unreadable) {
    Results->Clear();
    for (const auto& [name, why] : leftOut) Results->Add(FailureLine(name, why));
    // The queue: the plan's items in order, then what the walk left out.
    {
        std::vector<TBatchQueue::Entry> entries(plan.Size());
        for (size_t i = 0; i < plan.Size(); ++i) {
            const BatchItem item = plan.Item(i);
            entries[i].input = item.input;
            entries[i].n = plan.Number(i);
            // What lies between the output folder and the name, so a run again writes to the same place.
            const size_t slash = item.output.find_last_of('/');
            if (!plan.dir.empty() && item.output.rfind(plan.dir, 0) == 0 && slash != std::string::npos && slash >= plan.dir.size())
                entries[i].subdir = item.output.substr(plan.dir.size(), slash + 1 - plan.dir.size());
        }
        for (const auto& [name, why] : leftOut) entries.push_back({name, {}, QueueState::Skipped, FromUtf8(why)});
        Results->Queue->Reset(std::move(entries));
    }
    log_.reset();
    retryable_ = false;
    // Beside the sources, the folder of the first.
    const std::string folder = !plan.dir.empty() || plan.Size() == 0 ? plan.dir : ExtractFileDir(plan.Item(0).output);
    Results->SetOutputFolder(plan.Size() == 0 ? QString() : QDir(FromUtf8(folder)).absolutePath());

    const auto kept = std::make_shared<TKeptImages>();
    // Failures are listed in the results panel, by input; only a batch that
    // stopped has a box, naming the file that stopped it.
    QString stoppedBy;
    int notWritten = 0;
    const bool keepGoing = KeepGoingBox->isChecked();
    size_t settled = 0;  // also the queue's row of the item in hand
    BatchEvents events;
    events.onFailed = [&](const BatchItem& item, const std::string& reason, FailureKind kind) {
        const QString line = FailureLine(item.input, reason);
        Results->Add(line);
        Results->Queue->Note(settled, FromUtf8(reason));
        if (kind == FailureKind::Load && !keepGoing) stoppedBy = line;
        else ++notWritten;
    };
    bool warned = false;  // the item in hand
    events.onWarning = [&](const BatchItem& item, const std::string& text) {
        Results->Add(WarningLine(item.input, text));
        Results->Queue->Note(settled, FromUtf8(text));
        warned = true;
    };
    // Raw pairs stream and are not kept: the preview reads them again.
    events.onConverted = [&](const BatchItem& item) { ShowInPreview(kept->Take(item.output), item.input); };
    filesDone_ = 0;
    BatchLog log;
    log.leftOut = leftOut;
    QElapsedTimer clock;
    clock.start();
    const auto showPace = [&] {
        Results->ShowPace(filesDone_, static_cast<long long>(plan.Size()), clock.nsecsElapsed() / 1e9);
    };
    events.onSettled = [&](const BatchItem& item, const ItemReport& report) {
        QueueState state = QueueStateOf(report.status);
        // Reset whatever this item's end: a failed item's warnings are not the next one's.
        if (std::exchange(warned, false) && state == QueueState::Converted) state = QueueState::Warned;
        Results->Queue->Set(settled, state);
        ++settled;
        // Only what the report names, so a long batch's log stays small.
        BatchItem named;
        named.input = item.input;
        named.output = item.output;
        log.items.emplace_back(std::move(named), report);
        kept->Take(item.output);  // a failed save's image, or one loaded ahead and not reached
        if (!FileSettled(item.input, report)) return;
        if (Due(statusFrame_, FrameMs)) SetStatus(batchStatus_);
        if (Due(progressFrame_, FrameMs)) {
            BatchProgress->setValue(filesDone_);
            showPace();
        }
    };
    BatchOptions options = BatchChoices();
    // Before each file the window answers: repaints, Esc, Cancel, a close.
    options.cancelled = [&] {
        // The file waited for, with the size of the image before it.
        if (settled < plan.Size()) Results->Queue->Set(settled, QueueState::Converting);
        if (settled < plan.Size() && Due(statusFrame_, FrameMs)) {
            batchStatus_ = StatusOf(plan.Item(settled).input, shownSize_.width(), shownSize_.height());
            SetStatus(batchStatus_);
        }
        QCoreApplication::processEvents();
        return cancelRequested_;
    };
    shownSize_ = QSize(imageNode_->Width, imageNode_->Height);
    BatchProgress->setRange(0, static_cast<int>(std::min<size_t>(plan.Size(), INT_MAX)));
    BatchProgress->setValue(0);
    cancelRequested_ = closeRequested_ = false;
    SaveSettings();
    // The queue is watched as the batch runs.
    ShowResults();
    Results->Tabs->setCurrentWidget(Results->QueueView);
    showPace();
    BatchResult result;
    {
        struct Running {
            TForm1& form;
            explicit Running(TForm1& f) : form(f) { form.SetBatchRunning(true); }
            ~Running() { form.SetBatchRunning(false); }
        } running(*this);
        result = RunBatch(plan, options, ItemLoader(LoaderChoices(kept)), events);
    }
    counts_ = {result.converted, result.failed + unreadable, result.notStarted, result.skipped, result.cancelled,
               result.stopped};
    log.result = result;
    log.seconds = clock.nsecsElapsed() / 1e9;
    log_ = std::move(log);
    retryable_ = result.failed > 0 || result.notStarted > 0;
    Results->RetryButton->setEnabled(retryable_);
    Results->SaveLogButton->setEnabled(true);
    Results->Finish(counts_);
    ShowLastFile();
    if (closeRequested_) {
        QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    ShowResults();
    if (result.stopped) {
        if (result.notStarted > 0)
            stoppedBy += QTr("\n\n%1 of %2 not reached; \"Keep going past failed files\" goes on past such files")
                             .arg(result.notStarted)
                             .arg(plan.Size());
        notWritten += static_cast<int>(leftOut.size());
        if (notWritten > 0) stoppedBy += QTr("\n\n%1 more not written: see Results").arg(notWritten);
        throw EQuenlo(Utf8(stoppedBy));
    }
}

void TForm1::ShowLastFile() {
    if (!batchStatus_.isEmpty()) SetStatus(batchStatus_);
    ShowDuePreview();
    preview_->RepaintAll();
    batchStatus_.clear();
    statusFrame_.invalidate();
    progressFrame_.invalidate();
    previewFrame_.invalidate();
}

void TForm1::ShowDuePreview() {
    if (previewDue_.empty()) return;
    previewFrame_.invalidate();
    ShowInPreview(std::exchange(previewDueMap_, {}), std::exchange(previewDue_, {}));
}

void TForm1::SavePresetClick() {
    const std::optional<QString> name =
        dialogs_.AskText(this, QTr("Save the output choices as the preset named:"), PresetBox->currentText());
    if (!name) return;
    const QString cut = name->left(kMaxPresetName);
    PutPreset(presets_, TPreset{cut, CurrentSettings()});
    StorePresets();
    PresetBox->setCurrentIndex(PresetBox->findText(cut));
}

void TForm1::DeletePresetClick() {
    const int index = PresetBox->currentIndex();
    if (index < 0 || size_t(index) >= presets_.size()) return;
    presets_.erase(presets_.begin() + index);
    PresetBox->setCurrentIndex(-1);
    StorePresets();
}

void TForm1::PickPreset(int index) {
    if (index < 0 || size_t(index) >= presets_.size() || running_ || watch_) return;
    // Only these: a folder given for this run, the zoom and the place stay as they are.
    ApplyOutputChoices(presets_[size_t(index)].choices);
    SaveSettings();
}

void TForm1::ExportPresetsClick() {
    if (presets_.empty()) return SetStatus(QTr("No presets to export: save one first"));
    const QString start = QDir(inputDir_.isEmpty() ? QDir::homePath() : inputDir_).filePath(QStringLiteral("quenlo-presets.json"));
    if (const std::optional<QString> file = dialogs_.SaveFileName(this, QTr("Presets (*.json)"), start)) {
        ExportPresets(presets_, *file);
        SetStatus(QTr("%1 presets exported to %2").arg(presets_.size()).arg(*file));
    }
}

void TForm1::ImportPresetsClick() {
    const std::optional<QString> file = dialogs_.OpenFileName(this, QTr("Presets (*.json);;All files (*)"), inputDir_);
    if (!file) return;
    // Read whole before any is taken: a bad file changes nothing.
    std::vector<TPreset> read = ImportPresets(*file);
    for (TPreset& p : read) PutPreset(presets_, std::move(p));
    StorePresets();
    SetStatus(QTr("%1 presets imported from %2").arg(read.size()).arg(*file));
}

void TForm1::WatchButtonClick(bool checked) {
    if (!checked) return StopWatch();
    // Said before a folder is asked for, not after.
    if (Edit1->text().trimmed().isEmpty()) {
        WatchButton->setChecked(false);
        return SetStatus(QTr("Watch folder needs an output folder: choose one with \"...\" first"));
    }
    const std::optional<QString> dir = dialogs_.ChooseFolder(this, inputDir_);
    if (!dir) {
        WatchButton->setChecked(false);
        return;
    }
    inputDir_ = *dir;
    SaveSettings();
    StartWatch(*dir);
}

void TForm1::StartWatch(const QString& dir) {
    if (running_ || watch_) return;
    WatchButton->setChecked(false);
    WatchOptions watch;
    watch.folders = {Utf8(dir)};
    // As a folder dropped on the window: what is below it too.
    watch.recurse = Recurse::On;
    watch.settle = std::chrono::milliseconds(std::max(SettleMs, 0));
    const PlanOptions plan = PlanChoices();
    if (const std::string why = WatchRefusal(watch, plan); !why.empty()) return SetStatus(FromUtf8(why));
    ResizeChoice();

    // The watch's events come on its thread; the window takes them on its own.
    const auto post = [this](auto call) { QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection); };
    const auto kept = std::make_shared<TKeptImages>();
    WatchEvents events;
    events.batch.onConverted = [this, post, kept](const BatchItem& item) {
        if (kept->SetLatest(kept->Take(item.output), item.input)) post([this, kept] { WatchedFileShown(*kept); });
    };
    events.batch.onFailed = [post, this](const BatchItem& item, const std::string& reason, FailureKind) {
        post([this, line = FailureLine(item.input, reason)] { WatchLine(line); });
    };
    events.batch.onWarning = [post, this](const BatchItem& item, const std::string& text) {
        post([this, line = WarningLine(item.input, text)] { WatchLine(line); });
    };
    events.batch.onSettled = [this, post, kept](const BatchItem& item, const ItemReport& report) {
        kept->Take(item.output);  // a failed save's image
        post([this, input = item.input, report] { WatchedFileSettled(input, report); });
    };
    events.onPlanned = [this, post](size_t planned) {
        post([this, planned] { BatchProgress->setRange(0, static_cast<int>(std::min<size_t>(planned, INT_MAX))); });
    };
    events.onStatus = [this, post](const std::string& text) { post([this, text] { SetStatus(FromUtf8(text)); }); };
    try {
        watch_ = std::make_unique<TWatchRun>(std::move(watch), plan, BatchChoices(), ItemLoader(LoaderChoices(kept)),
                                             std::move(events));
    } catch (const std::exception& e) {
        return SetStatus(FromUtf8(e.what()));
    }

    watchDir_ = dir;
    watchError_.clear();
    watchCounts_ = {};
    filesDone_ = 0;
    shownSize_ = QSize(imageNode_->Width, imageNode_->Height);
    Results->Clear();
    Results->Queue->Reset({});
    log_.reset();  // a watch has no report to save, nor files to run again
    retryable_ = false;
    Results->SetOutputFolder(QDir(Edit1->text()).absolutePath());
    BatchProgress->setRange(0, 0);
    BatchProgress->setValue(0);
    SetBusy(true);
    WatchButton->setChecked(true);
    SaveSettings();
    watchThread_ = std::thread([this, run = watch_.get()] {
        QString error;
        try {
            run->Run();
        } catch (const std::exception& e) {
            error = FromUtf8(e.what());
        } catch (...) {
            error = QTr("unknown error");
        }
        QMetaObject::invokeMethod(this, [this, error] { WatchEnded(error); }, Qt::QueuedConnection);
    });
}

void TForm1::StopWatch() {
    if (!watch_) return;
    watch_->Stop();
    watchThread_.join();
    // The events it sent before it ended, with the watch already over.
    const std::unique_ptr<TWatchRun> ended = std::move(watch_);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    previewTimer_->stop();
    SetBusy(false);
    WatchButton->setChecked(false);
    watchCounts_.cancelled = watchCounts_.notReached > 0;
    counts_ = watchCounts_;
    Results->Finish(counts_);
    const bool anyFile = !batchStatus_.isEmpty();
    ShowLastFile();
    if (!anyFile) SetStatus(QTr("stopped watching %1").arg(watchDir_));
    if (!watchError_.isEmpty()) SetStatus(watchError_);
    ShowResults();
}

void TForm1::WatchedFileShown(TKeptImages& kept) {
    auto [map, input] = kept.TakeLatest();
    if (input.empty()) return;
    ShowInPreview(std::move(map), input);
    if (!previewDue_.empty()) previewTimer_->start(PreviewFrameMs);
}

void TForm1::WatchedFileSettled(const std::string& input, const ItemReport& report) {
    switch (report.status) {
        case ItemStatus::Converted: ++watchCounts_.converted; break;
        case ItemStatus::Skipped: ++watchCounts_.skipped; break;
        case ItemStatus::Failed: ++watchCounts_.failed; break;
        case ItemStatus::NotReached: ++watchCounts_.notReached; break;
    }
    // A watch may run for days: the queue keeps its newest files.
    if (Results->Queue->Size() >= size_t(TResultsPanel::kMaxLines)) Results->Queue->DropFirst();
    Results->Queue->Append({input, {}, QueueStateOf(report.status), FromUtf8(report.error)});
    // The last of those planned is always shown: no later frame may come.
    if (FileSettled(input, report) && (Due(progressFrame_, FrameMs) || filesDone_ >= BatchProgress->maximum()))
        BatchProgress->setValue(filesDone_);
    Results->Update(watchCounts_);
}

void TForm1::WatchLine(const QString& line) {
    Results->Add(line);
    Results->Update(watchCounts_);
    ShowResults();
}

void TForm1::WatchEnded(const QString& error) {
    watchError_ = error;
    StopWatch();
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    if (running_ || watch_) return;
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
