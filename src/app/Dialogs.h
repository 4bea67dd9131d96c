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
    // A line of text asked for, starting as suggested; nothing when cancelled
    // or left empty. These three answer nothing unless overridden (a window
    // that runs unattended asks no one).
    virtual std::optional<QString> AskText(QWidget*, const QString& /*prompt*/, const QString& /*suggested*/) {
        return std::nullopt;
    }
    // A file to write or to read, offering files that match filter ("Presets (*.json)"); nothing when cancelled.
    virtual std::optional<QString> SaveFileName(QWidget*, const QString& /*filter*/, const QString& /*start*/) {
        return std::nullopt;
    }
    virtual std::optional<QString> OpenFileName(QWidget*, const QString& /*filter*/, const QString& /*start*/) {
        return std::nullopt;
    }
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
    std::optional<QString> AskText(QWidget* parent, const QString& prompt, const QString& suggested) override;
    std::optional<QString> SaveFileName(QWidget* parent, const QString& filter, const QString& start) override;
    std::optional<QString> OpenFileName(QWidget* parent, const QString& filter, const QString& start) override;
    void ShowError(QWidget* parent, const QString& text) override;
    void ShowWarning(QWidget* parent, const QString& text) override;
};

// An error's message as the error box shows it: a "." is appended when the
// last character comes after "." in character order.
QString ErrorBoxText(const QString& message);

}  // namespace quenlo
