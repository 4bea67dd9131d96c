#include <QApplication>

#include "app/Dialogs.h"
#include "app/Unit1.h"
#include "scene/kinds/SimpleVelore.h"

int main(int argc, char** argv) {
    quenlo::RegisterSimpleVeloreKinds();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QUENLO"));
    QApplication::setApplicationVersion(QStringLiteral(QUENLO_VERSION));
    quenlo::TQtDialogs dialogs;
    quenlo::TForm1 form(dialogs);
    form.show();
    // Qt places the client area; make the outer frame the designed 519 x 613.
    const QSize frame = form.frameGeometry().size() - form.size();
    if (!frame.isEmpty()) form.resize(QSize(519, 613) - frame);
    // Files named on the command line are converted as if dropped on the window.
    const QStringList files = QApplication::arguments().mid(1);
    if (!files.isEmpty()) form.ConvertFilesLater(files);
    return app.exec();
}
