// Faults during a batch in the window: a failed write goes into the list
// shown at the end of the batch, a failed load into the error box that
// ends it, and the output folder stays exactly as it was.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <deque>
#include <filesystem>

#include "FaultUtil.h"
#include "TestUtil.h"
#include "app/Dialogs.h"
#include "app/Unit1.h"
#include "imageio/BmpReader.h"
#include "imageio/BmpWriter.h"
#include "imageio/HeaderMeta.h"

using namespace quenlo;
using namespace quenlo::test;
namespace fs = std::filesystem;

namespace {

class FakeDialogs : public IDialogs {
public:
    std::deque<QStringList> files;
    QStringList errors, warnings;

    std::optional<QStringList> OpenFiles(QWidget*, OpenFilesRequest&) override {
        QStringList f = files.front();
        files.pop_front();
        return f;
    }
    std::optional<QString> ChooseFolder(QWidget*, const QString&) override { return std::nullopt; }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
    void ShowWarning(QWidget*, const QString& text) override { warnings << text; }
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

// a.ipr meets the fault, b.ipr does not; both go to out/.
struct Batch : TwoInputBatch {
    FakeDialogs dialogs;
    TForm1 form{dialogs};
    Batch() { form.Edit1->setText(Q(dir / "out")); }
    // Through the button, as a user would.
    void Run() {
        dialogs.files.push_back({Q(dir / "a.ipr"), Q(dir / "b.ipr")});
        form.Button3->click();
    }
    // a.ipr is listed as not written, with a reason, and no box is shown; b.bmp was written.
    void ExpectReported() const {
        EXPECT_TRUE(dialogs.errors.isEmpty() && dialogs.warnings.isEmpty()) << dialogs.errors.join('\n').toStdString();
        const QString list = form.Results->Lines().join('\n');
        EXPECT_TRUE(list.contains(Q(dir / "a.ipr") + ": ")) << list.toStdString();
        EXPECT_FALSE(list.contains(Q(dir / "b.ipr"))) << list.toStdString();
        EXPECT_TRUE(fs::exists(dir / "out/b.bmp"));
    }
};

}  // namespace

TEST(WindowFaults, AWriteThatFailsHalfWay) { CheckAWriteThatFailsHalfWay<Batch>(); }
TEST(WindowFaults, AReadOnlyTarget) { CheckAReadOnlyTarget<Batch>(); }
TEST(WindowFaults, ATargetNameThatIsAFolder) { CheckATargetNameThatIsAFolder<Batch>(); }

TEST(WindowFaults, AReadOnlyFolder) {
    Batch b;
    const FolderSnapshot before = b.WithOldTarget();  // b.bmp is not there yet
    ReadOnlyMark mark(b.dir / "out");
    if (!mark.Ok()) GTEST_SKIP() << ReadOnlyMark::SkipReason();
    b.Run();
    mark.Release();
    const QString list = b.form.Results->Lines().join('\n');
    EXPECT_TRUE(list.contains(Q(b.dir / "a.ipr") + ": ") && list.contains(Q(b.dir / "b.ipr") + ": ")) << list.toStdString();
    EXPECT_TRUE(b.dialogs.warnings.isEmpty());
    EXPECT_EQ(Snapshot(b.dir / "out"), before);
}

TEST(WindowFaults, TheRgbVanishingBetweenHeaderAndPixelsStopsTheBatch) {
    Batch b;
    const FolderSnapshot before = b.WithOldTarget();  // b.bmp is not there yet
    fs::remove(b.dir / "a.ipr");
    SlowHeader header(b.dir / "a.ipr", "301 200 0 0", [&] { fs::remove(b.dir / "a.rgb"); });
    ASSERT_TRUE(header.Ok());
    b.Run();
    EXPECT_TRUE(header.Served());
    ASSERT_EQ(b.dialogs.errors.size(), 1);
    EXPECT_TRUE(b.dialogs.errors[0].contains(Q(b.dir / "a.ipr") + ": "));
    EXPECT_TRUE(b.dialogs.errors[0].contains(QStringLiteral("ファイルが見つかりません")));
    EXPECT_EQ(Snapshot(b.dir / "out"), before);  // b.ipr comes after the failed load: not written
}

TEST(WindowFaults, TheInputBeingTheOutput) {
    TempDir dir;
    const std::string name = dir / "palette.bmp";
    fs::copy_file(QUENLO_SOURCE_DIR "/samples/palette.bmp", name);
    const std::vector<uint8_t> source = ReadBytes(name);
    const FolderSnapshot before = Snapshot(dir.str());
    FakeDialogs dialogs;
    TForm1 form{dialogs};  // no output folder: beside the source
    dialogs.files.push_back({Q(name)});
    {
        FileSizeLimit limit(8 * 1024);  // the 24-bit rewrite is about 12 KB
        ASSERT_TRUE(limit.Ok());
        form.Button3->click();
    }
    EXPECT_TRUE(form.Results->Lines().join('\n').contains(Q(name) + ": "));
    EXPECT_EQ(Snapshot(dir.str()), before);

    dialogs.files.push_back({Q(name)});
    form.Button3->click();
    EXPECT_TRUE(dialogs.errors.isEmpty() && dialogs.warnings.isEmpty());
    ImageMeta meta;  // its resolution is kept
    ReadBmpMeta(source, meta);
    EXPECT_EQ(ReadBytes(name), EncodeBmp(*DecodeBmp(source), meta));
    EXPECT_EQ(Snapshot(dir.str()).size(), 1u);
}

// The batch plan holds in the window too: an output that would replace
// another input is refused, and an empty image is listed as not written.
TEST(WindowFaults, NoInputIsReplacedAndEmptyImagesAreListed) {
    TempDir dir;
    fs::copy_file(QUENLO_SOURCE_DIR "/samples/harbour-photo.jpg", dir / "s.jpg");
    fs::copy_file(QUENLO_SOURCE_DIR "/samples/palette.bmp", dir / "s.bmp");
    WriteText(dir / "zero.ipr", "0 5 0 0");
    WriteText(dir / "zero.rgb", "");
    const std::vector<uint8_t> source = ReadBytes(dir / "s.bmp");
    FakeDialogs dialogs;
    TForm1 form{dialogs};
    dialogs.files.push_back({Q(dir / "s.jpg"), Q(dir / "s.bmp"), Q(dir / "zero.ipr")});
    form.Button3->click();
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
    EXPECT_TRUE(dialogs.warnings.isEmpty());
    const QString list = form.Results->Lines().join('\n');
    EXPECT_TRUE(list.contains(Q(dir / "s.jpg: would replace " + dir / "s.bmp, which this batch also reads")))
        << list.toStdString();
    EXPECT_TRUE(list.contains(Q(dir / "zero.ipr: nothing to save: the image is empty (0 x 5)")));
    ImageMeta meta;  // its resolution is kept
    ReadBmpMeta(source, meta);
    EXPECT_EQ(ReadBytes(dir / "s.bmp"), EncodeBmp(*DecodeBmp(source), meta));  // converted in place, not replaced by s.jpg
    EXPECT_FALSE(fs::exists(dir / "zero.bmp"));
}
