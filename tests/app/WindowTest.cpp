#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScreen>
#include <QPlainTextEdit>
#include <QSettings>
#include <QCheckBox>
#include <QDockWidget>
#include <QComboBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <fstream>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "app/BatchQueue.h"
#include "app/Dialogs.h"
#include "app/Presets.h"
#include "app/QtPaintBox.h"
#include "app/ResultsPanel.h"
#include "app/ZoomControl.h"
#include "app/Unit1.h"
#include "imageio/BmpWriter.h"
#include "imageio/ImageKind.h"
#include "imageio/VlxIo.h"
#include "low/Errors.h"
#include "scene/kinds/Pbox.h"
#include "scene/kinds/VlxImg.h"

using namespace quenlo;
using quenlo::test::ReadBytes;
using quenlo::test::TempDir;
namespace fs = std::filesystem;

namespace {

// Answers the dialogs from queues and records the boxes shown.
class FakeDialogs : public IDialogs {
public:
    std::deque<std::optional<QStringList>> files;
    std::deque<std::optional<QString>> folders, texts, saveNames, openNames;
    std::vector<OpenFilesRequest> requests;
    QStringList errors, warnings, starts;

    std::optional<QStringList> OpenFiles(QWidget*, OpenFilesRequest& r) override {
        requests.push_back(r);
        auto f = files.front();
        files.pop_front();
        return f;
    }
    std::optional<QString> ChooseFolder(QWidget*, const QString& start) override {
        starts << start;
        auto f = folders.front();
        folders.pop_front();
        return f;
    }
    std::optional<QString> AskText(QWidget*, const QString&, const QString&) override { return Pop(texts); }
    std::optional<QString> SaveFileName(QWidget*, const QString&, const QString&) override { return Pop(saveNames); }
    std::optional<QString> OpenFileName(QWidget*, const QString&, const QString&) override { return Pop(openNames); }
    static std::optional<QString> Pop(std::deque<std::optional<QString>>& q) {
        auto f = q.front();
        q.pop_front();
        return f;
    }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
    void ShowWarning(QWidget*, const QString& text) override { warnings << text; }
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

void WritePair(const std::string& base, int w, int h, uint8_t seed) {
    test::WriteText(base + ".ipr", std::to_string(w) + " " + std::to_string(h) + " 0 0");
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 5 + seed);
    test::WriteBytes(base + ".rgb", rgb);
}

std::vector<uint8_t> Expected(const std::string& input) {
    auto m = LoadImageFile(PixelKind::RGB, input);
    return EncodeBmp(static_cast<TPixelMapRGB&>(*m));
}

struct Window {
    FakeDialogs dialogs;
    TForm1 form{dialogs};
};

}  // namespace

TEST(Window, StartsAsDesigned) {
    Window w;
    EXPECT_EQ(w.form.windowTitle(), "QUENLO ");
    EXPECT_EQ(w.form.StatusText(), "---");
    EXPECT_FALSE(w.form.StatusBar1->isSizeGripEnabled());
    EXPECT_EQ(w.form.Button3->text(), "Select Targets");
    EXPECT_EQ(w.form.Button1->text(), "...");
    EXPECT_EQ(w.form.Edit1->text(), "");
    EXPECT_EQ(w.form.ImageNode()->Width, 0);
    EXPECT_FALSE(w.form.ImageNode()->Visible);
    EXPECT_EQ(w.form.PaintBox1->width(), 0);
    EXPECT_EQ(w.form.Preview()->ZoomNum(), 100);
    EXPECT_EQ(w.form.Preview()->ZoomDen(), 100);
    // Edit1 and Button1 follow the right edge.
    w.form.resize(719, 613);
    w.form.show();
    QApplication::processEvents();
    const int panelWidth = w.form.Panel1->width();
    EXPECT_EQ(w.form.Button1->geometry().right() + 1, panelWidth - 6);
    EXPECT_EQ(w.form.Edit1->geometry().right() + 1, panelWidth - 38);
}

TEST(Window, BatchConvertsPairsAndShowsEachSize) {
    TempDir dir;
    WritePair(dir / "a", 7, 5, 1);
    WritePair(dir / "b", 9, 3, 2);
    Window w;
    w.form.Edit1->setText(Q(dir / "out/deep"));
    w.dialogs.files.push_back(QStringList{Q(dir / "a.ipr"), Q(dir / "b.rgb")});
    w.form.Button3Click();
    // The specified filters, then every extension read, then anything; "Image files" first.
    const QStringList filters = w.dialogs.requests.at(0).filters;
    ASSERT_EQ(filters.size(), 4);
    EXPECT_EQ(filters.mid(0, 2), (QStringList{"RGB files (*.rgb)", "IPR files (*.ipr)"}));
    EXPECT_EQ(filters[3], "All files (*)");
    EXPECT_EQ(w.dialogs.requests.at(0).selectedFilter, 2);
    const QStringList patterns = filters[2].section('(', 1).chopped(1).split(' ');
    for (const char* ext : {".rgb", ".jpe", ".jfif", ".gif", ".hif", ".avif", ".webp"})
        EXPECT_TRUE(patterns.contains(QStringLiteral("*") + QLatin1String(ext))) << ext;
    for (QString pattern : patterns)
        EXPECT_NE(KindByName(pattern.replace('*', "a").toStdString()), ImageKind::None) << pattern.toStdString();
    EXPECT_EQ(ReadBytes(dir / "out/deep/a.bmp"), Expected(dir / "a.ipr"));
    EXPECT_EQ(ReadBytes(dir / "out/deep/b.bmp"), Expected(dir / "b.ipr"));
    EXPECT_EQ(w.form.StatusText(), "b.rgb  9,3");  // its own size, once it is in place
    EXPECT_EQ(w.form.PaintBox1->width(), 9);
    EXPECT_EQ(w.form.PaintBox1->height(), 3);
    EXPECT_TRUE(w.dialogs.errors.isEmpty());
    EXPECT_TRUE(w.dialogs.warnings.isEmpty());

    // A trailing separator changes nothing.
    Window fresh;
    fresh.form.Edit1->setText(Q(dir / "out2/"));
    fresh.dialogs.files.push_back(QStringList{Q(dir / "a.ipr")});
    fresh.form.Button3Click();
    EXPECT_EQ(fresh.form.StatusText(), "a.ipr  7,5");
    EXPECT_EQ(ReadBytes(dir / "out2/a.bmp"), Expected(dir / "a.ipr"));
}

TEST(Window, WithoutAFolderOutputsGoBesideTheirSources) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 7);
    Window w;
    w.dialogs.files.push_back(QStringList{Q(dir / "a.rgb")});
    w.form.Button3Click();
    EXPECT_EQ(ReadBytes(dir / "a.bmp"), Expected(dir / "a.ipr"));
}

TEST(Window, CancellingEitherDialogChangesNothing) {
    Window w;
    w.dialogs.files.push_back(std::nullopt);
    w.form.Button3Click();
    w.dialogs.folders.push_back(std::nullopt);
    w.form.Button1Click();
    EXPECT_EQ(w.form.StatusText(), "---");
    EXPECT_EQ(w.form.Edit1->text(), "");
}

