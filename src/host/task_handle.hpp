#pragma once
// A task held by the host view model: two handles are equal when they name the same task (two empty handles
// are equal), so an observed property holding one notifies only when the task changes.
#include "base/task.hpp"

namespace veltrano {

struct TaskHandle {
  Task task;

  explicit operator bool() const { return static_cast<bool>(task); }
  bool operator==(const TaskHandle& other) const { return task.token() == other.task.token(); }
};

}  // namespace veltrano
