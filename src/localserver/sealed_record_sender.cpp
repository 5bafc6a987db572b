#include "localserver/sealed_record_sender.hpp"

#include <string>

#include "core/app_logger.hpp"

namespace veltrano {

namespace {

constexpr std::size_t kRecordsAllowedToWait = 4;

std::string channelName(LocalTransportChannel channel) {
  switch (channel) {
    case LocalTransportChannel::control:
      return "control";
    case LocalTransportChannel::video:
      return "video";
    case LocalTransportChannel::audio:
      return "audio";
    case LocalTransportChannel::file:
      return "file";
  }
  return "local";
}

}  // namespace

std::size_t sendQueueLimit(LocalTransportChannel channel) {
  return kRecordsAllowedToWait * (maximumPlaintextSize(channel) + LocalTransportSession::recordOverhead);
}

std::size_t sendSealedRecord(platform::TcpConnection& connection, LocalTransportSession& session, ByteView plaintext,
                             platform::TcpConnection::SendPath path,
                             platform::TcpConnection::SendCompletion completion) {
  using Outcome = platform::TcpConnection::SendAdmission::Outcome;
  const LocalTransportChannel channel = session.channel();
  const std::size_t limit = sendQueueLimit(channel);
  platform::TcpConnection::SendAdmission admission;
  try {
    admission = connection.sendMade([&] { return session.seal(plaintext); }, path, limit, std::move(completion));
  } catch (...) {
    log(LogCategory::Error, [&] { return "Secure " + channelName(channel) + " send failed before writing"; });
    connection.cancel();  // its cancelled state removes the client
    return 0;
  }
  switch (admission.outcome) {
    case Outcome::accepted:
      return admission.size;
    case Outcome::overLimit:
      log(LogCategory::Error, [&] {
        return "Closing local " + channelName(channel) + " connection: " + std::to_string(admission.queuedBytes) +
               " bytes waiting to be sent, over the limit of " + std::to_string(limit);
      });
      connection.cancel();
      return 0;
    case Outcome::ended:
      return 0;
  }
  return 0;
}

}  // namespace veltrano
