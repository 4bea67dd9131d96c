#include "app/Dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <algorithm>

namespace quenlo {

std::optional<QStringList> TQtDialogs::OpenFiles(QWidget* parent, OpenFilesRequest& request) {
    QFileDialog dialog(parent);
    if (!request.directory.isEmpty()) dialog.setDirectory(request.directory);
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
    request.selectedFilter = std::max(0, int(request.filters.indexOf(dialog.selectedNameFilter())));
    request.directory = dialog.directory().absolutePath();
    return files;
}

std::optional<QString> TQtDialogs::ChooseFolder(QWidget* parent, const QString& start) {
    const QString dir = QFileDialog::getExistingDirectory(parent, QString(), start.isEmpty() ? QDir::homePath() : start,
                                                          QFileDialog::ShowDirsOnly);
    if (dir.isEmpty()) return std::nullopt;
    return dir;
}

std::optional<QString> TQtDialogs::AskText(QWidget* parent, const QString& prompt, const QString& suggested) {
    bool ok = false;
    const QString text =
        QInputDialog::getText(parent, QApplication::applicationName(), prompt, QLineEdit::Normal, suggested, &ok).trimmed();
    if (!ok || text.isEmpty()) return std::nullopt;
    return text;
}

std::optional<QString> TQtDialogs::SaveFileName(QWidget* parent, const QString& filter, const QString& start) {
    const QString file = QFileDialog::getSaveFileName(parent, QString(), start, filter);
    if (file.isEmpty()) return std::nullopt;
    return file;
}

std::optional<QString> TQtDialogs::OpenFileName(QWidget* parent, const QString& filter, const QString& start) {
    const QString file = QFileDialog::getOpenFileName(parent, QString(), start, filter);
    if (file.isEmpty()) return std::nullopt;
    return file;
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
