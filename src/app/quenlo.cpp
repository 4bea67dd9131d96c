#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "app/Dialogs.h"
#include "app/Unit1.h"
#include "imageio/AtomicFile.h"
#include "scene/kinds/SimpleVelore.h"

namespace {

// With --exit-when-done nobody is there to close a box, so what the window
// would show goes to stderr and makes the exit status 1.
class TStderrDialogs : public quenlo::TQtDialogs {
public:
    void ShowError(QWidget*, const QString& text) override { Print(text); }
    void ShowWarning(QWidget*, const QString& text) override { Print(text); }
    bool Shown() const { return shown_; }

private:
    void Print(const QString& text) {
        std::fprintf(stderr, "quenlo: %s\n", text.toUtf8().constData());
        shown_ = true;
    }
    bool shown_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    // Past a file-size limit a write should fail and be reported, not kill us
    // and leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // Ctrl+C, kill or a closed terminal: no temporary file is left behind.
    quenlo::RemoveTemporariesOnSignals();
    quenlo::RegisterSimpleVeloreKinds();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QUENLO"));
    QApplication::setApplicationVersion(QStringLiteral(QUENLO_VERSION));
    // Files named on the command line are converted as if dropped on the
    // window. --exit-when-done converts them, says how long that took and
    // quits: for timing the window against the command line.
    QStringList files = QApplication::arguments().mid(1);
    const bool exitWhenDone = files.removeAll(QStringLiteral("--exit-when-done")) > 0;
    quenlo::TQtDialogs boxes;
    TStderrDialogs unattended;
    quenlo::TForm1 form(exitWhenDone ? static_cast<quenlo::IDialogs&>(unattended) : boxes);
    form.show();
    // Qt places the client area; make the outer frame the designed 519 x 613.
    const QSize frame = form.frameGeometry().size() - form.size();
    if (!frame.isEmpty()) form.resize(QSize(519, 613) - frame);
    if (exitWhenDone) {
        QTimer::singleShot(0, &form, [&form, &unattended, files] {
            QElapsedTimer timer;
            timer.start();
            int status = 0;
            try {
                form.ConvertFiles(files);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "quenlo: %s\n", e.what());
                status = 1;
            }
            std::printf("%lld files in %.3f s\n", static_cast<long long>(files.size()), timer.nsecsElapsed() / 1e9);
            QCoreApplication::exit(unattended.Shown() ? 1 : status);
        });
    } else if (!files.isEmpty()) {
        form.ConvertFilesLater(files);
    }
    return app.exec();
}
