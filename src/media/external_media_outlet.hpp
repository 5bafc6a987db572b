#pragma once
// The part of a stream server that remote access drives: how many remote viewers it has and where their packets
// go. The video and audio servers implement it, the host's service adapters hand it on.
#include <boost/asio/awaitable.hpp>

#include <functional>

#include "base/encoding.hpp"

namespace veltrano {

// Installed by the remote transport: takes one complete envelope and answers whether it was accepted.
using ExternalPacketSink = std::function<bool(const Bytes& envelope)>;

class ExternalMediaOutlet {
 public:
  virtual ~ExternalMediaOutlet() = default;
  // Count below 1 means none, and then no sink; the server publishes its client count afterwards.
  virtual boost::asio::awaitable<void> applyExternalClients(int count, ExternalPacketSink sink) = 0;
};

}  // namespace veltrano
