#include "app/ResultsPanel.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/QtText.h"

namespace quenlo {

QString SummaryLine(const BatchCounts& c) {
    QString line = QTr("%1 converted, %2 failed, %3 not reached").arg(c.converted).arg(c.failed).arg(c.notReached);
    if (c.skipped > 0) line += QTr(", %1 skipped").arg(c.skipped);
    if (c.stopped) line += QTr(" (stopped by a failed load)");
    else if (c.cancelled) line += QTr(" (cancelled)");
    return line;
}

TResultsPanel::TResultsPanel(QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 4, 4, 4);
    auto* row = new QHBoxLayout;
    SummaryLabel = new QLabel(this);
    SummaryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    SummaryLabel->setToolTip(QTr("What the last batch did"));
    // A long summary is cut rather than widening the window when the panel appears.
    SummaryLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(SummaryLabel, 1);
    CopyButton = new QPushButton(QTr("Copy"), this);
    CopyButton->setToolTip(QTr("Copy the summary and the list to the clipboard"));
    row->addWidget(CopyButton);
    OpenFolderButton = new QPushButton(QTr("Open output folder"), this);
    OpenFolderButton->setToolTip(QTr("Show the output folder in the file manager"));
    OpenFolderButton->setEnabled(false);
    row->addWidget(OpenFolderButton);
    column->addLayout(row);
    List = new QPlainTextEdit(this);
    List->setReadOnly(true);
    List->setLineWrapMode(QPlainTextEdit::NoWrap);
    List->setToolTip(QTr("Files of the last batch that failed, warned or were not reached, with the reason"));
    List->setPlaceholderText(QTr("Failed, warned and unreached files of the last batch are listed here."));
    column->addWidget(List, 1);

    connect(CopyButton, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(Text()); });
    connect(OpenFolderButton, &QPushButton::clicked, this,
            [this] {
                if (!QDesktopServices::openUrl(QUrl::fromLocalFile(outputFolder_)))
                    List->appendPlainText(QTr("No file manager could show %1").arg(outputFolder_));
            });
}

void TResultsPanel::Clear() {
    lines_.clear();
    dropped_ = 0;
    shown_ = 0;
    List->clear();
    SummaryLabel->clear();
}

void TResultsPanel::Add(const QString& line) {
    if (lines_.size() < kMaxLines) lines_ << line;
    else ++dropped_;
}

void TResultsPanel::Finish(const BatchCounts& counts) {
    if (dropped_ > 0) {
        lines_ << QTr("... and %1 more").arg(dropped_);
        dropped_ = 0;
    }
    SummaryLabel->setText(SummaryLine(counts));
    List->setPlainText(lines_.join(QLatin1Char('\n')));
    shown_ = lines_.size();
}

void TResultsPanel::Update(const BatchCounts& counts) {
    SummaryLabel->setText(SummaryLine(counts));
    for (; shown_ < lines_.size(); ++shown_) List->appendPlainText(lines_[shown_]);
}

QString TResultsPanel::Summary() const { return SummaryLabel->text(); }

QString TResultsPanel::Text() const {
    QString text = Summary() + QLatin1Char('\n');
    for (const QString& line : lines_) text += line + QLatin1Char('\n');
    return text;
}

void TResultsPanel::SetOutputFolder(const QString& dir) {
    outputFolder_ = dir;
    OpenFolderButton->setEnabled(!dir.isEmpty());
}

}  // namespace quenlo
