#pragma once
// Cancelling a listener and waiting until it has really finished, so that a stop returns only once the port is
// free and no handler of the old listener can run any more.
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "base/continuation.hpp"
#include "platform/net/network_listener.hpp"

namespace veltrano {

// One per cancellation. The listener's state handler that captures it keeps it alive. Whichever comes first of
// the listener's failed or cancelled report and the safety time-out resumes the waiting stop; later ones do
// nothing.
class NWListenerCancellationWaiter {
 public:
  explicit NWListenerCancellationWaiter(Continuation<> continuation);
  // Takes the continuation under the lock and resumes it outside the lock; only the first call resumes.
  // Answers whether this call resumed it.
  bool resumeOnce();

 private:
  std::mutex lock;
  std::optional<Continuation<>> continuation;
};

// Long enough for any listener that works; it only guards a stop against one that never reports.
inline constexpr std::chrono::milliseconds defaultListenerCancellationTimeout{5000};

// Replaces the listener's state handler with one that waits for failed or cancelled, cancels the listener and
// returns once either was reported, or after `safetyTimeout`. The listener's previous handler (and its log
// lines) no longer run. Never throws.
boost::asio::awaitable<void> cancelAndWait(std::shared_ptr<platform::NetworkListener> listener,
                                           std::chrono::milliseconds safetyTimeout = defaultListenerCancellationTimeout);

}  // namespace veltrano
