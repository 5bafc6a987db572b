#pragma once
// Tasks that the handler starts on the main thread. Such a task begins on a later turn of the main loop,
// never inside the step that starts it, so the step's reply is handed back first.
#include "base/task.hpp"

namespace veltrano {

Task spawnMainTask(Task::Body body);

}  // namespace veltrano
