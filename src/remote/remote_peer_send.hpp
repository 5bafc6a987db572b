#pragma once
// Sending to a remote peer from an executor that must not wait on the peer's own thread: the media servers, the
// file sender, the main thread. Messages queued from one thread reach the peer in the order queued.
#include <boost/asio/awaitable.hpp>

#include <memory>
#include <string>

#include "base/encoding.hpp"
#include "remote/webrtc_peer_session.hpp"

namespace veltrano {

// Queues the message and returns at once; a refusal, or a peer already gone, is not reported.
void queueOnPeer(const std::weak_ptr<WebRTCPeerSession>& peer, std::string label, ByteView message);

// Completes on the caller's executor with whether the peer took the message: false when it refused it, or when
// the peer is gone before it could answer.
boost::asio::awaitable<bool> sendOnPeer(std::weak_ptr<WebRTCPeerSession> peer, std::string label, Bytes message);

}  // namespace veltrano