TEST(Window, FolderButtonCreatesTheFolder) {
    TempDir dir;
    Window w;
    w.dialogs.folders.push_back(Q(dir / "new/sub"));
    w.form.Button1Click();
    EXPECT_EQ(w.form.Edit1->text(), Q(dir / "new/sub"));
    EXPECT_TRUE(fs::is_directory(dir / "new/sub"));
}

TEST(Window, AMissingRgbStopsTheBatchWithTheMessage) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 7);
    test::WriteText(dir / "b.ipr", "3 3 0 0");
    WritePair(dir / "c", 3, 3, 9);
    Window w;
    w.form.Edit1->setText(Q(dir / "out"));
    w.form.show();
    w.dialogs.files.push_back(QStringList{Q(dir / "a.ipr"), Q(dir / "b.ipr"), Q(dir / "c.ipr")});
    // Through the button, as a user would: the error becomes a box.
    w.form.Button3->click();
    ASSERT_EQ(w.dialogs.errors.size(), 1);
    EXPECT_TRUE(w.dialogs.errors[0].contains(QStringLiteral("ファイルが見つかりません")));
    EXPECT_TRUE(w.dialogs.errors[0].contains(Q(dir / "b.ipr")));
    EXPECT_TRUE(w.dialogs.errors[0].contains("1 of 3 not reached")) << w.dialogs.errors[0].toStdString();
    EXPECT_TRUE(w.dialogs.errors[0].endsWith('.'));
    EXPECT_TRUE(fs::exists(dir / "out/a.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out/c.bmp"));
    EXPECT_EQ(w.form.StatusText(), "b.ipr  failed");  // by name, never a size not its own
}

TEST(Window, UnwritableOutputsAreSkippedAndListed) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 7);
    WritePair(dir / "b", 4, 2, 8);
    test::WriteText(dir / "odd.psd", "not read");
    fs::create_directories(dir / "out/a.bmp");  // a folder where a.bmp should go: cannot be replaced
    Window w;
    w.form.Edit1->setText(Q(dir / "out"));
    w.dialogs.files.push_back(QStringList{Q(dir / "a.ipr"), Q(dir / "odd.psd"), Q(dir / "b.ipr")});
    w.form.Button3Click();
    EXPECT_EQ(ReadBytes(dir / "out/b.bmp"), Expected(dir / "b.ipr"));
    EXPECT_TRUE(fs::is_directory(dir / "out/a.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out/odd.bmp"));  // never an empty .bmp
    // Listed by input in the results, without a box: the batch did not stop.
    EXPECT_TRUE(w.dialogs.warnings.isEmpty() && w.dialogs.errors.isEmpty());
    const QString list = w.form.Results->Lines().join('\n');
    EXPECT_TRUE(list.contains(Q(dir / "a.ipr: ")) && list.contains(Q(dir / "odd.psd: "))) << list.toStdString();
    EXPECT_FALSE(list.contains("b.ipr") || list.contains(".bmp: "));
}

// A batch that stops has one short box naming the input that stopped it,
// however many files failed before; the results list those, by input.
TEST(Window, TheStopBoxStaysShortAndNamesTheInput) {
    TempDir dir;
    QStringList files;
    for (int i = 0; i < 40; ++i) {
        const std::string name = std::string("p").append(std::to_string(i));
        WritePair(dir / name, 3, 3, uint8_t(i));
        fs::create_directories(fs::path(dir / "out") / (name + ".bmp"));  // cannot be replaced
        files << Q(dir / (name + ".ipr"));
    }
    test::WriteText(dir / "z.ipr", "3 3 0 0");
    Window w;
    w.form.Edit1->setText(Q(dir / "out"));
    w.dialogs.files.push_back(files << Q(dir / "z.ipr"));
    w.form.Button3->click();
    ASSERT_EQ(w.dialogs.errors.size(), 1);
    EXPECT_TRUE(w.dialogs.errors[0].startsWith(Q(dir / "z.ipr: "))) << w.dialogs.errors[0].toStdString();
    EXPECT_TRUE(w.dialogs.errors[0].contains("40 more not written"));
    EXPECT_LE(w.dialogs.errors[0].count('\n'), 4);
    EXPECT_EQ(w.form.Results->Lines().size(), 41);
    EXPECT_TRUE(w.dialogs.warnings.isEmpty());
}

TEST(Window, AnUncreatableFolderStopsBeforeAnyFile) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 7);
    test::WriteText(dir / "file", "x");
    Window w;
    w.form.Edit1->setText(Q(dir / "file/sub"));
    w.dialogs.files.push_back(QStringList{Q(dir / "a.ipr")});
    w.form.Button3->click();
    ASSERT_EQ(w.dialogs.errors.size(), 1);
    EXPECT_EQ(w.dialogs.errors[0], "Cannot create " + Q(dir / "file/sub") + ".");
    EXPECT_EQ(w.form.StatusText(), "---");
}

