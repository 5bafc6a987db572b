#pragma once
// The addresses of a host to connect to. A numeric host needs no lookup and completes at once. A name is looked up
// on a thread of its own: Asio's resolver runs every lookup of an execution context on one thread, so a name server
// that never answers one lookup (analytics, say) would hold up every other (the signaling login) behind it.
//
// Completions run through the handler's executor (the lookup's executor when it has none), never inline. Use one
// object from one sequence; a new lookup cancels the one before it.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace veltrano::platform {

using HostAddresses = std::vector<boost::asio::ip::tcp::endpoint>;

class HostLookup {
 public:
  using Signature = void(boost::system::error_code, HostAddresses);

  explicit HostLookup(boost::asio::any_io_executor executor);
  // Cancels the lookup under way.
  ~HostLookup();
  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  template <typename CompletionToken>
  auto asyncLookup(std::string host, std::uint16_t port, CompletionToken&& token) {
    return boost::asio::async_initiate<CompletionToken, Signature>(
        [this](auto handler, std::string host, std::uint16_t port) {
          start(std::move(host), port, deliverer(std::move(handler)));
        },
        token, std::move(host), port);
  }

  // The lookup under way completes with operation_aborted now; a name server still being asked is left to time
  // out on the lookup's own thread.
  void cancel();

  // Shared with the lookup threads and the context's shut-down.
  using Deliver = std::function<void(boost::system::error_code, HostAddresses)>;
  struct Pending;
  struct Registry;

 private:
  // Wraps `handler` into a copyable function that posts it to its executor, which counts as busy until then.
  template <typename Handler>
  Deliver deliverer(Handler handler) {
    namespace asio = boost::asio;
    auto shared = std::make_shared<Handler>(std::move(handler));
    asio::any_io_executor executor =
        asio::prefer(asio::get_associated_executor(*shared, executor_), asio::execution::outstanding_work.tracked);
    return [shared, executor](boost::system::error_code error, HostAddresses addresses) {
      asio::post(executor, [shared, error, addresses = std::move(addresses)]() mutable {
        std::move(*shared)(error, std::move(addresses));
      });
    };
  }

  void start(std::string host, std::uint16_t port, Deliver deliver);

  boost::asio::any_io_executor executor_;
  std::shared_ptr<Pending> pending_;
};

}  // namespace veltrano::platform
