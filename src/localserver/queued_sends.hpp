#pragma once
// Waiting for what a connection has queued to be written, before a close that would otherwise drop it.
#include <boost/asio/awaitable.hpp>

#include <chrono>

#include "platform/net/tcp_connection.hpp"

namespace veltrano {

// Returns once the bytes `connection` had queued when called are handed to the kernel, the connection has ended,
// or `timeout` has passed (a peer that does not read cannot hold the caller longer). Never throws.
boost::asio::awaitable<void> waitForQueuedSends(platform::TcpConnection& connection,
                                                std::chrono::milliseconds timeout);

}  // namespace veltrano
