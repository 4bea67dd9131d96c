#pragma once
// What the last batch did, kept until the next one starts: a one-line
// summary (the pace while it runs), the queue of its files with where each
// stands, and the log of those that failed, warned or were not reached, in
// input order, as text that can be selected and copied.
#include <QString>
#include <QStringList>
#include <QWidget>

#include "app/BatchQueue.h"
#include "batch/BatchRun.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QToolButton;
class QTreeView;

namespace quenlo {

// What a batch did, counted for its summary.
struct BatchCounts {
    int converted = 0, failed = 0, notReached = 0, skipped = 0;
    bool cancelled = false, stopped = false;
};

// "N converted, M failed, K not reached", then ", S skipped" when there are
// any, then why it ended early, if it did.
QString SummaryLine(const BatchCounts& counts);

class TResultsPanel : public QWidget {
    Q_OBJECT
public:
    // The list holds at most this many lines; the rest are counted in a last line.
    static constexpr int kMaxLines = 10000;

    explicit TResultsPanel(QWidget* parent = nullptr);

    // Empties the list and the summary for a new batch.
    void Clear();
    // "name: reason", one line per file.
    void Add(const QString& line);
    // Shows the list gathered since Clear, under the summary.
    void Finish(const BatchCounts& counts);
    // While a watch runs: the counts so far, and the lines added since the
    // list was last shown, appended.
    void Update(const BatchCounts& counts);

    QString Summary() const;
    QStringList Lines() const { return lines_; }
    // The summary and every line, as the Copy button puts them on the clipboard.
    QString Text() const;

    // Where "Open output folder" goes; "" turns it off.
    void SetOutputFolder(const QString& dir);
    // During a batch, in place of the summary: "N of M  R files/s  m:ss left".
    void ShowPace(long long done, long long total, double seconds);

    QLabel* SummaryLabel;
    QPlainTextEdit* List;
    QPushButton* CopyButton;
    QPushButton* OpenFolderButton;
    QToolButton* RetryButton;    // runs the failed and unreached files again
    QToolButton* SaveLogButton;  // the last batch's JSON Lines report
    TBatchQueue* Queue;
    QTreeView* QueueView;
    QTabWidget* Tabs;  // the queue, and the log (List)

private:
    QStringList lines_;
    int dropped_ = 0;  // lines past kMaxLines
    qsizetype shown_ = 0;  // lines_ in the list
    QString outputFolder_;
};

}  // namespace quenlo
