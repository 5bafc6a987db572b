#include "remote/remote_peer_send.hpp"

#include "base/continuation.hpp"

namespace veltrano {

namespace {

// Answers false when dropped unanswered (the peer went away with the message still queued).
struct PendingAnswer {
  Continuation<bool> answer;
  ~PendingAnswer() { answer.resume(false); }
};

}  // namespace

void queueOnPeer(const std::weak_ptr<WebRTCPeerSession>& weakPeer, std::string label, ByteView message) {
  const auto peer = weakPeer.lock();
  if (!peer) return;
  peer->sendWithoutWaiting(std::move(label), std::make_shared<const Bytes>(message.begin(), message.end()), nullptr);
}

boost::asio::awaitable<bool> sendOnPeer(std::weak_ptr<WebRTCPeerSession> weakPeer, std::string label,
                                        Bytes message) {
  const auto peer = weakPeer.lock();
  if (!peer) co_return false;
  auto pending = std::make_shared<PendingAnswer>();
  const Continuation<bool> answer = pending->answer;
  peer->sendWithoutWaiting(std::move(label), std::make_shared<const Bytes>(std::move(message)),
                           [pending = std::move(pending)](bool accepted) { pending->answer.resume(accepted); });
  co_return co_await answer.wait();
}

}  // namespace veltrano