TEST(Window, PreviewShowsTheImageAndADragPaintsIt) {
    TempDir dir;
    WritePair(dir / "a", 61, 41, 3);
    Window w;
    w.form.show();
    w.dialogs.files.push_back(QStringList{Q(dir / "a.ipr")});
    w.form.Button3Click();
    QApplication::processEvents();
    TQtPaintBox* box = w.form.PaintBox1;
    EXPECT_EQ(box->size(), QSize(61, 41));
    // The control shows the picture, B,G,R turned into colours, to its last row and column.
    const TPixelMapRGB& map = *w.form.ImageNode()->Map;
    QImage shown = box->grab().toImage();
    for (QPoint p : {QPoint(0, 0), QPoint(60, 40), QPoint(13, 27)}) {
        const uint8_t* px = map.PixelAddr(p.x(), p.y());
        EXPECT_EQ(shown.pixel(p), qRgb(px[2], px[1], px[0])) << p.x() << "," << p.y();
    }
    const std::vector<uint8_t> before(map.Data(), map.Data() + map.DataSize());
    QTest::mouseMove(box, QPoint(30, 20));  // no button: paints nothing
    EXPECT_EQ(std::vector<uint8_t>(map.Data(), map.Data() + map.DataSize()), before);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(30, 20), QPointF(30, 20), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(box, &press);
    QMouseEvent move(QEvent::MouseMove, QPointF(32, 21), QPointF(32, 21), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(box, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(32, 21), QPointF(32, 21), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(box, &release);
    QApplication::processEvents();
    EXPECT_NE(std::vector<uint8_t>(map.Data(), map.Data() + map.DataSize()), before);
    EXPECT_TRUE(box->Pending().isEmpty());  // the move itself ran the paint events
    const uint8_t* centre = map.PixelAddr(32, 21);
    shown = box->grab().toImage();
    EXPECT_EQ(shown.pixel(32, 21), qRgb(centre[2], centre[1], centre[0]));
}

TEST(ErrorBox, AppendsADotAfterLaterCharacters) {
    EXPECT_EQ(ErrorBoxText("Cannot create x"), "Cannot create x.");
    EXPECT_EQ(ErrorBoxText(QStringLiteral("ファイルが見つかりません")), QStringLiteral("ファイルが見つかりません."));
    EXPECT_EQ(ErrorBoxText("done."), "done.");
    EXPECT_EQ(ErrorBoxText("(2)"), "(2)");  // ")" comes before "."
    EXPECT_EQ(ErrorBoxText(""), "");
}

namespace {
// Runs action once, between files, as soon as `files` files are done.
void AfterFiles(TForm1& form, int files, std::function<void()> action) {
    auto* timer = new QTimer(&form);
    QObject::connect(timer, &QTimer::timeout, &form, [=, &form] {
        if (form.FilesDone() < files) return;
        timer->deleteLater();
        timer->stop();
        action();
    });
    timer->start(0);
}

// Five pairs in dir/in/sub, so dropping dir/in converts them all.
void WriteFive(const TempDir& dir) {
    fs::create_directories(dir / "in/sub");
    for (int i = 0; i < 5; ++i) WritePair(dir / ("in/sub/p" + std::to_string(i)), 5 + i, 3, uint8_t(i));
}
}  // namespace

TEST(WindowBatch, CancelStopsAfterTheFileInHandAndNothingReenters) {
    TempDir dir;
    WriteFive(dir);
    WritePair(dir / "other", 3, 3, 9);
    Window w;
    w.form.show();
    w.form.FrameMs = 0;
    w.form.Edit1->setText(Q(dir / "out"));
    bool checked = false;
    AfterFiles(w.form, 2, [&] {
        EXPECT_TRUE(w.form.BatchRunning());
        EXPECT_FALSE(w.form.Button3->isEnabled() || w.form.Button1->isEnabled() || w.form.acceptDrops());
        EXPECT_EQ(w.form.BatchProgress->text(), "2 / 5");
        EXPECT_TRUE(w.form.StatusBar1->rect().contains(w.form.CancelButton->geometry()));  // not clipped
        w.form.ConvertFiles(QStringList{Q(dir / "other.ipr")});  // ignored while the batch runs
        QTest::keyClick(&w.form, Qt::Key_Escape);
        checked = true;
    });
    w.form.ConvertFiles(QStringList{Q(dir / "in")});
    EXPECT_TRUE(checked);
    EXPECT_TRUE(w.dialogs.warnings.isEmpty());  // the summary says so
    EXPECT_EQ(w.form.Results->Summary(), "2 converted, 0 failed, 3 not reached (cancelled)");
    const test::FolderSnapshot out = test::Snapshot(dir / "out");
    EXPECT_TRUE(out.count("sub/p0.bmp") && out.count("sub/p1.bmp"));
    EXPECT_FALSE(out.count("sub/p2.bmp") || out.count("other.bmp"));
    EXPECT_TRUE(w.form.Button3->isEnabled() && w.form.acceptDrops() && !w.form.CancelButton->isVisible());

    // Closing mid-batch stops the same way, silently, and then closes.
    AfterFiles(w.form, 1, [&] { w.form.close(); });
    w.form.ConvertFiles(QStringList{Q(dir / "in")});
    QApplication::processEvents();
    EXPECT_FALSE(w.form.isVisible());
    EXPECT_TRUE(w.dialogs.warnings.isEmpty());
}

TEST(WindowBatch, ZoomKeysFitAndPaintAtAnyZoom) {
    TempDir dir;
    WritePair(dir / "big", 900, 700, 3);
    Window w;
    w.form.show();
    w.form.ConvertFiles(QStringList{Q(dir / "big.ipr")});
    TQtPaintBox* box = w.form.PaintBox1;
    QTest::keyClick(&w.form, Qt::Key_9, Qt::ControlModifier);
    const QSize room = w.form.ScrollBox1->viewport()->size();
    EXPECT_LT(w.form.Preview()->GetZoom(), 100);
    EXPECT_TRUE(box->width() <= room.width() && box->height() <= room.height()) << box->width() << "x" << box->height();
    QTest::keyClick(&w.form, Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(box->size(), QSize(900, 700));
    QTest::keyClick(&w.form, Qt::Key_Equal, Qt::ControlModifier);
    QTest::keyClick(&w.form, Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_EQ(w.form.Preview()->GetZoom(), 200);
    QTest::keyClick(&w.form, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(w.form.Preview()->GetZoom(), 150);

    // At 150 % a drag to screen (303, 151) paints a spot round scene pixel (202, 100).
    const TPixelMapRGB& map = *w.form.ImageNode()->Map;
    const std::vector<uint8_t> before(map.Data(), map.Data() + map.DataSize());
    for (auto [type, at, button, buttons] :
         {std::tuple{QEvent::MouseButtonPress, QPointF(300, 150), Qt::LeftButton, Qt::LeftButton},
          std::tuple{QEvent::MouseMove, QPointF(303, 151), Qt::NoButton, Qt::LeftButton},
          std::tuple{QEvent::MouseButtonRelease, QPointF(303, 151), Qt::LeftButton, Qt::NoButton}}) {
        QMouseEvent e(type, at, at, button, buttons, Qt::NoModifier);
        QApplication::sendEvent(box, &e);
    }
    QApplication::processEvents();
    QRect spot;
    for (int y = 0; y < map.Height(); ++y)
        for (int x = 0; x < map.Width(); ++x)
            if (std::memcmp(map.PixelAddr(x, y), before.data() + (map.PixelAddr(x, y) - map.Data()), 3) != 0)
                spot |= QRect(x, y, 1, 1);
    ASSERT_FALSE(spot.isEmpty());
    EXPECT_LT((spot.center() - QPoint(202, 100)).manhattanLength(), 30) << spot.center().x() << "," << spot.center().y();
}

namespace {
// a good pair, b.ipr without its .rgb, c.jpg that is no JPEG, d.jpg cut in
// half, e a good pair: in this order.
QStringList WriteMixed(const TempDir& dir) {
    WritePair(dir / "a", 7, 5, 1);
    test::WriteText(dir / "b.ipr", "3 3 0 0");
    test::WriteText(dir / "c.jpg", "not a jpeg at all");
    const std::vector<uint8_t> photo = ReadBytes(QUENLO_SOURCE_DIR "/samples/harbour-photo.jpg");
    test::WriteBytes(dir / "d.jpg", std::vector<uint8_t>(photo.begin(), photo.begin() + photo.size() / 2));
    WritePair(dir / "e", 5, 3, 2);
    QStringList files;
    for (const char* name : {"a.ipr", "b.ipr", "c.jpg", "d.jpg", "e.ipr"}) files << Q(dir / name);
    return files;
}

// The list's lines with the folder taken out of each name.
QStringList Named(const QStringList& lines, const TempDir& dir) {
    QStringList out;
    for (QString line : lines) out << line.replace(Q(dir / ""), "");
    return out;
}
}  // namespace

TEST(WindowResults, AMixedBatchIsSummedUpAndListed) {
    for (bool keepGoing : {false, true}) {
        SCOPED_TRACE(keepGoing ? "keep going" : "stop");
        TempDir dir;
        const QStringList files = WriteMixed(dir);
        Window w;
        w.form.Jobs = 2;
        w.form.KeepGoingBox->setChecked(keepGoing);
        w.form.Edit1->setText(Q(dir / "out"));
        w.dialogs.files.push_back(files);
        w.form.Button3->click();
        const QStringList lines = Named(w.form.Results->Lines(), dir);
        ASSERT_GE(lines.size(), 3) << lines.join('\n').toStdString();
        EXPECT_EQ(lines[0], QStringLiteral("b.ipr: ファイルが見つかりません"));
        if (!keepGoing) {
            EXPECT_EQ(w.form.Results->Summary(), "1 converted, 1 failed, 3 not reached (stopped by a failed load)");
            EXPECT_EQ(lines.mid(1), (QStringList{"c.jpg: not reached", "d.jpg: not reached", "e.ipr: not reached"}));
            EXPECT_EQ(w.dialogs.errors.size(), 1);
            EXPECT_FALSE(fs::exists(dir / "out/e.bmp"));
            continue;
        }
        EXPECT_EQ(w.form.Results->Summary(), "3 converted, 2 failed, 0 not reached");
        ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines[1].startsWith("c.jpg: ") && lines[1].contains("Not a JPEG file")) << lines[1].toStdString();
        EXPECT_TRUE(lines[2].startsWith("d.jpg: warning: ")) << lines[2].toStdString();
        EXPECT_TRUE(lines[3].startsWith("d.jpg: warning: ")) << lines[3].toStdString();
        EXPECT_TRUE(w.dialogs.errors.isEmpty());
        EXPECT_EQ(ReadBytes(dir / "out/e.bmp"), Expected(dir / "e.ipr"));
        EXPECT_TRUE(fs::exists(dir / "out/d.bmp"));
        // The preview holds the last image put in place, the status its own size.
        EXPECT_EQ(w.form.StatusText(), "e.ipr  5,3");
        EXPECT_TRUE(w.form.Results->Text().startsWith(w.form.Results->Summary() + "\n" + Q(dir / "b.ipr")));
    }
}

TEST(WindowResults, SkippedOutputsAreCountedAndTheFolderFieldIsLockedMeanwhile) {
    TempDir dir;
    WriteFive(dir);
    Window w;
    w.form.Edit1->setText(Q(dir / "out"));
    w.form.ConvertFiles(QStringList{Q(dir / "in")});
    EXPECT_EQ(w.form.Results->Summary(), "5 converted, 0 failed, 0 not reached");
    w.form.SkipExistingBox->setChecked(true);
    bool locked = false;
    AfterFiles(w.form, 1, [&] {
        locked = w.form.Edit1->isReadOnly() && !w.form.SkipExistingBox->isEnabled() && !w.form.FormatBox->isEnabled();
    });
    w.form.ConvertFiles(QStringList{Q(dir / "in")});
    EXPECT_EQ(w.form.Results->Summary(), "0 converted, 0 failed, 0 not reached, 5 skipped");
    EXPECT_TRUE(locked);
    EXPECT_FALSE(w.form.Edit1->isReadOnly());
}

// Whole images (through the preview's copy) and streamed pairs alike, at
// one job and several.
TEST(WindowResults, APngBatchWritesThePixelsOfTheBmp) {
    TempDir dir;
    WritePair(dir / "a", 7, 5, 1);
    WritePair(dir / "b", 9, 3, 2);
    WritePair(dir / "c", 5, 7, 3);
    SaveBmpFile(*LoadImageFile(PixelKind::RGB, dir / "c.ipr"), dir / "c.bmp");
    for (int jobs : {1, 3}) {
        Window w;
        w.form.Jobs = jobs;
        w.form.FormatBox->setCurrentIndex(static_cast<int>(OutputFormat::Png));
        w.form.Edit1->setText(Q(dir / "out"));
        w.form.ConvertFiles(QStringList{Q(dir / "a.ipr"), Q(dir / "b.ipr"), Q(dir / "c.bmp")});
        EXPECT_EQ(w.form.Results->Summary(), "3 converted, 0 failed, 0 not reached");
        for (const std::string name : {"a", "b", "c"}) {
            auto png = LoadImageFile(PixelKind::RGB, dir / ("out/" + name + ".png"));
            ASSERT_TRUE(png) << name;
            EXPECT_EQ(ReadBytes(dir / ("out/" + name + ".png")).at(1), 'P') << name;  // a PNG, not a .bmp renamed
            EXPECT_EQ(EncodeBmp(static_cast<TPixelMapRGB&>(*png)), Expected(dir / (name + ".ipr"))) << name;
            EXPECT_FALSE(fs::exists(dir / ("out/" + name + ".bmp")));
        }
        // The last file, a whole image, is the preview's.
        EXPECT_EQ(EncodeBmp(*w.form.ImageNode()->Map), Expected(dir / "c.ipr"));
    }
}

TEST(WindowResults, TheResizeBoxSizesWhatIsWrittenAndShown) {
    TempDir dir;
    WritePair(dir / "a", 21, 9, 1);
    Window w;
    w.form.Edit1->setText(Q(dir / "out"));
    // A bare number is the long side; the preview shows what was written.
    w.form.ResizeBox->setText("7");
    w.form.FilterBox->setCurrentIndex(w.form.FilterBox->findText("Nearest"));
    w.form.ConvertFiles(QStringList{Q(dir / "a.ipr")});
    auto out = LoadImageFile(PixelKind::RGB, dir / "out/a.bmp");
    ASSERT_TRUE(out);
    EXPECT_EQ(QSize(out->Width(), out->Height()), QSize(7, 3));
    EXPECT_EQ(EncodeBmp(*w.form.ImageNode()->Map), ReadBytes(dir / "out/a.bmp"));
    // Nearest takes the middle pixel of each 3 x 3 block.
    auto in = LoadImageFile(PixelKind::RGB, dir / "a.ipr");
    EXPECT_EQ(std::memcmp(out->PixelAddr(2, 1), in->PixelAddr(7, 4), 3), 0);
    // A size that is no size stops before anything is written.
    w.form.ResizeBox->setText("big");
    w.form.Edit1->setText(Q(dir / "again"));
    w.form.Button3->setEnabled(true);
    w.dialogs.files.push_back(QStringList{Q(dir / "a.ipr")});
    w.form.Button3->click();
    EXPECT_EQ(w.dialogs.errors.size(), 1);
    EXPECT_FALSE(fs::exists(dir / "again/a.bmp"));
}

// quenlo -o DIR is for that run: the folder remembered before stays, unless
// the field is changed.
TEST(WindowSettings, AnOutputFolderForThisRunIsNotRemembered) {
    TempDir dir;
    QSettings settings(Q(dir / "settings.ini"), QSettings::IniFormat);
    const auto remembered = [&] { return TWindowSettings::Load(settings).outputDir; };
    FakeDialogs dialogs;
    TForm1 form(dialogs, &settings);
    form.Edit1->setText("kept");
    form.SaveSettings();
    form.SetOutputDirForRun("run");
    form.SaveSettings();
    EXPECT_EQ(form.Edit1->text(), "run");
    EXPECT_EQ(remembered(), "kept");
    form.Edit1->setText("typed");
    form.SaveSettings();
    EXPECT_EQ(remembered(), "typed");
}

// The Results panel appears without widening a narrow window.
TEST(WindowLayout, TheResultsPanelKeepsTheWidth) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 7);
    Window w;
    w.form.resize(360, 500);
    w.form.show();
    QApplication::processEvents();
    w.form.KeepGoingBox->setChecked(true);
    w.form.ConvertFiles(QStringList{Q(dir / "a.ipr"), Q(dir / "missing-with-a-long-name-that-fills-the-summary.ipr")});
    QApplication::processEvents();
    EXPECT_TRUE(w.form.ResultsDock->isVisible());
    EXPECT_EQ(w.form.width(), 360);
}

// Ctrl+9 is kept as fitting each image, not as the percentage one image took.
TEST(WindowSettings, FitIsRememberedAsAMode) {
    TempDir dir;
    WritePair(dir / "big", 601, 301, 1);
    WritePair(dir / "small", 7, 5, 2);
    QSettings settings(Q(dir / "settings.ini"), QSettings::IniFormat);
    {
        FakeDialogs dialogs;
        TForm1 form(dialogs, &settings);
        form.resize(400, 400);
        form.show();
        form.ConvertFiles(QStringList{Q(dir / "big.ipr")});
        QTest::keyClick(&form, Qt::Key_9, Qt::ControlModifier);
        EXPECT_LT(form.Zoomer().Percent(), 100);
    }
    FakeDialogs dialogs;
    TForm1 form(dialogs, &settings);
    form.show();
    form.ConvertFiles(QStringList{Q(dir / "small.ipr")});
    EXPECT_TRUE(form.Zoomer().Fitting());
    EXPECT_EQ(form.Zoomer().Percent(), 100);
    form.Zoomer().In();  // another zoom ends it
    EXPECT_FALSE(form.Zoomer().Fitting());
}

TEST(WindowSettings, ChoicesComeBackInTheNextWindow) {
    TempDir dir;
    fs::create_directories(dir / "typed");
    const QString file = Q(dir / "settings.ini");
    {
        QSettings settings(file, QSettings::IniFormat);
        FakeDialogs dialogs;
        TForm1 form(dialogs, &settings);
        EXPECT_FALSE(form.KeepGoingBox->isChecked() || form.SkipExistingBox->isChecked() ||
                     form.ReplaceOriginalsBox->isChecked());  // off by default
        form.Edit1->setText(Q(dir / "typed/not/yet"));
        // "..." opens at the nearest folder that exists.
        dialogs.folders.push_back(std::nullopt);
        form.Button1Click();
        EXPECT_EQ(dialogs.starts, QStringList{Q(dir / "typed")});
        form.KeepGoingBox->setChecked(true);
        form.SkipExistingBox->setChecked(true);
        form.ReplaceOriginalsBox->setChecked(true);
        EXPECT_EQ(form.FormatBox->currentText(), "BMP");
        form.FormatBox->setCurrentIndex(static_cast<int>(OutputFormat::Tiff));
        form.ResizeBox->setText("1600x1600>");
        form.FilterBox->setCurrentIndex(form.FilterBox->findText("Box"));
        EXPECT_FALSE(form.UprightBox->isChecked());
        form.UprightBox->setChecked(true);
        form.PngLevelBox->setValue(9);
        form.TiffBox->setCurrentIndex(static_cast<int>(TiffCompression::Deflate));
        form.BackgroundBox->setText("#102030");
        form.Zoomer().SetPercent(200);
        form.resize(640, 480);
        dialogs.files.push_back(std::nullopt);
        form.Button3Click();
    }
    QSettings settings(file, QSettings::IniFormat);
    FakeDialogs dialogs;
    TForm1 form(dialogs, &settings);
    EXPECT_EQ(form.Edit1->text(), Q(dir / "typed/not/yet"));
    EXPECT_TRUE(form.KeepGoingBox->isChecked() && form.SkipExistingBox->isChecked() && form.ReplaceOriginalsBox->isChecked());
    EXPECT_EQ(form.CurrentSettings().format, OutputFormat::Tiff);
    EXPECT_EQ(form.ResizeBox->text(), "1600x1600>");
    EXPECT_EQ(form.CurrentSettings().filter, ResampleFilter::Box);
    EXPECT_EQ(form.CurrentSettings().pngLevel, 9);
    EXPECT_EQ(form.CurrentSettings().tiffCompression, TiffCompression::Deflate);
    EXPECT_TRUE(form.UprightBox->isChecked());
    EXPECT_EQ(form.BackgroundBox->text(), "#102030");
    EXPECT_EQ(form.Zoomer().Percent(), 200);
    EXPECT_EQ(form.ZoomLabel->text(), "200 %");
    EXPECT_EQ(form.size(), QSize(640, 480));

    // The open dialog comes back at the folder and filter it was left at.
    dialogs.files.push_back(std::nullopt);
    TWindowSettings chosen = form.CurrentSettings();
    chosen.inputDir = Q(dir.str());
    chosen.inputFilter = 2;
    form.ApplySettings(chosen);
    form.Button3Click();
    EXPECT_EQ(dialogs.requests.at(0).directory, Q(dir.str()));
    EXPECT_EQ(dialogs.requests.at(0).selectedFilter, 2);
}

// Run with QT_SCALE_FACTOR=2 (a test of its own in CMake): 100 % is one image
// pixel per device pixel, and a press lands on the pixel under it.
TEST(WindowLayout, OpensWithinTheScreenWithAHintAndTooltips) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 7);
    Window w;
    w.form.resize(5000, 4000);
    w.form.move(-300, 2000);
    w.form.show();
    w.form.FitOnScreen();
    EXPECT_TRUE(w.form.screen()->availableGeometry().contains(w.form.frameGeometry()));
    for (QWidget* control : std::initializer_list<QWidget*>{w.form.Button3, w.form.Edit1, w.form.Button1, w.form.KeepGoingBox,
                                                            w.form.SkipExistingBox, w.form.ReplaceOriginalsBox, w.form.FormatBox, w.form.WatchButton, w.form.ZoomLabel, w.form.Results->List,
                                                            w.form.Results->CopyButton, w.form.Results->OpenFolderButton})
        EXPECT_FALSE(control->toolTip().isEmpty()) << control->metaObject()->className();
    EXPECT_TRUE(w.form.EmptyHint->isVisible());
    w.form.ConvertFiles(QStringList{Q(dir / "a.ipr")});
    EXPECT_FALSE(w.form.EmptyHint->isVisible());
}

