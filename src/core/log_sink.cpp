#include "core/log_sink.hpp"

#include "core/system_log_sink.hpp"

#include <mutex>

namespace veltrano {

namespace {

struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<LogSink> sink = std::make_shared<SystemLogSink>();
};

SinkSlot& slot() {
  static SinkSlot instance;
  return instance;
}

}  // namespace

std::shared_ptr<LogSink> currentLogSink() {
  auto& s = slot();
  std::lock_guard lock(s.mutex);
  return s.sink;
}

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink) {
  auto& s = slot();
  std::lock_guard lock(s.mutex);
  std::swap(s.sink, sink);
  return sink;
}

}  // namespace veltrano
