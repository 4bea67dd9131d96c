#pragma once
// Every dialog and message box of the window goes through this interface,
// so tests can answer them.
#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

namespace quenlo {

struct OpenFilesRequest {
    QStringList filters;  // "RGB files (*.rgb)", ...
    int selectedFilter = 0;
    QString directory;  // where the dialog opens; "" the platform's choice
};

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // The chosen files in the dialog's order, or nothing when cancelled.
    // On a choice, request's filter and folder become those it was left at.
    virtual std::optional<QStringList> OpenFiles(QWidget* parent, OpenFilesRequest& request) = 0;
    // The chosen folder, or nothing when cancelled; the dialog opens at start.
    virtual std::optional<QString> ChooseFolder(QWidget* parent, const QString& start) = 0;
    // Modal error box titled with the application's name, OK only.
    virtual void ShowError(QWidget* parent, const QString& text) = 0;
    // Modal warning box, OK only.
    virtual void ShowWarning(QWidget* parent, const QString& text) = 0;
};

// The platform's own dialogs.
class TQtDialogs : public IDialogs {
public:
    std::optional<QStringList> OpenFiles(QWidget* parent, OpenFilesRequest& request) override;
    std::optional<QString> ChooseFolder(QWidget* parent, const QString& start) override;
    void ShowError(QWidget* parent, const QString& text) override;
    void ShowWarning(QWidget* parent, const QString& text) override;
};

// An error's message as the error box shows it: a "." is appended when the
// last character comes after "." in character order.
QString ErrorBoxText(const QString& message);

}  // namespace quenlo