// The designed window on common screens at scale 1 and 2, with a panel at
// the top and one at the bottom: the frame, title bar included, stays inside.
TEST(WindowLayout, TheWholeFrameFitsEachScreen) {
    Window w;
    w.form.show();
    QApplication::processEvents();
    const QSize design(519, 613);
    for (const QSize screen : {QSize(1920, 1080), QSize(1366, 768), QSize(1024, 600)})
        for (const int scale : {1, 2}) {
            SCOPED_TRACE(QStringLiteral("%1x%2 at %3").arg(screen.width()).arg(screen.height()).arg(scale).toStdString());
            const QRect room(0, 24 / scale, screen.width() / scale, (screen.height() - 24 - 40) / scale);
            w.form.resize(design);
            w.form.move(0, 0);
            QApplication::processEvents();
            const int titleBar = w.form.geometry().top() - w.form.frameGeometry().top();
            ASSERT_EQ(w.form.size(), design);
            w.form.FitWithin(room);
            QApplication::processEvents();
            const QRect frame = w.form.frameGeometry();
            EXPECT_TRUE(room.contains(frame)) << frame.left() << "," << frame.top() << " " << frame.width() << "x" << frame.height() << " min " << w.form.minimumSizeHint().width() << "x" << w.form.minimumSizeHint().height();
            EXPECT_GE(w.form.geometry().top() - room.top(), titleBar);
            if (room.height() > design.height() + 60) {
                EXPECT_EQ(w.form.size(), design);  // shrunk only when needed
            }
        }
}

