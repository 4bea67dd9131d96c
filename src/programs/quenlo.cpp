#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QSettings>
#include <QTimer>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <thread>

#include "app/Dialogs.h"
#include "app/ResultsPanel.h"
#include "app/Unit1.h"
#include "cli/ToolArgs.h"
#include "imageio/AtomicFile.h"
#include "low/Messages.h"
#include "scene/kinds/SimpleVelore.h"

namespace {

// With --exit-when-done nobody is there to close a box: an error goes to
// stderr and makes the exit status 1; warning boxes repeat what the results
// list says, which is printed instead.
class TStderrDialogs : public quenlo::TQtDialogs {
public:
    void ShowError(QWidget*, const QString& text) override {
        std::fprintf(stderr, "quenlo: %s\n", text.toUtf8().constData());
        shown_ = true;
    }
    void ShowWarning(QWidget*, const QString&) override {}
    bool Shown() const { return shown_; }

private:
    bool shown_ = false;
};

struct WindowArgs {
    std::vector<std::string> files;
    std::string outputDir;
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    bool exitWhenDone = false, keepGoing = false, skipExisting = false, inPlace = false;
    int lingerMs = 0;
};

// Parsed before Qt sees anything, so --help and --version need no display.
std::optional<int> ParseWindowArgs(int argc, char** argv, WindowArgs& args) {
    CLI::App app{quenlo::Tr("The conversion window: converts the images and folders named, or dropped on it, into 24-bit .bmp files."),
                 "quenlo"};
    app.add_option("FILE", args.files, quenlo::Tr("Images or folders to convert as soon as the window opens"));
    app.add_option("-o,--output", args.outputDir, quenlo::Tr("Output folder for this run (default: the one last used)"));
    app.add_option("-j,--jobs", args.jobs, quenlo::Tr("Files converted in parallel (default: number of cores)"))->check(CLI::Range(1, 1024));
    app.add_flag("--keep-going", args.keepGoing, quenlo::Tr("Check \"Keep going past failed files\""));
    app.add_flag("--skip-existing", args.skipExisting, quenlo::Tr("Check \"Skip existing outputs\""));
    app.add_flag("--in-place", args.inPlace, quenlo::Tr("Check \"Replace originals\""));
    app.add_flag("--exit-when-done", args.exitWhenDone,
                 quenlo::Tr("Convert the FILEs, print the summary and quit; exit status 1 when anything failed"));
    app.add_option("--linger", args.lingerMs, quenlo::Tr("With --exit-when-done, keep the window open MS milliseconds after the batch"))
        ->check(CLI::Range(0, 3600000));
    return quenlo::ParseToolArgs(app, argc, argv, stdout, stderr);
}

}  // namespace

int main(int argc, char** argv) {
    // Only the messages follow the locale here; QApplication sets the rest as Qt needs.
    std::setlocale(LC_MESSAGES, "");
    quenlo::UseMessageCatalogues();
    WindowArgs args;
    if (const std::optional<int> usage = ParseWindowArgs(argc, argv, args)) return *usage;
    // Past a file-size limit a write should fail and be reported, not kill us
    // and leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // Ctrl+C, kill or a closed terminal: no temporary file is left behind.
    quenlo::RemoveTemporariesOnSignals();
    quenlo::RegisterSimpleVeloreKinds();
    // Our arguments are taken; Qt gets none to read as its own.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setOrganizationName(QStringLiteral("quenlo"));
    QApplication::setApplicationName(QStringLiteral("QUENLO"));
    QApplication::setApplicationVersion(QStringLiteral(QUENLO_VERSION));
    QStringList files;
    for (const std::string& f : args.files) files << QString::fromStdString(f);

    quenlo::TQtDialogs boxes;
    TStderrDialogs unattended;
    // An unattended run neither reads nor changes what a user chose.
    QSettings settings;
    quenlo::TForm1 form(args.exitWhenDone ? static_cast<quenlo::IDialogs&>(unattended) : boxes,
                        args.exitWhenDone ? nullptr : &settings);
    form.Jobs = args.jobs;
    if (!args.outputDir.empty()) form.SetOutputDirForRun(QString::fromStdString(args.outputDir));
    if (args.keepGoing) form.KeepGoingBox->setChecked(true);
    if (args.skipExisting) form.SkipExistingBox->setChecked(true);
    if (args.inPlace) form.ReplaceOriginalsBox->setChecked(true);
    const bool restored = !args.exitWhenDone && !settings.value(QStringLiteral("geometry")).toByteArray().isEmpty();
    form.show();
    // Qt places the client area; make the outer frame the designed 519 x 613.
    const QSize frame = form.frameGeometry().size() - form.size();
    if (!restored && !frame.isEmpty()) form.resize(QSize(519, 613) - frame);
    form.FitOnScreen();
    if (args.exitWhenDone) {
        QTimer::singleShot(0, &form, [&form, &unattended, files, linger = args.lingerMs] {
            bool stopped = false;
            try {
                form.ConvertFiles(files);
            } catch (const std::exception& e) {
                // A batch that ran lists its failed load below; anything else is said here.
                if (form.Results->Summary().isEmpty())
                    unattended.ShowError(&form, quenlo::ErrorBoxText(QString::fromUtf8(e.what())));
                stopped = true;
            }
            for (const QString& line : form.Results->Lines()) std::fprintf(stderr, "quenlo: %s\n", line.toUtf8().constData());
            const quenlo::BatchCounts& counts = form.LastCounts();
            std::printf("%s\n", quenlo::SummaryLine(counts).toUtf8().constData());
            std::fflush(stdout);
            const bool failed = stopped || unattended.Shown() || counts.failed > 0 || counts.notReached > 0;
            QTimer::singleShot(linger, &form, [failed] { QCoreApplication::exit(failed ? 1 : 0); });
        });
    } else if (!files.isEmpty()) {
        form.ConvertFilesLater(files);
    }
    return app.exec();
}
