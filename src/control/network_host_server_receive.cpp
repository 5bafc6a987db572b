// A control client's receive loop: records in, command lines to the handler or the transfer coordinator,
// replies out.
#include <atomic>
#include "base/actor.hpp"
#include "base/continuation.hpp"
#include "base/thread_checks.hpp"

#include "base/executors.hpp"
#include "base/main_thread_call.hpp"
#include "control/control_record_lines.hpp"
#include "control/network_host_server.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"
#include "localserver/queued_sends.hpp"

namespace veltrano {

namespace asio = boost::asio;

void NetworkHostServer::startReceiveLoop(std::shared_ptr<ControlClient> client, ConnectionID connectionID) {
  assertOnStrand(executor());
  auto state = std::make_shared<ReceiveState>();
  state->commandLog = std::make_shared<LogThrottle>(logClock(), LogThrottleLimits{}, listenerCommandLog_);
  const std::shared_ptr<platform::TcpConnection> connection = client->connection;
  ReceiveStep step = [client, connectionID, state](ListeningServer& server,
                                                   platform::TcpConnection::ReceiveResult received) {
    return static_cast<NetworkHostServer&>(server).handleReceived(client, connectionID, std::move(received), state);
  };
  // The client's phone pointer sessions end with its loop, whether or not the server is still there.
  std::function<void()> onEnd = [handler = commandHandler_, state] {
    endPointerSessions(handler, std::move(state->pointerSessions));
  };
  startReceivingOn(client->sequence, connection, maximumReadSize, std::move(step), std::move(onEnd));
}

asio::awaitable<bool> NetworkHostServer::handleReceived(std::shared_ptr<ControlClient> client,
                                                        ConnectionID connectionID,
                                                        platform::TcpConnection::ReceiveResult received,
                                                        std::shared_ptr<ReceiveState> state) {
  assertOnStrand(client->sequence);
  try {
    // The end of the stream closes the connection; bytes delivered with it are not processed.
    if (received.error || received.isComplete || received.content.empty()) {
      client->connection->cancel();
      co_await runOn(executor(), self()->removeConnection(connectionID));
      co_return false;
    }
    // Counted after the batch, so that a batch of counts going to the main thread never delays a command.
    const std::size_t receivedCount = received.content.size();

    std::vector<Bytes> records;
    bool rejected = false;
    try {
      records = client->session->open(received.content);
    } catch (...) {
      rejected = true;
    }
    if (rejected) {
      client->traffic->addReceived(static_cast<std::int64_t>(receivedCount));
      writeConnectionLogLine("recordRejected", LogCategory::Error,
                             [] { return "Closing local control connection: secure record rejected"; });
      co_await closeForFaultyRecord(client, connectionID);
      co_return false;
    }
    const bool keepReceiving = co_await handleRecords(client, connectionID, std::move(records), *state);
    client->traffic->addReceived(static_cast<std::int64_t>(receivedCount));
    co_return keepReceiving && !client->removed;
  } catch (...) {
    // Nothing here is expected to throw; if it does, the connection must not stay open unserved.
    client->connection->cancel();
    throw;
  }
}

asio::awaitable<bool> NetworkHostServer::handleRecords(const std::shared_ptr<ControlClient>& client,
                                                       ConnectionID connectionID, std::vector<Bytes> records,
                                                       ReceiveState& state) {
  assertOnStrand(client->sequence);
  for (const Bytes& record : records) {
    // A client removed meanwhile (a stop, a failed send) gets nothing more carried out.
    if (client->removed) co_return false;

    const std::optional<std::string> line = commandLineOfRecord(record);
    if (!line) {
      writeConnectionLogLine("invalidRecord", LogCategory::Error,
                             [] { return "Closing local control connection: invalid command record"; });
      co_await closeForFaultyRecord(client, connectionID);
      co_return false;  // the rest of the batch is dropped
    }
    if (line->empty()) continue;

    InputCommandHandler::ParsedLine command = InputCommandHandler::parseLine(*line);
    if (command.parsed.value && command.parsed.value->is_object() && isFileTransferMessage(*command.parsed.value)) {
      co_await handleFileTransferMessage(std::move(*command.parsed.value), client);
      continue;
    }

    // A ping is answered from here; only its log line and metrics go to the main thread, without being waited for.
    // The next record waits until the reply has left (at once, mostly), so a record that closes the connection
    // cannot drop it.
    if (std::optional<json::Json> reply = InputCommandHandler::answerAtOnce(command)) {
      Continuation<> written;
      const std::size_t sent = sendMessage(*reply, *client, true, [written] { written.resume(); });
      commandHandler_->answeredAtOnce(command, state.commandLog);
      if (sent) {
        client->traffic->addSent(static_cast<std::int64_t>(sent));
        // Written at once: no hop through the sequence's queue to learn it.
        if (!written.isResumed()) co_await written.wait();
      }
      continue;
    }
    if (command.pointerSession) state.pointerSessions.insert(*command.pointerSession);
    // The reply leaves from the thread that produced it (the main thread, mostly) instead of waiting for this
    // strand to take it up; its bytes are counted here once the handler is done.
    auto replyBytes = std::make_shared<std::atomic<std::size_t>>(0);
    InputCommandHandler::ReplyObserver sendReply = [client, replyBytes](const json::Json& reply) {
      if (InputCommandHandler::isDiscreteCommand(reply)) replyBytes->store(sendMessage(reply, *client, true));
    };
    asio::awaitable<json::Json> handled =
        commandHandler_->handle(std::move(command), std::move(sendReply), state.commandLog);
    co_await std::move(handled);
    if (const std::size_t sent = replyBytes->load()) client->traffic->addSent(static_cast<std::int64_t>(sent));
  }
  co_return true;
}

asio::awaitable<void> NetworkHostServer::closeForFaultyRecord(const std::shared_ptr<ControlClient>& client,
                                                             ConnectionID connectionID) {
  assertOnStrand(client->sequence);
  // A cancel drops what is still queued: the replies to the records served before the faulty one go first.
  co_await waitForQueuedSends(*client->connection, faultCloseSendTimeout);
  client->connection->cancel();
  co_await runOn(executor(), self()->removeConnection(connectionID));
}

asio::awaitable<void> NetworkHostServer::handleFileTransferMessage(json::Json message,
                                                                   std::shared_ptr<ControlClient> client) {
  assertOnStrand(client->sequence);
  if (!fileTransfers_ || !client->fileEndpoint || message.empty()) co_return;
  // A download's receipts pace it chunk by chunk: they go to the sender from here, not through the main thread.
  if (routeDownloadReceipt(*fileTransfers_, message, client->transferSessionID, client->fileEndpoint)) co_return;
  std::function<void()> route = [coordinator = fileTransfers_, message = std::move(message),
                                 sessionID = client->transferSessionID, endpoint = client->fileEndpoint] {
    routeFileTransferMessage(*coordinator, message, sessionID, endpoint);
  };
  co_await onMainThread(std::move(route));
}

void NetworkHostServer::endPointerSessions(const std::shared_ptr<InputCommandHandler>& handler,
                                           std::set<std::string> pointerSessions) {
  if (pointerSessions.empty()) return;
  performOnMainRunLoop([handler, sessions = std::move(pointerSessions)] {
    for (const std::string& session : sessions) handler->endPhonePointerSession(session);
  });
}

}  // namespace veltrano