// With the queue shown after a batch, 1366 x 768 still holds the whole window at scale 1 and 2.
TEST(WindowLayout, TheQueueFitsOn1366x768) {
    TempDir dir;
    WritePair(dir / "a", 3, 3, 7);
    Window w;
    w.form.show();
    w.form.ConvertFiles(QStringList{Q(dir / "a.ipr")});
    ASSERT_TRUE(w.form.ResultsDock->isVisible());
    for (const int scale : {1, 2}) {
        const QRect room(0, 24 / scale, 1366 / scale, (768 - 24 - 40) / scale);
        w.form.resize(519, 613);
        w.form.FitWithin(room);
        QApplication::processEvents();
        EXPECT_TRUE(room.contains(w.form.frameGeometry())) << scale;
        EXPECT_TRUE(w.form.ResultsDock->isVisible() && w.form.Results->QueueView->height() > 0);
    }
}

TEST(WindowHighDpi, OneImagePixelIsOneDevicePixel) {
    TempDir dir;
    WritePair(dir / "a", 61, 41, 3);
    Window w;
    w.form.show();
    if (w.form.devicePixelRatioF() < 1.5) GTEST_SKIP() << "needs QT_SCALE_FACTOR=2";
    w.form.ConvertFiles(QStringList{Q(dir / "a.ipr")});
    QApplication::processEvents();
    TQtPaintBox* box = w.form.PaintBox1;
    EXPECT_EQ(box->DeviceSize(), QSize(61, 41));
    EXPECT_EQ(box->size(), QSize(31, 21));  // widget units, rounded up
    const TPixelMapRGB& map = *w.form.ImageNode()->Map;
    const QImage shown = box->grab().toImage();
    ASSERT_GE(shown.width(), 61);
    for (QPoint p : {QPoint(0, 0), QPoint(1, 0), QPoint(60, 40), QPoint(13, 27), QPoint(14, 27)}) {
        const uint8_t* px = map.PixelAddr(p.x(), p.y());
        EXPECT_EQ(shown.pixel(p), qRgb(px[2], px[1], px[0])) << p.x() << "," << p.y();
    }
    // A drag at widget point (15, 10) paints round device, and image, pixel (30, 20).
    for (auto [type, button, buttons] : {std::tuple{QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton},
                                         std::tuple{QEvent::MouseMove, Qt::NoButton, Qt::LeftButton},
                                         std::tuple{QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton}}) {
        QMouseEvent e(type, QPointF(15, 10), QPointF(15, 10), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(box, &e);
    }
    const TPointF spot = w.form.ImageNode()->LastPaint;
    EXPECT_NEAR(spot.X, 30, 1);
    EXPECT_NEAR(spot.Y, 20, 1);
}

// At 50 % each screen pixel is the mean of the four it covers, so a line one
// pixel wide shows at half strength instead of coming and going.
TEST(WindowZoom, ZoomingOutAveragesPixels) {
    TempDir dir;
    const int w = 41, h = 21;
    test::WriteText(dir / "line.ipr", std::to_string(w) + " " + std::to_string(h) + " 0 0");
    std::vector<uint8_t> rgb(size_t(w) * h * 3, 255);
    for (int y = 0; y < h; ++y) rgb[(size_t(y) * w + 11) * 3 + 1] = 0;  // column 11 without green
    test::WriteBytes(dir / "line.rgb", rgb);
    Window win;
    win.form.show();
    win.form.ConvertFiles(QStringList{Q(dir / "line.ipr")});
    win.form.Zoomer().SetPercent(50);
    QApplication::processEvents();
    const QImage shown = win.form.PaintBox1->grab().toImage();
    EXPECT_EQ(win.form.PaintBox1->size(), QSize(20, 10));
    EXPECT_EQ(win.form.ZoomLabel->text(), "50 %");
    EXPECT_EQ(shown.pixel(5, 4), qRgb(255, 128, 255));  // columns 10 and 11
    EXPECT_EQ(shown.pixel(4, 4), qRgb(255, 255, 255));
    EXPECT_EQ(shown.pixel(6, 4), qRgb(255, 255, 255));
}

TEST(WindowWatch, ConvertsWhatArrivesAndStopsAsABatchEnds) {
    TempDir dir;
    const std::string in = dir / "in";
    fs::create_directories(in);
    Window w;
    w.form.show();
    w.form.SettleMs = 50;
    // No output folder, or the watched one: said, and not started.
    w.form.StartWatch(Q(in));
    EXPECT_EQ(w.form.StatusText(), "a watch needs an output folder");
    // The button says so before it asks for a folder to watch, and only there.
    w.form.WatchButton->click();
    EXPECT_TRUE(w.dialogs.starts.isEmpty() && w.dialogs.errors.isEmpty() && !w.form.WatchButton->isChecked());
    EXPECT_TRUE(w.form.StatusText().contains("needs an output folder"));
    w.form.Edit1->setText(Q(in));
    w.form.StartWatch(Q(in));
    EXPECT_EQ(w.form.StatusText(), Q("the output folder " + in + "/ is also a watched folder; give another one"));
    EXPECT_FALSE(w.form.Watching() || w.form.WatchButton->isChecked());

    w.form.Edit1->setText(Q(dir / "out"));
    w.dialogs.folders.push_back(Q(in));
    w.form.WatchButton->click();
    ASSERT_TRUE(w.form.Watching());
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.form.StatusText() == Q("watching " + in + "/"); }, 5000));
    EXPECT_FALSE(w.form.Button3->isEnabled() || w.form.FormatBox->isEnabled() || w.form.acceptDrops());
    EXPECT_TRUE(w.form.WatchButton->isEnabled() && w.form.WatchButton->isChecked());

    // The .rgb first, as a scanner may write it; and a file that cannot be read.
    std::vector<uint8_t> rgb(7 * 5 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + 3);
    test::WriteBytes(in + "/a.rgb", rgb);
    test::WriteText(in + "/a.ipr", "7 5 0 0");
    test::WriteText(in + "/bad.bmp", "BM not an image");
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.form.PaintBox1->width() == 7 && w.form.Results->Lines().size() == 1; }, 5000));
    EXPECT_EQ(ReadBytes(dir / "out/a.bmp"), Expected(in + "/a.ipr"));
    EXPECT_TRUE(w.form.Results->Lines().value(0).startsWith(Q(in + "/bad.bmp: ")));
    EXPECT_EQ(w.form.StatusText(), Q("watching " + in + "/"));

    QTest::keyClick(&w.form, Qt::Key_Escape);
    EXPECT_FALSE(w.form.Watching() || w.form.WatchButton->isChecked());
    EXPECT_TRUE(w.form.Button3->isEnabled() && w.form.FormatBox->isEnabled() && w.form.acceptDrops() &&
                !w.form.CancelButton->isVisible());
    // The last file settled, with the size of the image put in place last.
    const QString last = w.form.StatusText();
    EXPECT_TRUE((last.startsWith("a.") && last.endsWith("  7,5")) || last == "bad.bmp  failed") << last.toStdString();
    EXPECT_EQ(w.form.Results->Summary(), "1 converted, 1 failed, 0 not reached");
    const TBatchQueue& queue = *w.form.Results->Queue;
    ASSERT_EQ(queue.Size(), 2u);  // in the order they settled
    EXPECT_EQ(queue.At(0).state == QueueState::Failed ? queue.At(0).input : queue.At(1).input, in + "/bad.bmp");
    EXPECT_FALSE(w.form.Results->RetryButton->isEnabled() || w.form.Results->SaveLogButton->isEnabled());

    // An output folder that cannot be made ends the watch it started, saying why.
    test::WriteText(dir / "file", "");
    w.form.Edit1->setText(Q(dir / "file/out"));
    w.form.StartWatch(Q(in));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.form.Watching(); }, 5000));
    EXPECT_EQ(w.form.StatusText(), Q("Cannot create " + (dir / "file/out")));
    EXPECT_TRUE(w.form.Button3->isEnabled() && !w.form.WatchButton->isChecked());

    // Closing the window stops a watch too.
    w.form.Edit1->setText(Q(dir / "out"));
    w.form.StartWatch(Q(in));
    ASSERT_TRUE(w.form.Watching());
    w.form.close();
    EXPECT_FALSE(w.form.Watching() || w.form.isVisible());
}

