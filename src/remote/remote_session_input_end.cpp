#include "remote/remote_session_input_end.hpp"

#include <utility>

namespace veltrano {

namespace {

boost::asio::awaitable<void> endRecorded(EndPhonePointerSessions endSessions, std::set<std::string> pointerSessions) {
  co_await endSessions(std::move(pointerSessions));
}

}  // namespace

void endRemoteSessionInput(RemotePhonePointerQueue& queue, RemoteSessionLifetime& lifetime,
                           EndPhonePointerSessions endSessions) {
  std::set<std::string> pointerSessions = queue.pointerSessionSnapshot();
  if (!pointerSessions.empty()) {
    queue.enqueue(
        [endSessions = std::move(endSessions), pointerSessions = std::move(pointerSessions)] {
          return endRecorded(endSessions, pointerSessions);
        },
        false);
  }
  lifetime.deactivate();
}

}  // namespace veltrano
