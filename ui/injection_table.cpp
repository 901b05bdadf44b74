#include "ui/injection_table.h"

#include <algorithm>

TInjectionTable::TInjectionTable(int capacity, QObject* parent)
    : QAbstractTableModel(parent), capacity_(capacity),
      columns_(QString("#,%1").arg(INJECTION_LOG_HEADER).split(',')) {}

void TInjectionTable::CatchUp(const Log& log) {
    if (log.total <= newest_) {
        return;
    }
    const uint64_t capacity = static_cast<uint64_t>(capacity_);
    // Only the newest `capacity` can be shown; what fell out of the log meanwhile is skipped.
    const uint64_t first =
        std::max({newest_ + 1, log.first(), log.total > capacity ? log.total - capacity + 1 : uint64_t{1}});
    const int added = static_cast<int>(log.total - first + 1);
    beginInsertRows(QModelIndex(), 0, added - 1);
    for (uint64_t number = first; number <= log.total; ++number) {
        const InjectionRecord& r = log.at(number);
        QStringList row = QString::fromStdString(injection_log_row(r)).split(',');
        row.prepend(QString::number(number));
        rows_.push_front(std::move(row));
    }
    endInsertRows();
    newest_ = log.total;
    const int excess = static_cast<int>(rows_.size()) - capacity_;
    if (excess > 0) {
        beginRemoveRows(QModelIndex(), capacity_, capacity_ + excess - 1);
        rows_.resize(static_cast<size_t>(capacity_));
        endRemoveRows();
    }
}

void TInjectionTable::Clear() {
    beginResetModel();
    rows_.clear();
    newest_ = 0;
    endResetModel();
}

int TInjectionTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TInjectionTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TInjectionTable::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const QStringList& row = rows_[static_cast<size_t>(index.row())];
    return index.column() < row.size() ? QVariant(row[index.column()]) : QVariant();
}

QVariant TInjectionTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= columns_.size()) {
        return {};
    }
    return columns_[section];
}
