#pragma once
// A test's or benchmark's own thread waiting for a peer session's answers. Fine there: it is never a thread of the
// peer sessions' pool, which the answers need. False also when the session was gone before it answered.
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "base/encoding.hpp"
#include "remote/webrtc_peer_session.hpp"

namespace veltrano::testing {

inline bool waitForAnswer(const std::function<void(std::function<void(bool)>)>& ask) {
  auto promise = std::make_shared<std::promise<bool>>();
  std::future<bool> answer = promise->get_future();
  ask([promise](bool value) { promise->set_value(value); });
  promise.reset();
  try {
    return answer.get();
  } catch (const std::future_error&) {
    return false;  // dropped unanswered
  }
}

// Makes the session's connection; false when none could be made.
inline bool startAndWait(WebRTCPeerSession& session) {
  return waitForAnswer([&](std::function<void(bool)> made) { session.start(std::move(made)); });
}

inline bool openAndWait(WebRTCPeerSession& session, const std::string& label, bool reliable) {
  return waitForAnswer([&](std::function<void(bool)> opened) { session.openChannel(label, reliable, std::move(opened)); });
}

inline bool sendAndWait(WebRTCPeerSession& session, const std::string& label, ByteView message) {
  return waitForAnswer([&](std::function<void(bool)> sent) {
    session.sendWithoutWaiting(label, std::make_shared<const Bytes>(message.begin(), message.end()), std::move(sent));
  });
}

}  // namespace veltrano::testing
