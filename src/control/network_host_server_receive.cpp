// A control client's receive loop: records in, command lines to the handler or the transfer coordinator,
// replies out.
#include <atomic>

#include "control/control_record_lines.hpp"
#include "control/main_thread_call.hpp"
#include "control/network_host_server.hpp"
#include "core/main_run_loop.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"

namespace veltrano {

namespace asio = boost::asio;

asio::awaitable<void> NetworkHostServer::receiveLoop(std::shared_ptr<ControlClient> client,
                                                     ConnectionID connectionID) {
  std::set<std::string> pointerSessions;
  const auto commandLog = std::make_shared<LogThrottle>(logClock());
  try {
    while (isRegistered(client, connectionID)) {
      platform::TcpConnection::ReceiveResult received =
          co_await client->connection->receiveAsync(1, maximumReadSize);
      // The end of the stream closes the connection; bytes delivered with it are not processed.
      if (received.error || received.isComplete || received.content.empty()) {
        client->connection->cancel();
        co_await removeConnection(connectionID);
        break;
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
        addReceivedBytes(receivedCount);
        writeConnectionLogLine("recordRejected", LogCategory::Error,
                               [] { return "Closing local control connection: secure record rejected"; });
        client->connection->cancel();
        co_await removeConnection(connectionID);
        break;
      }
      const bool keepReceiving =
          co_await handleRecords(client, connectionID, std::move(records), pointerSessions, commandLog);
      addReceivedBytes(receivedCount);
      if (!keepReceiving) break;
    }
  } catch (...) {
    // Nothing here is expected to throw; if it does, the connection must not stay open unserved.
    client->connection->cancel();
    endPointerSessions(std::move(pointerSessions));
    throw;
  }
  endPointerSessions(std::move(pointerSessions));
}

asio::awaitable<bool> NetworkHostServer::handleRecords(const std::shared_ptr<ControlClient>& client,
                                                       ConnectionID connectionID, std::vector<Bytes> records,
                                                       std::set<std::string>& pointerSessions,
                                                       const std::shared_ptr<LogThrottle>& commandLog) {
  for (const Bytes& record : records) {
    // A client removed meanwhile (a stop, a failed send) gets nothing more carried out.
    if (!isRegistered(client, connectionID)) co_return false;

    const std::optional<std::string> line = commandLineOfRecord(record);
    if (!line) {
      writeConnectionLogLine("invalidRecord", LogCategory::Error,
                             [] { return "Closing local control connection: invalid command record"; });
      client->connection->cancel();
      co_await removeConnection(connectionID);
      co_return false;  // the rest of the batch is dropped
    }
    if (line->empty()) continue;

    json::ParseResult parsed = json::parseObjectOrArray(*line);
    if (parsed.value && parsed.value->is_object() && isFileTransferMessage(*parsed.value)) {
      co_await handleFileTransferMessage(std::move(*parsed.value), client);
      continue;
    }

    if (std::optional<std::string> session = InputCommandHandler::phonePointerSession(*line)) {
      pointerSessions.insert(std::move(*session));
    }
    // The reply leaves from the thread that produced it (the main thread, mostly) instead of waiting for this
    // strand to take it up; its bytes are counted here once the handler is done.
    auto replyBytes = std::make_shared<std::atomic<std::size_t>>(0);
    InputCommandHandler::ReplyObserver sendReply = [client, replyBytes](const json::Json& reply) {
      if (InputCommandHandler::isDiscreteCommand(reply)) replyBytes->store(sendMessage(reply, *client, true));
    };
    asio::awaitable<json::Json> handled = commandHandler->handle(*line, std::move(sendReply), commandLog);
    co_await std::move(handled);
    if (const std::size_t sent = replyBytes->load()) trafficCounters->addSent(static_cast<std::int64_t>(sent));
  }
  co_return true;
}

asio::awaitable<void> NetworkHostServer::handleFileTransferMessage(json::Json message,
                                                                   std::shared_ptr<ControlClient> client) {
  if (!fileTransfers || !client->fileEndpoint || message.empty()) co_return;
  std::function<void()> route = [coordinator = fileTransfers, message = std::move(message),
                                 sessionID = client->transferSessionID, endpoint = client->fileEndpoint] {
    routeFileTransferMessage(*coordinator, message, sessionID, endpoint);
  };
  co_await onMainThread(std::move(route));
}

void NetworkHostServer::endPointerSessions(std::set<std::string> pointerSessions) const {
  if (pointerSessions.empty()) return;
  performOnMainRunLoop([handler = commandHandler, sessions = std::move(pointerSessions)] {
    for (const std::string& session : sessions) handler->endPhonePointerSession(session);
  });
}

void NetworkHostServer::addReceivedBytes(std::size_t count) {
  trafficCounters->addReceived(static_cast<std::int64_t>(count));
}

}  // namespace veltrano