namespace {
QString States(const TBatchQueue& queue) {
    QStringList states;
    for (size_t i = 0; i < queue.Size(); ++i) states << QueueStateName(queue.At(i).state);
    return states.join(", ");
}
}  // namespace

TEST(WindowQueue, EachFileShowsItsStateAndTheFailedRunAgain) {
    for (bool keepGoing : {false, true}) {
        SCOPED_TRACE(keepGoing ? "keep going" : "stop");
        TempDir dir;
        const QStringList files = WriteMixed(dir);
        Window w;
        w.form.Jobs = 2;
        w.form.KeepGoingBox->setChecked(keepGoing);
        w.form.Edit1->setText(Q(dir / "out"));
        const TBatchQueue& queue = *w.form.Results->Queue;
        QString during;
        AfterFiles(w.form, 1, [&] { during = States(queue); });
        if (keepGoing) w.form.ConvertFiles(files);
        else EXPECT_THROW(w.form.ConvertFiles(files), EQuenlo);
        EXPECT_EQ(during, "converted, converting, waiting, waiting, waiting");
        EXPECT_EQ(States(queue), keepGoing ? "converted, failed, failed, warned, converted"
                                           : "converted, failed, not reached, not reached, not reached");
        EXPECT_EQ(queue.At(1).note, QStringLiteral("ファイルが見つかりません"));
        ASSERT_TRUE(w.form.Results->RetryButton->isEnabled());

        // b gets its pixels: run again, only the failed and unreached go.
        test::WriteBytes(dir / "b.rgb", std::vector<uint8_t>(27, 9));
        fs::remove(dir / "out/a.bmp");
        w.form.KeepGoingBox->setChecked(true);
        w.form.RetryFailed();
        EXPECT_EQ(States(queue), keepGoing ? "converted, failed" : "converted, failed, warned, converted");
        EXPECT_EQ(queue.At(0).input, files[1].toStdString());
        EXPECT_TRUE(fs::exists(dir / "out/b.bmp"));
        EXPECT_FALSE(fs::exists(dir / "out/a.bmp"));
    }
}

