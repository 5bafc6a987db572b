#pragma once
// One authenticated local control connection, as the control server keeps it.
#include <memory>
#include <string>

#include "filetransfer/remote_file_transfer_endpoint.hpp"
#include "platform/net/tcp_connection.hpp"
#include "transport/local_transport_session.hpp"

namespace veltrano {

struct ControlClient {
  std::shared_ptr<platform::TcpConnection> connection;
  std::shared_ptr<LocalTransportSession> session;
  // The client's file session: lowercase UUID text made when it authenticated.
  std::string transferSessionID;
  // Present only while the host has both a file-channel server and a transfer coordinator.
  RemoteFileTransferEndpointPtr fileEndpoint;
};

}  // namespace veltrano
