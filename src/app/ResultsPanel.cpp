#include "app/ResultsPanel.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include "app/QtText.h"
#include "batch/BatchPace.h"

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
    Queue = new TBatchQueue(this);
    QueueView = new QTreeView(this);
    QueueView->setModel(Queue);
    QueueView->setRootIsDecorated(false);
    QueueView->setUniformRowHeights(true);  // a long queue scrolls without measuring every row
    QueueView->setTextElideMode(Qt::ElideLeft);  // the file's name stays, its folder goes
    QueueView->header()->resizeSection(0, 260);
    QueueView->header()->resizeSection(1, 80);
    QueueView->setToolTip(QTr("Every file of the batch and where it stands"));
    // Two lines at least rather than the views' own 70 pixels, so a short
    // screen still holds the window with the panel shown.
    for (QWidget* view : {static_cast<QWidget*>(QueueView), static_cast<QWidget*>(List)})
        view->setMinimumHeight(2 * fontMetrics().height() + 8);
    Tabs = new QTabWidget(this);
    Tabs->addTab(QueueView, QTr("Queue"));
    Tabs->addTab(List, QTr("Log"));
    // Beside the tabs rather than with Copy, so a narrow window keeps its width.
    auto* corner = new QWidget(this);
    auto* cornerRow = new QHBoxLayout(corner);
    cornerRow->setContentsMargins(0, 0, 0, 0);
    RetryButton = new QToolButton(corner);
    RetryButton->setText(QTr("Retry failed"));
    RetryButton->setToolTip(QTr("Run the files that failed or were not reached again"));
    RetryButton->setEnabled(false);
    SaveLogButton = new QToolButton(corner);
    SaveLogButton->setText(QTr("Save log..."));
    SaveLogButton->setToolTip(QTr("Save the last batch's report as JSON Lines, one line per file"));
    SaveLogButton->setEnabled(false);
    cornerRow->addWidget(RetryButton);
    cornerRow->addWidget(SaveLogButton);
    Tabs->setCornerWidget(corner);
    column->addWidget(Tabs, 1);

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

void TResultsPanel::ShowPace(long long done, long long total, double seconds) {
    const BatchPace pace = MeasurePace(done, total, 0, seconds);
    QString text = QTr("%1 of %2  %3 files/s").arg(done).arg(total).arg(pace.filesPerSecond, 0, 'f', 1);
    if (pace.secondsLeft >= 0) text += QTr("  %1 left").arg(QString::fromStdString(ClockText(pace.secondsLeft)));
    SummaryLabel->setText(text);
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
