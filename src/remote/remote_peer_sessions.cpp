// The coordinator's peer sessions: signals held until the first ICE server list, checked and handed to the
// session of their identifier (made by an offer), the peers' own signals sent back through signaling, the peers'
// states and routes, and the end of a session.
#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "base/executors.hpp"
#include "base/json.hpp"
#include "base/main_thread_call.hpp"
#include "base/thread_checks.hpp"
#include "control/input_command_handler.hpp"
#include "core/app_logger.hpp"
#include "core/remote_session_log.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "remote/data_channel_labels.hpp"
#include "remote/remote_host_coordinator.hpp"
#include "remote/remote_peer_send.hpp"
#include "remote/remote_session_input_end.hpp"

namespace veltrano {
namespace {

asio::awaitable<void> endPointerSessions(std::shared_ptr<InputCommandHandler> handler,
                                         std::set<std::string> pointerSessions) {
  std::function<void()> step = [handler, pointerSessions] {
    for (const std::string& session : pointerSessions) handler->endPhonePointerSession(session);
  };
  co_await onMainThread<void>(std::move(step));
}

}  // namespace

void RemoteHostCoordinator::handleICEServers(const std::vector<SignalingICEServer>& servers) {
  assertOnMainThread();
  iceServers_ = servers;
  hasReceivedICEServers_ = true;
  for (auto& [sessionID, session] : sessions_) session.peer->updateIceServers(servers);
  std::vector<SignalingPayload> held = std::exchange(pendingSignals_, {});
  for (const SignalingPayload& signal : held) handleSignal(signal);
}

void RemoteHostCoordinator::handleSignal(const SignalingPayload& signal) {
  assertOnMainThread();
  if (!hasReceivedICEServers_) {
    if (pendingSignals_.size() < pendingSignalLimit) pendingSignals_.push_back(signal);
    return;
  }
  // Only the device that made a session may end it: a stranger's signal for it, well formed or not, is dropped.
  if (const auto owned = sessions_.find(signal.sessionID);
      owned != sessions_.end() && owned->second.deviceID != signal.fromDeviceID) {
    log(LogCategory::Error, "REMOTE: signal device mismatch for session=" + signal.sessionID);
    return;
  }
  if (!parseSignal(signal.kind, signal.data)) {
    log(LogCategory::Error, "REMOTE: invalid " + signal.kind + " signal for session=" + signal.sessionID);
    closeSession(signal.sessionID, true, nullptr);
    beginNetworkRecovery();
    return;
  }
  if (signal.kind == "offer" && !sessions_.contains(signal.sessionID)) {
    if (!admitsNewSession(signal)) return;
    createSession(signal.fromDeviceID, signal.sessionID);
  }
  const auto found = sessions_.find(signal.sessionID);
  if (found == sessions_.end()) return;
  found->second.peer->handleRemoteSignal(signal.kind, signal.data);
}

void RemoteHostCoordinator::createSession(const std::string& deviceID, const std::string& sessionID) {
  assertOnMainThread();
  auto peer = WebRTCPeerSession::create(iceServers_, false, {environment_.makePeerConnection, environment_.clock});
  Session session;
  session.deviceID = deviceID;
  session.phonePointerQueue = RemotePhonePointerQueue::create(mainExecutor());
  session.lifetime = std::make_shared<RemoteSessionLifetime>();
  session.fileEndpoint = makeFileEndpoint(peer);
  session.peer = peer;
  installPeerCallbacks(*peer, sessionID, deviceID, session);
  session.connectLimit = startConnectLimit(sessionID, peer, sessionConnectLimit, "did not connect within 60 s");
  sessions_[sessionID] = std::move(session);
  // Signals for the session queue behind the making of its connection; one that cannot be made ends the session.
  peer->start([weak = weak_from_this(), weakPeer = PeerWeak(peer), sessionID](bool made) {
    if (made) return;
    enterSession(weak, sessionID, weakPeer,
                 [](RemoteHostCoordinator& self, const std::string& sessionID, Session&,
                    const std::shared_ptr<WebRTCPeerSession>& current) {
                   logRemoteSessionCreationFailed();
                   self.closeSession(sessionID, false, current);
                 });
  });
}

bool RemoteHostCoordinator::admitsNewSession(const SignalingPayload& offer) {
  std::size_t ofDevice = 0;
  std::size_t inAll = 0;
  for (const auto& [sessionID, session] : sessions_) {
    if (session.isConnected) continue;
    ++inAll;
    if (session.deviceID == offer.fromDeviceID) ++ofDevice;
  }
  return negotiationBound_.admits(offer.fromDeviceID, offer.sessionID, ofDevice, inAll);
}

RemoteFileTransferEndpointPtr RemoteHostCoordinator::makeFileEndpoint(const PeerWeak& peer) {
  // Neither waits for the peer's thread: the main thread sends control messages, the file sender's pool the frames.
  auto controlSink = [peer](const json::Json& message) {
    if (message.is_object()) queueOnPeer(peer, std::string(controlChannelLabel), asBytes(json::dump(message)));
  };
  auto fileSink = [peer](Bytes frame) { return sendOnPeer(peer, std::string(fileChannelLabel), std::move(frame)); };
  return std::make_shared<RemoteFileTransferEndpoint>(std::move(controlSink), std::move(fileSink));
}

void RemoteHostCoordinator::installPeerCallbacks(WebRTCPeerSession& peer, const std::string& sessionID,
                                                 const std::string& deviceID, const Session& session) {
  const Weak weak = weak_from_this();
  const PeerWeak weakPeer = peer.weak_from_this();
  WebRTCPeerCallbacks& callbacks = peer.callbacks();
  callbacks.onLocalSignal = [weak, weakPeer, sessionID, deviceID](const std::string& kind, const Bytes& data) {
    Task::spawn(mainExecutor(), [weak, weakPeer, sessionID, deviceID, kind, data](TaskToken) {
      return forwardLocalSignal(weak, kind, data, sessionID, deviceID, weakPeer);
    });
  };
  callbacks.onState = [weak, weakPeer, sessionID](WebRTCPeerCallbacks::State state) {
    enterSession(weak, sessionID, weakPeer,
                 [state](RemoteHostCoordinator& self, const std::string& sessionID, Session& session,
                         const std::shared_ptr<WebRTCPeerSession>& current) {
                   self.handlePeerState(state, sessionID, session, current);
                 });
  };
  callbacks.onData = [weak, weakPeer, sessionID, lifetime = session.lifetime, queue = session.phonePointerQueue,
                      endpoint = session.fileEndpoint](const std::string& label, const Bytes& data) {
    if (const auto self = weak.lock()) {
      self->handleDataChannelMessage(label, data, sessionID, weakPeer, lifetime, queue, endpoint);
    }
  };
  callbacks.onChannelOpened = [weak, weakPeer, sessionID](const std::string& label) {
    if (const auto self = weak.lock()) self->handleChannelOpened(label, sessionID, weakPeer);
  };
  callbacks.onRoute = [weak, weakPeer, sessionID](WebRTCRoute route) {
    logRemoteSessionRoute(sessionID, route);
    enterSession(weak, sessionID, weakPeer,
                 [route](RemoteHostCoordinator& self, const std::string&, Session& session,
                         const std::shared_ptr<WebRTCPeerSession>&) { self.handlePeerRoute(route, session); });
  };
}

Task RemoteHostCoordinator::startConnectLimit(const std::string& sessionID, const PeerWeak& peer,
                                              Clock::Duration limit, std::string failure) {
  Clock* clock = environment_.clock;
  return Task::spawn(mainExecutor(), [weak = weak_from_this(), sessionID, peer, limit, failure,
                                      clock](TaskToken token) -> asio::awaitable<void> {
    co_await clock->sleepUntil(token, clock->now() + limit);
    // A connected report cancels it.
    if (token->isCancelled()) co_return;
    const OwnedSession owned = ownedSession(weak, sessionID, peer);
    if (!owned) co_return;
    log(LogCategory::Error, "REMOTE: session=" + sessionID + " " + failure);
    owned.coordinator->closeSession(sessionID, true, owned.peer);
  });
}

asio::awaitable<void> RemoteHostCoordinator::forwardLocalSignal(Weak weak, std::string kind, Bytes data,
                                                                std::string sessionID, std::string deviceID,
                                                                PeerWeak peer) {
  std::shared_ptr<RemoteSignaling> signaling;
  {
    const OwnedSession owned = ownedSession(weak, sessionID, peer);
    if (!owned || !owned.coordinator->signaling_) co_return;
    signaling = owned.coordinator->signaling_;
  }
  std::string failure;
  try {
    auto send = signaling->sendSignal(deviceID, sessionID, kind, std::move(data));
    co_await std::move(send);
    co_return;
  } catch (const std::exception& error) {
    failure = error.what();
  }
  {
    const OwnedSession owned = ownedSession(weak, sessionID, peer);
    if (!owned) co_return;
    log(LogCategory::Error, "REMOTE: send " + kind + " failed for session=" + sessionID + ": " + failure);
    owned.coordinator->closeSession(sessionID, true, nullptr);
  }
  co_await signaling->networkChanged();
}

void RemoteHostCoordinator::handlePeerState(WebRTCPeerCallbacks::State state, const std::string& sessionID,
                                            Session& session, const std::shared_ptr<WebRTCPeerSession>& peer) {
  assertOnMainThread();
  using State = WebRTCPeerCallbacks::State;
  switch (state) {
    case State::connecting:
      if (session.route) {
        session.route.reset();
        reportRoutes();
      }
      setStatus("host.remote.connecting_device");
      break;
    case State::connected: handlePeerConnected(sessionID, session, peer); break;
    case State::disconnected:
      closeSession(sessionID, true, peer);
      setStatus("host.remote.recovering_connection");
      break;
    case State::failed: closeSession(sessionID, true, peer); break;
    case State::closed: closeSession(sessionID, false, peer); break;
  }
}

void RemoteHostCoordinator::handlePeerConnected(const std::string& sessionID, Session& session,
                                                const std::shared_ptr<WebRTCPeerSession>& peer) {
  // Connected again after an ICE restart: the video it missed meanwhile is not resent.
  const bool resumed = std::exchange(session.isConnected, true);
  session.connectLimit.cancel();
  mediaHub->registerPeer(peer, sessionID);
  mediaHub->setAudioEnabled(session.audioEnabled, sessionID);
  mediaHub->setVisibleDisplayIDs(session.visibleDisplayIDs, sessionID);
  if (resumed) mediaHub->resumeAfterGap(sessionID);
  // The tablet opens the control, input and file channels; the media channels are the host's.
  peer->openChannel(std::string(audioChannelLabel), false);
  for (const auto& [displayID, server] : videoServers_) peer->openChannel(videoChannelLabel(displayID), false);
  setStatus("host.remote.ready");
  reportConnectedClientCount();
  updateExternalMediaClients();
}

void RemoteHostCoordinator::handlePeerRoute(WebRTCRoute route, Session& session) {
  assertOnMainThread();
  session.route = route;
  reportRoutes();
}

RemoteHostCoordinator::OwnedSession RemoteHostCoordinator::ownedSession(const Weak& weak, const std::string& sessionID,
                                                                        const PeerWeak& peer) {
  assertOnMainThread();
  OwnedSession owned{weak.lock(), peer.lock()};
  if (owned.coordinator && owned.peer) owned.session = owned.coordinator->sessionOwnedBy(sessionID, owned.peer);
  return owned;
}

std::function<void()> RemoteHostCoordinator::guarded(Weak weak, std::string sessionID, PeerWeak peer,
                                                     SessionStep step) {
  return [weak = std::move(weak), sessionID = std::move(sessionID), peer = std::move(peer), step = std::move(step)] {
    const OwnedSession owned = ownedSession(weak, sessionID, peer);
    if (owned) step(*owned.coordinator, sessionID, *owned.session, owned.peer);
  };
}

void RemoteHostCoordinator::enterSession(Weak weak, std::string sessionID, PeerWeak peer, SessionStep step) {
  performOnMainRunLoop(guarded(std::move(weak), std::move(sessionID), std::move(peer), std::move(step)));
}

RemoteHostCoordinator::Session* RemoteHostCoordinator::sessionOwnedBy(const std::string& sessionID,
                                                                      const std::shared_ptr<WebRTCPeerSession>& peer) {
  const auto found = sessions_.find(sessionID);
  if (found == sessions_.end() || found->second.peer != peer) return nullptr;
  return &found->second;
}

void RemoteHostCoordinator::closeSession(const std::string& sessionID, bool closePeer,
                                         const std::shared_ptr<WebRTCPeerSession>& expectedPeer) {
  assertOnMainThread();
  const auto found = sessions_.find(sessionID);
  if (found == sessions_.end()) return;
  if (expectedPeer && found->second.peer != expectedPeer) return;
  Session session = std::move(found->second);
  sessions_.erase(found);
  session.connectLimit.cancel();
  fileTransfers->cancelTransfers(sessionID);
  endSessionInput(session);
  mediaHub->remove(sessionID);
  if (closePeer) session.peer->close();
  reportRoutes();
  reportConnectedClientCount();
  updateExternalMediaClients();
}

void RemoteHostCoordinator::endSessionInput(const Session& session) {
  endRemoteSessionInput(*session.phonePointerQueue, *session.lifetime,
                        [handler = commandHandler](std::set<std::string> pointerSessions) {
                          return endPointerSessions(handler, std::move(pointerSessions));
                        });
}

void RemoteHostCoordinator::beginNetworkRecovery(bool restartICEOnceBack) {
  assertOnMainThread();
  if (!signaling_) return;
  setStatus("host.remote.recovering");
  // The restart waits for a connection newer than the replaced one: the replaced one's own "connected" may still be
  // on its way here (a restart offer sent over a socket about to close would be lost with it), and the new one's
  // may come before the replaced one's number does.
  Task::spawn(mainExecutor(), [weak = weak_from_this(), signaling = signaling_,
                               restartICEOnceBack](TaskToken) -> asio::awaitable<void> {
    const std::uint64_t replaced = co_await signaling->networkChanged();
    const auto self = weak.lock();
    if (!restartICEOnceBack || !self || self->signaling_ != signaling) co_return;
    if (self->lastConnectedSignaling_ > replaced) {
      self->restartICEOnEverySession();
    } else {
      self->restartICEAfterConnection_ = std::max(self->restartICEAfterConnection_.value_or(0), replaced);
    }
  });
}

}  // namespace veltrano
