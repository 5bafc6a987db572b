#pragma once
// One client's pair of sinks for file transfer, built by the control server for each local client and by remote
// access for each peer. Endpoints are compared by identity (the same shared object).
#include <boost/asio/awaitable.hpp>

#include <functional>
#include <memory>

#include "base/encoding.hpp"
#include "base/json.hpp"

namespace veltrano {

class RemoteFileTransferEndpoint final {
 public:
  // Queues one JSON object for the client, or drops it when the client is gone. Returns at once; messages given
  // to one endpoint reach the client in the order given. Callable from any thread.
  using ControlSink = std::function<void(const json::Json& message)>;
  // Offers one encoded chunk frame; answers whether it was accepted for sending. Callable from any executor.
  using FileSink = std::function<boost::asio::awaitable<bool>(Bytes frame)>;

  RemoteFileTransferEndpoint(ControlSink controlSink, FileSink fileSink)
      : controlSink(std::move(controlSink)), fileSink(std::move(fileSink)) {}

  const ControlSink controlSink;
  const FileSink fileSink;
};

using RemoteFileTransferEndpointPtr = std::shared_ptr<RemoteFileTransferEndpoint>;

}  // namespace veltrano
