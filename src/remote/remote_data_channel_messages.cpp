// What a remote session sends on its data channels: chunk frames and file-transfer messages go to the transfer
// coordinator (the messages in turn with the commands), the two media-control messages change what the session
// receives, and everything else is a command for the input handler, run in arrival order through the session's
// queue and answered on the control channel only.
#include "remote/remote_host_coordinator.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "base/executors.hpp"
#include "base/thread_checks.hpp"
#include "control/input_command_handler.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "remote/data_channel_labels.hpp"
#include "remote/remote_media_control.hpp"
#include "remote/remote_peer_send.hpp"

namespace veltrano {

namespace {

// One command of a remote session, run through the session's queue. Commands that came on the input channel are
// never answered, nor moves, drags and scrolls on either channel.
asio::awaitable<void> runRemoteInputCommand(InputCommandHandler::ParsedLine line, bool answered,
                                            std::shared_ptr<RemoteSessionLifetime> lifetime,
                                            std::shared_ptr<InputCommandHandler> handler,
                                            std::weak_ptr<WebRTCPeerSession> peer) {
  if (!lifetime->isActive()) co_return;
  // The reply leaves as soon as it exists, from the thread that made it; one message, no line feed.
  InputCommandHandler::ReplyObserver sendReply = [answered, peer](const json::Json& reply) {
    if (!answered || !InputCommandHandler::isDiscreteCommand(reply)) return;
    const std::string text = json::dump(reply);
    queueOnPeer(peer, std::string(controlChannelLabel), asBytes(text));
  };
  co_await handler->handle(std::move(line), std::move(sendReply));
}

// A main-thread step of a remote session, run through the session's queue between its commands.
asio::awaitable<void> runInTurn(std::function<void()> step) {
  step();
  co_return;
}

}  // namespace

void RemoteHostCoordinator::handleDataChannelMessage(const std::string& label, const Bytes& data,
                                                     const std::string& sessionID, const PeerWeak& weakPeer,
                                                     const std::shared_ptr<RemoteSessionLifetime>& lifetime,
                                                     const std::shared_ptr<RemotePhonePointerQueue>& pointerQueue,
                                                     const RemoteFileTransferEndpointPtr& fileEndpoint) {
  const auto peer = weakPeer.lock();
  if (!peer || !lifetime->isActive()) return;
  const Weak weak = weak_from_this();

  if (label == fileChannelLabel) {
    enterSession(weak, sessionID, weakPeer,
                 [data](RemoteHostCoordinator& self, const std::string& sessionID, Session&,
                        const std::shared_ptr<WebRTCPeerSession>&) { self.handleRemoteFileData(data, sessionID); });
    return;
  }
  const bool onControl = label == controlChannelLabel;
  if (!onControl && label != inputChannelLabel) return;  // media channels carry nothing inbound

  InputCommandHandler::ParsedLine line = InputCommandHandler::parseLine(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  if (!line.validUtf8) return;
  if (onControl && line.parsed.value && line.parsed.value->is_object()) {
    json::Json message = *line.parsed.value;
    if (isFileTransferMessage(message)) {
      // A download's receipts pace it chunk by chunk: they go to its sender from here, not through the main thread.
      if (routeDownloadReceipt(*fileTransfers, message, sessionID, fileEndpoint)) return;
      // In turn with the session's commands (the queue runs on the main thread): a key sent before a panel is
      // asked for must not land in that panel.
      std::function<void()> route =
          guarded(weak, sessionID, weakPeer,
                  [message = std::move(message)](RemoteHostCoordinator& self, const std::string& sessionID,
                                                 Session& session, const std::shared_ptr<WebRTCPeerSession>&) {
                    self.handleRemoteFileMessage(message, sessionID, session);
                  });
      pointerQueue->enqueue([route = std::move(route)] { return runInTurn(route); }, false);
      return;
    }
    if (parseMediaControl(message)) {
      enterSession(weak, sessionID, weakPeer,
                   [message = std::move(message)](RemoteHostCoordinator& self, const std::string& sessionID,
                                                  Session& session, const std::shared_ptr<WebRTCPeerSession>&) {
                     self.handleMediaControlMessage(message, sessionID, session);
                   });
      return;
    }
  }

  // A ping needs nothing of the main thread: when nothing the session sent before it is still to run, it is
  // answered from here, and only its log line and metrics go to the main thread.
  if (std::optional<json::Json> pong = InputCommandHandler::answerAtOnce(line); pong && pointerQueue->isIdle()) {
    if (onControl) queueOnPeer(peer, std::string(controlChannelLabel), asBytes(json::dump(*pong)));
    commandHandler->answeredAtOnce(line);
    return;
  }
  if (line.pointerSession) pointerQueue->insertPointerSession(*line.pointerSession);
  const bool droppable = line.type && InputCommandHandler::isDroppableCommand(*line.type);
  auto operation = [line = std::move(line), onControl, lifetime, handler = commandHandler, weakPeer]() mutable {
    return runRemoteInputCommand(std::move(line), onControl, lifetime, handler, weakPeer);
  };
  // Every command of the session runs in arrival order, phone pointer commands and the others alike, as on a local
  // control connection: a key pressed after a text must not overtake the text's typing.
  pointerQueue->enqueue(std::move(operation), droppable);
}

void RemoteHostCoordinator::handleRemoteFileData(const Bytes& data, const std::string& sessionID) {
  assertOnMainThread();
  // Started in arrival order: the upload's writer takes the frames in the order they are handed in.
  Task::spawn(mainExecutor(), [transfers = fileTransfers, data, sessionID](TaskToken) {
    return transfers->handleIncomingChunk(data, sessionID);
  });
}

void RemoteHostCoordinator::handleRemoteFileMessage(const json::Json& message, const std::string& sessionID,
                                                    const Session& session) {
  assertOnMainThread();
  routeFileTransferMessage(*fileTransfers, message, sessionID, session.fileEndpoint);
}

void RemoteHostCoordinator::handleMediaControlMessage(const json::Json& message, const std::string& sessionID,
                                                      Session& session) {
  assertOnMainThread();
  const auto type = json::stringMember(message, "type");
  if (type == "setAudioStreaming") {
    session.audioEnabled = requestedAudioStreaming(message);
    mediaHub->setAudioEnabled(session.audioEnabled, sessionID);
  } else if (type == "setVideoSubscriptions") {
    // Displays without a video server are never subscribed.
    std::set<std::uint32_t> displayIDs;
    for (const std::uint32_t displayID : requestedDisplayIDs(message)) {
      if (videoServers_.contains(displayID)) displayIDs.insert(displayID);
    }
    session.visibleDisplayIDs = displayIDs;
    mediaHub->setVisibleDisplayIDs(std::move(displayIDs), sessionID);
  } else {
    return;
  }
  updateExternalMediaClients();
}

}  // namespace veltrano
