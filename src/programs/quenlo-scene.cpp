#include <QApplication>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/SceneView.h"
#include "cli/SceneCli.h"
#include "low/Messages.h"
#include "scene/kinds/SimpleVelore.h"

namespace {

// Qt ends the process when it finds no display; say so plainly instead.
bool HaveDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* v = std::getenv(name);
        if (v && *v) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Only the messages follow the locale: numbers are read and written the C way.
    std::setlocale(LC_MESSAGES, "");
    quenlo::UseMessageCatalogues();
    // Past a file-size limit a write should fail and be reported, not kill us
    // and leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    quenlo::RegisterSimpleVeloreKinds();
    // render and write never reach this: they run without Qt.
    auto viewer = [&](quenlo::TSceneViewArgs& args) {
        if (!HaveDisplay()) {
            std::fputs(quenlo::Tr("quenlo-scene: view needs a display; render makes a .bmp without one\n"), stderr);
            return 1;
        }
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("quenlo-scene"));
        QApplication::setApplicationVersion(QStringLiteral(QUENLO_VERSION));
        quenlo::TSceneView window(args.Script, args.Strict, args.Background, std::move(args.Scene));
        window.SetMaxWork(args.MaxWork);
        window.show();
        return app.exec();
    };
    return quenlo::RunSceneCli(argc, argv, stdout, stderr, viewer);
}
