#pragma once
// The activity log as the advanced page lists it: newest first, one row per event, keyed by the event's id.
// An update inserts the new events at the top and removes the dropped ones at the bottom, so the rows on
// screen keep their delegates.
#include <QAbstractListModel>
#include <QLocale>

#include <vector>

#include "core/metrics_store.hpp"

namespace veltrano::app {

class EventLogModel : public QAbstractListModel {
  Q_OBJECT
  Q_PROPERTY(int count READ count NOTIFY countChanged)

 public:
  enum Role { TimeRole = Qt::UserRole + 1, TagRole, TagColorRole, MessageRole };

  explicit EventLogModel(QObject* parent = nullptr);

  // `events` oldest first, as the metrics store keeps them.
  void update(const std::vector<MetricsStore::LogEvent>& events);

  int count() const { return static_cast<int>(rows_.size()); }
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QHash<int, QByteArray> roleNames() const override;

 signals:
  void countChanged();

 private:
  struct Row {
    Uuid id;
    QString time;
    QString tag;
    QString tagColor;
    QString message;
  };
  static Row rowOf(const MetricsStore::LogEvent& event);

  std::vector<Row> rows_;  // newest first
};

}  // namespace veltrano::app
