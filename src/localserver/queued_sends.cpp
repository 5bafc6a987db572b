#include "localserver/queued_sends.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "base/continuation.hpp"

namespace veltrano {

boost::asio::awaitable<void> waitForQueuedSends(platform::TcpConnection& connection,
                                                std::chrono::milliseconds timeout) {
  Continuation<> done;
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, timeout);
  timer.async_wait([done](boost::system::error_code error) {
    if (!error) done.resume();
  });
  // Sends are written in order: an empty one completes once everything before it went, or with the error
  // that ended the connection.
  connection.send({}, [done](boost::system::error_code) { done.resume(); });
  co_await done.wait();
  timer.cancel();
}

}  // namespace veltrano