// A file of a dropped folder goes to its own place below the output folder
// when run again, under the number it had: not over the first file's output.
TEST(WindowQueue, ARetryKeepsTheFolderBelowTheOutputFolderAndTheNumber) {
    TempDir dir;
    WriteFive(dir);
    fs::rename(dir / "in/sub/p2.rgb", dir / "p2.rgb");
    Window w;
    w.form.KeepGoingBox->setChecked(true);
    w.form.Edit1->setText(Q(dir / "out"));
    w.form.NameBox->setText("img{n}");
    w.dialogs.folders.push_back(Q(dir / "in"));
    w.form.AddFolderClick();
    EXPECT_EQ(w.form.Results->Summary(), "4 converted, 1 failed, 0 not reached");
    fs::rename(dir / "p2.rgb", dir / "in/sub/p2.rgb");
    w.form.RetryFailed();
    EXPECT_EQ(w.form.Results->Summary(), "1 converted, 0 failed, 0 not reached");
    EXPECT_EQ(ReadBytes(dir / "out/sub/img3.bmp"), Expected(dir / "in/sub/p2.ipr"));
    EXPECT_EQ(ReadBytes(dir / "out/sub/img1.bmp"), Expected(dir / "in/sub/p0.ipr"));
}

TEST(WindowQueue, SaveLogWritesTheLastBatchAsJsonLines) {
    TempDir dir;
    const QStringList files = WriteMixed(dir);
    Window w;
    // While a batch runs the summary line shows its pace, as the command line's bar reckons it.
    w.form.Results->ShowPace(12, 340, 2.0);
    EXPECT_EQ(w.form.Results->Summary(), "12 of 340  6.0 files/s  0:55 left");
    EXPECT_FALSE(w.form.Results->SaveLogButton->isEnabled());
    w.form.KeepGoingBox->setChecked(true);
    w.form.Edit1->setText(Q(dir / "out"));
    w.form.ConvertFiles(files);
    EXPECT_TRUE(w.form.Results->SaveLogButton->isEnabled());
    w.dialogs.saveNames.push_back(Q(dir / "log.jsonl"));
    w.form.SaveLogClick();
    std::vector<nlohmann::json> lines;
    std::ifstream in(dir / "log.jsonl");
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1]["input"], dir / "b.ipr");
    EXPECT_EQ(lines[1]["status"], "failed");
    EXPECT_EQ(lines[1]["reason"], "not-found");
    EXPECT_EQ(lines[4]["status"], "converted");
    EXPECT_EQ(lines[5]["converted"], 3);
    EXPECT_EQ(lines[5]["failed"], 2);
}

