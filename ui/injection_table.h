// The observer's table of injections: the newest rows of its copy of the injection log, newest first, each
// as injections.csv has it with the injection's number in front. A refresh only adds the rows that are new
// since the one before (inserted at the top, the oldest dropped at the bottom, by row insertion and
// removal), so it costs what arrived, never what is shown: at most `capacity` rows are formatted, however
// many injections came meanwhile, and rows already shown are never written again.
#pragma once

#include "host/injection_log.h"
#include "host/slot_events.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <cstdint>
#include <deque>

class TInjectionTable : public QAbstractTableModel {
    Q_OBJECT
  public:
    using Log = BoundedLog<InjectionRecord, INJECTION_HISTORY>;

    TInjectionTable(int capacity, QObject* parent = nullptr);

    /// Adds the injections of `log` newer than those shown, keeping the newest `capacity` rows.
    void CatchUp(const Log& log);
    /// No rows (another model: its injections are numbered from 1 again).
    void Clear();
    /// The number of the newest injection shown; 0 when none is.
    uint64_t Newest() const { return newest_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  private:
    const int capacity_;
    const QStringList columns_;    // "#", then the log's header
    std::deque<QStringList> rows_; // newest first
    uint64_t newest_ = 0;
};
