#pragma once
// Sends one plaintext to a local client as a sealed record: sealing and queuing are one step under the
// connection's send lock, so records reach the socket in the order of their sequence numbers whichever thread
// sends (a reply from the main thread, a broadcast or a file message from a server's strand).
//
// Each connection may hold a bounded number of bytes waiting to be written: a client that stops reading is
// disconnected (with a log line) instead of making the host queue without end.
#include <cstddef>

#include "base/encoding.hpp"
#include "platform/net/tcp_connection.hpp"
#include "transport/local_transport_channel.hpp"
#include "transport/local_transport_session.hpp"

namespace veltrano {

// Bytes a connection of `channel` may have waiting to be written: a few of its largest records, which a client
// that reads never reaches (senders on every channel keep at most one large record in flight).
std::size_t sendQueueLimit(LocalTransportChannel channel);

// Seals `plaintext` and queues the record (or, on the immediate path, writes it from this thread when nothing
// else is on its way). Returns the record's size, or 0 when nothing was sent: the plaintext could not be
// sealed or the client has too much waiting; then it has logged why and cancelled the connection. Any thread.
std::size_t sendSealedRecord(platform::TcpConnection& connection, LocalTransportSession& session, ByteView plaintext,
                             platform::TcpConnection::SendPath path, platform::TcpConnection::SendCompletion completion);

}  // namespace veltrano
