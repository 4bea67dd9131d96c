#pragma once
// The files of the batch that runs or ran last, each with where it stands,
// as a table for a view: name, state, and the reason or warning.
#include <QAbstractTableModel>
#include <QString>
#include <string>
#include <deque>
#include <vector>

#include "batch/BatchRun.h"

namespace quenlo {

enum class QueueState { Waiting, Converting, Converted, Warned, Failed, Skipped, NotReached };

// A settled item's state; a converted one's warnings are the caller's to tell.
QueueState QueueStateOf(ItemStatus status);
// "waiting", "converting", ..., "not reached".
QString QueueStateName(QueueState state);

class TBatchQueue : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Entry {
        std::string input;   // as listed
        std::string subdir;  // below the output folder, for a run again
        QueueState state = QueueState::Waiting;
        QString note;        // the reason it failed or the first warning
        uint32_t n = 0;      // its {n} in the batch, kept for a run again (0: none yet)
    };

    using QAbstractTableModel::QAbstractTableModel;

    // A new batch's files, all waiting.
    void Reset(std::vector<Entry> entries);
    // One more file: one a watch settled.
    void Append(Entry entry);
    void DropFirst();
    void Set(size_t row, QueueState state, const QString& note = {});
    // Adds to the note, leaving the state.
    void Note(size_t row, const QString& note);

    size_t Size() const { return entries_.size(); }
    const Entry& At(size_t row) const { return entries_[row]; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::deque<Entry> entries_;
};

}  // namespace quenlo
