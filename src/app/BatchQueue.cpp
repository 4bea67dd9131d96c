#include "app/BatchQueue.h"

#include <QBrush>
#include <QColor>

#include "app/QtText.h"

namespace quenlo {

QueueState QueueStateOf(ItemStatus status) {
    switch (status) {
        case ItemStatus::Converted: return QueueState::Converted;
        case ItemStatus::Skipped: return QueueState::Skipped;
        case ItemStatus::Failed: return QueueState::Failed;
        case ItemStatus::NotReached: break;
    }
    return QueueState::NotReached;
}

QString QueueStateName(QueueState state) {
    switch (state) {
        case QueueState::Waiting: return QTr("waiting");
        case QueueState::Converting: return QTr("converting");
        case QueueState::Converted: return QTr("converted");
        case QueueState::Warned: return QTr("warned");
        case QueueState::Failed: return QTr("failed");
        case QueueState::Skipped: return QTr("skipped");
        case QueueState::NotReached: break;
    }
    return QTr("not reached");
}

void TBatchQueue::Reset(std::vector<Entry> entries) {
    beginResetModel();
    entries_.assign(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
    endResetModel();
}

void TBatchQueue::Append(Entry entry) {
    const int row = static_cast<int>(entries_.size());
    beginInsertRows({}, row, row);
    entries_.push_back(std::move(entry));
    endInsertRows();
}

void TBatchQueue::DropFirst() {
    if (entries_.empty()) return;
    beginRemoveRows({}, 0, 0);
    entries_.pop_front();
    endRemoveRows();
}

void TBatchQueue::Set(size_t row, QueueState state, const QString& note) {
    if (row >= entries_.size()) return;
    entries_[row].state = state;
    if (!note.isEmpty()) entries_[row].note = note;
    emit dataChanged(index(int(row), 1), index(int(row), 2));
}

void TBatchQueue::Note(size_t row, const QString& note) {
    if (row >= entries_.size() || !entries_[row].note.isEmpty()) return;  // the first says most
    entries_[row].note = note;
    emit dataChanged(index(int(row), 2), index(int(row), 2));
}

int TBatchQueue::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(std::min<size_t>(entries_.size(), INT_MAX));
}

int TBatchQueue::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant TBatchQueue::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || size_t(index.row()) >= entries_.size()) return {};
    const Entry& e = entries_[size_t(index.row())];
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
            case 0: return QString::fromUtf8(e.input.data(), qsizetype(e.input.size()));
            case 1: return QueueStateName(e.state);
            default: return e.note;
        }
    }
    if (role == Qt::ForegroundRole && index.column() == 1) {
        if (e.state == QueueState::Failed) return QBrush(QColor(180, 0, 0));
        if (e.state == QueueState::Warned) return QBrush(QColor(150, 90, 0));
    }
    return {};
}

QVariant TBatchQueue::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case 0: return QTr("File");
        case 1: return QTr("Status");
        default: return QTr("Reason");
    }
}

}  // namespace quenlo
