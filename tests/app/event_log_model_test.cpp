// The log model lists a real metrics store's events newest first and changes by inserting at the top and
// removing at the bottom, never by resetting, so the rows on screen keep their delegates.
#include <QAbstractItemModelTester>

#include <gtest/gtest.h>

#include "app/event_log_model.hpp"
#include "app/qt_test_support.hpp"

namespace veltrano {
namespace {

class EventLogModelTest : public ::testing::Test {
 protected:
  EventLogModelTest() {
    QObject::connect(&model_, &QAbstractItemModel::rowsInserted,
                     [this](const QModelIndex&, int first, int last) { changes_.push_back({'+', first, last}); });
    QObject::connect(&model_, &QAbstractItemModel::rowsRemoved,
                     [this](const QModelIndex&, int first, int last) { changes_.push_back({'-', first, last}); });
    QObject::connect(&model_, &QAbstractItemModel::modelReset, [this] { changes_.push_back({'r', 0, 0}); });
  }
  void log(int count) {
    for (int i = 0; i < count; ++i) store_.logEvent(LogCategory::HOST, "m" + std::to_string(logged_++));
  }
  std::string message(int row) {
    return model_.data(model_.index(row), app::EventLogModel::MessageRole).toString().toStdString();
  }
  struct Change {
    char kind;
    int first;
    int last;
    bool operator==(const Change&) const = default;
  };

  QCoreApplication& qt_ = testing::qtApplication();
  MetricsStore store_;
  app::EventLogModel model_;
  QAbstractItemModelTester tester_{&model_, QAbstractItemModelTester::FailureReportingMode::Fatal};
  std::vector<Change> changes_;
  int logged_ = 0;
};

TEST_F(EventLogModelTest, UpdatesInsertOnTopAndDropAtTheBottom) {
  struct Step {
    int newEvents;
    std::vector<Change> changes;
    int rows;
    const char* top;
    const char* bottom;
  };
  const Step steps[] = {
      {0, {}, 0, nullptr, nullptr},
      {1, {{'+', 0, 0}}, 1, "m0", "m0"},
      {3, {{'+', 0, 2}}, 4, "m3", "m0"},
      {196, {{'+', 0, 195}}, 200, "m199", "m0"},
      {5, {{'-', 195, 199}, {'+', 0, 4}}, 200, "m204", "m5"},
      {0, {}, 200, "m204", "m5"},
      {250, {{'-', 0, 199}, {'+', 0, 199}}, 200, "m454", "m255"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.newEvents);
    changes_.clear();
    log(step.newEvents);
    model_.update(store_.events()());
    EXPECT_EQ(changes_, step.changes);
    ASSERT_EQ(model_.rowCount(), step.rows);
    if (step.rows > 0) {
      EXPECT_EQ(message(0), step.top);
      EXPECT_EQ(message(step.rows - 1), step.bottom);
    }
  }
}

TEST_F(EventLogModelTest, RowsCarryTheTagsLabelAndColour) {
  store_.logEvent(LogCategory::Error, "boom");
  model_.update(store_.events()());
  EXPECT_EQ(model_.data(model_.index(0), app::EventLogModel::TagRole).toString().toStdString(), "ERROR");
  EXPECT_EQ(model_.data(model_.index(0), app::EventLogModel::TagColorRole).toString().toStdString(), "#ff453a");
  EXPECT_FALSE(model_.data(model_.index(0), app::EventLogModel::TimeRole).toString().isEmpty());
}

}  // namespace
}  // namespace veltrano
