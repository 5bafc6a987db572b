#include "app/event_log_model.hpp"

#include <algorithm>

#include "app/presenters/advanced_presenter.hpp"
#include "app/presenters/value_formats.hpp"

namespace veltrano::app {

EventLogModel::EventLogModel(QObject* parent) : QAbstractListModel(parent) {}

EventLogModel::Row EventLogModel::rowOf(const MetricsStore::LogEvent& event) {
  const auto tag = eventTag(event.tag);
  return {event.id, formatTimeOfDay(event.date), tag.label, tintColor(tag.tint), QString::fromStdString(event.message)};
}

void EventLogModel::update(const std::vector<MetricsStore::LogEvent>& events) {
  const int before = count();
  // Rows older than the oldest kept event have been dropped from the log.
  auto oldestKept = events.empty() ? rows_.end()
                                   : std::find_if(rows_.begin(), rows_.end(),
                                                  [&](const Row& row) { return row.id == events.front().id; });
  const auto firstDropped = oldestKept == rows_.end() ? rows_.begin() : oldestKept + 1;
  if (firstDropped != rows_.end()) {
    const int first = static_cast<int>(firstDropped - rows_.begin());
    beginRemoveRows({}, first, count() - 1);
    rows_.erase(firstDropped, rows_.end());
    endRemoveRows();
  }
  // Events after the newest row are new.
  auto fresh = events.begin();
  if (!rows_.empty()) {
    const auto newest = std::find_if(events.begin(), events.end(),
                                     [&](const MetricsStore::LogEvent& event) { return event.id == rows_.front().id; });
    fresh = newest == events.end() ? events.end() : newest + 1;
  }
  const auto added = static_cast<int>(events.end() - fresh);
  if (added > 0) {
    std::vector<Row> top;
    top.reserve(static_cast<std::size_t>(added));
    for (auto event = events.rbegin(); event != std::make_reverse_iterator(fresh); ++event) top.push_back(rowOf(*event));
    beginInsertRows({}, 0, added - 1);
    rows_.insert(rows_.begin(), std::make_move_iterator(top.begin()), std::make_move_iterator(top.end()));
    endInsertRows();
  }
  if (count() != before) emit countChanged();
}

int EventLogModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : count(); }

QVariant EventLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= count()) return {};
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case TimeRole: return row.time;
    case TagRole: return row.tag;
    case TagColorRole: return row.tagColor;
    case MessageRole: return row.message;
    default: return {};
  }
}

QHash<int, QByteArray> EventLogModel::roleNames() const {
  return {{TimeRole, "time"}, {TagRole, "tag"}, {TagColorRole, "tagColor"}, {MessageRole, "message"}};
}

}  // namespace veltrano::app
