#pragma once
// One authenticated local control connection, as the control server keeps it.
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/executors.hpp"
#include "base/json.hpp"
#include "control/control_traffic_counters.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"
#include "platform/net/tcp_connection.hpp"
#include "transport/local_transport_session.hpp"

namespace veltrano {

struct ControlClient {
  // Spelled out because clang does not yet make aggregates from parentheses (std::make_shared).
  ControlClient(std::shared_ptr<platform::TcpConnection> connection, std::shared_ptr<LocalTransportSession> session,
                std::string transferSessionID, Strand sequence, std::shared_ptr<ControlTrafficCounters> traffic)
      : connection(std::move(connection)),
        session(std::move(session)),
        transferSessionID(std::move(transferSessionID)),
        sequence(std::move(sequence)),
        traffic(std::move(traffic)) {}

  std::shared_ptr<platform::TcpConnection> connection;
  std::shared_ptr<LocalTransportSession> session;
  // The client's file session: lowercase UUID text made when it authenticated.
  std::string transferSessionID;
  // The client's own sequence: its receive loop opens and serves its records there one after another, and what
  // the server sends to this client alone leaves from there, so clients are served side by side.
  Strand sequence;
  // The bytes sent to and received from this client; used on `sequence`.
  std::shared_ptr<ControlTrafficCounters> traffic;
  // Present only while the host has both a file-channel server and a transfer coordinator. Set before the client
  // is registered, never changed after.
  RemoteFileTransferEndpointPtr fileEndpoint;
  // Raised on the server's strand when the client is removed (or the server stops); its sequence then carries
  // out nothing more of what it still reads.
  std::atomic<bool> removed{false};
  // Used on the server's strand only. The client is registered, and so reached by broadcasts, before its hello is
  // ready; broadcasts wait here until the hello is queued, as the hello must be the first message it gets.
  bool helloQueued = false;
  std::vector<json::Json> broadcastsBeforeHello;
};

}  // namespace veltrano