TEST(WindowPresets, SavedPickedExportedAndImported) {
    TempDir dir;
    const QString exported = Q(dir / "presets.json");
    {
        QSettings settings(Q(dir / "one.ini"), QSettings::IniFormat);
        FakeDialogs dialogs;
        TForm1 form(dialogs, &settings);
        form.FormatBox->setCurrentIndex(static_cast<int>(OutputFormat::Png));
        form.PngLevelBox->setValue(9);
        form.ResizeBox->setText("800");
        form.UprightBox->setChecked(true);
        form.NameBox->setText("{name}-web");
        form.IfExistsBox->setCurrentIndex(static_cast<int>(ExistingOutput::Number));
        dialogs.texts = {QStringLiteral("Web"), QStringLiteral("Archive")};
        form.SavePresetClick();
        form.FormatBox->setCurrentIndex(static_cast<int>(OutputFormat::Tiff));
        form.TiffBox->setCurrentIndex(static_cast<int>(TiffCompression::Lzw));
        form.ResizeBox->clear();
        form.NameBox->clear();
        form.SkipExistingBox->setChecked(true);  // --skip-existing's box is the "skip" choice
        EXPECT_EQ(form.IfExistsBox->currentIndex(), static_cast<int>(ExistingOutput::Skip));
        form.SavePresetClick();
        form.SetOutputDirForRun(Q(dir / "run"));
        form.PickPreset(0);
        EXPECT_EQ(form.Edit1->text(), Q(dir / "run"));  // a preset leaves the folder alone
        const TWindowSettings web = form.CurrentSettings();
        EXPECT_EQ(web.format, OutputFormat::Png);
        EXPECT_EQ(web.pngLevel, 9);
        EXPECT_EQ(web.resize, "800");
        EXPECT_EQ(web.tiffCompression, TiffCompression::None);  // as saved, not as chosen since
        EXPECT_EQ(web.namePattern, "{name}-web");
        EXPECT_EQ(web.ifExists, ExistingOutput::Number);
        EXPECT_FALSE(form.SkipExistingBox->isChecked());
        dialogs.saveNames.push_back(exported);
        form.ExportPresetsClick();
    }
    QSettings settings(Q(dir / "two.ini"), QSettings::IniFormat);
    FakeDialogs dialogs;
    TForm1 form(dialogs, &settings);
    EXPECT_TRUE(form.Presets().empty());
    dialogs.openNames.push_back(exported);
    form.ImportPresetsClick();
    ASSERT_EQ(form.Presets().size(), 2u);
    EXPECT_EQ(form.PresetBox->itemText(1), "Archive");
    form.PickPreset(1);
    EXPECT_EQ(form.CurrentSettings().format, OutputFormat::Tiff);
    EXPECT_EQ(form.CurrentSettings().resize, "");
    EXPECT_TRUE(form.SkipExistingBox->isChecked());
    // Kept with the settings.
    QSettings again(Q(dir / "two.ini"), QSettings::IniFormat);
    EXPECT_EQ(LoadPresets(again).size(), 2u);
}

TEST(WindowPresets, ABadFileIsRefusedWithItsReason) {
    TempDir dir;
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"{\"quenlo-presets\": 1, \"presets\": [", "not JSON"},
        {"[1, 2]", "not a presets file"},
        {"{\"quenlo-presets\": 2, \"presets\": []}", "another version"},
        {"{\"quenlo-presets\": 1, \"presets\": [{\"format\": \"png\"}]}", "preset 1: name"},
        {"{\"quenlo-presets\": 1, \"presets\": [{\"name\": \"a\", \"quality\": 500}]}", "quality"},
        {"{\"quenlo-presets\": 1, \"presets\": [{\"name\": \"a\", \"format\": \"gif\"}]}", "format \"gif\""},
        {"{\"quenlo-presets\": 1, \"presets\": [{\"name\": \"a\", \"resize\": \"0x0\"}]}", "resize"},
    };
    QSettings settings(Q(dir / "s.ini"), QSettings::IniFormat);
    FakeDialogs dialogs;
    struct {
        FakeDialogs& dialogs;
        TForm1 form;
    } w{dialogs, TForm1(dialogs, &settings)};
    // A long name of wide characters is cut to what a file holds, and read back.
    w.dialogs.texts.push_back(QString(300, QChar(0x5199)));
    w.form.SavePresetClick();
    EXPECT_EQ(LoadPresets(settings).size(), 1u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        test::WriteText(dir / "bad.json", c.text);
        w.dialogs.openNames.push_back(Q(dir / "bad.json"));
        try {
            w.form.ImportPresetsClick();
            ADD_FAILURE() << "accepted";
        } catch (const EQuenlo& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
        ASSERT_EQ(w.form.Presets().size(), 1u);  // kept as they were
    }
    test::WriteText(dir / "big.json", std::string(kMaxPresetsFile + 1, ' '));
    EXPECT_THROW(ImportPresets(Q(dir / "big.json")), EQuenlo);
}

// The name box and the choice for existing outputs reach the plan.
TEST(WindowQueue, TheNamePatternAndNumberingNameTheOutputs) {
    TempDir dir;
    WritePair(dir / "a", 7, 5, 1);
    Window w;
    w.form.Edit1->setText(Q(dir / "out"));
    w.form.NameBox->setText("{name}-{w}x{h}");
    w.form.ConvertFiles(QStringList{Q(dir / "a.ipr")});
    EXPECT_EQ(ReadBytes(dir / "out/a-7x5.bmp"), Expected(dir / "a.ipr"));
    EXPECT_EQ(w.form.StatusText(), "a.ipr  7,5");
    w.form.NameBox->setText("{name}-web");
    w.form.IfExistsBox->setCurrentIndex(static_cast<int>(ExistingOutput::Number));
    for (int run = 0; run < 2; ++run) w.form.ConvertFiles(QStringList{Q(dir / "a.ipr")});
    EXPECT_EQ(ReadBytes(dir / "out/a-web (2).bmp"), Expected(dir / "a.ipr"));
    EXPECT_TRUE(fs::exists(dir / "out/a-web.bmp"));
}

// PNG level and TIFF compression reach the writer: packed files are smaller
// and hold the same pixels.
TEST(WindowResults, ThePngLevelAndTiffCompressionPackTheOutput) {
    TempDir dir;
    test::WriteText(dir / "flat.ipr", "63 41 0 0");
    test::WriteBytes(dir / "flat.rgb", std::vector<uint8_t>(63 * 41 * 3, 77));
    Window w;
    const struct {
        OutputFormat format;
        std::function<void(bool)> pack;
    } cases[] = {{OutputFormat::Png, [&](bool on) { w.form.PngLevelBox->setValue(on ? 9 : 0); }},
                 {OutputFormat::Tiff, [&](bool on) { w.form.TiffBox->setCurrentIndex(on ? 1 : 0); }}};
    for (const auto& c : cases) {
        w.form.FormatBox->setCurrentIndex(static_cast<int>(c.format));
        std::vector<std::vector<uint8_t>> pixels;
        uintmax_t size[2] = {};
        for (const bool on : {false, true}) {
            c.pack(on);
            const std::string out = dir / (on ? "packed" : "plain");
            w.form.Edit1->setText(Q(out));
            w.form.ConvertFiles(QStringList{Q(dir / "flat.ipr")});
            const std::string file = out + "/flat" + OutputExtension(c.format);
            size[on] = fs::file_size(file);
            auto map = LoadImageFile(PixelKind::RGB, file);
            pixels.emplace_back(map->Data(), map->Data() + map->DataSize());
        }
        EXPECT_LT(size[1] * 4, size[0]) << OutputExtension(c.format);
        EXPECT_EQ(pixels[0], pixels[1]);
    }
}
