#include "app/Dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace quenlo {

std::optional<QStringList> TQtDialogs::OpenFiles(QWidget* parent, const OpenFilesRequest& request) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(request.filters);
    if (request.selectedFilter >= 0 && request.selectedFilter < request.filters.size())
        dialog.selectNameFilter(request.filters[request.selectedFilter]);
    // Qt's own dialog, whose patterns can match without regard to case, so
    // *.rgb offers a.RGB too; native ones may not.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return files;
}

std::optional<QString> TQtDialogs::ChooseFolder(QWidget* parent) {
    const QString dir = QFileDialog::getExistingDirectory(parent, QString(), QDir::homePath(),
                                                          QFileDialog::ShowDirsOnly);
    if (dir.isEmpty()) return std::nullopt;
    return dir;
}

void TQtDialogs::ShowError(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, QApplication::applicationName(), text, QMessageBox::Ok);
}

void TQtDialogs::ShowWarning(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, QApplication::applicationName(), text, QMessageBox::Ok);
}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QChar('.')) return message + QChar('.');
    return message;
}

}  // namespace quenlo
