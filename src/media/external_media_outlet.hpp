#pragma once
// The part of a stream server that remote access drives: how many remote viewers it has and where their packets
// go. The video and audio servers implement it, the host's service adapters hand it on.
#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

#include "base/encoding.hpp"

namespace veltrano {

// Installed by the remote transport: takes one complete envelope and answers whether it was accepted. It may
// also answer whether every viewer would take an envelope of a given size now; one that cannot tell says yes.
class ExternalPacketSink {
 public:
  using Send = std::function<bool(const Bytes& envelope)>;
  using RoomCheck = std::function<bool(std::size_t envelopeSize)>;

  ExternalPacketSink() = default;
  ExternalPacketSink(std::nullptr_t) {}
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, ExternalPacketSink> &&
             std::is_invocable_r_v<bool, F&, const Bytes&>)
  ExternalPacketSink(F send) : send_(std::move(send)) {}
  ExternalPacketSink(Send send, RoomCheck hasRoom) : send_(std::move(send)), hasRoom_(std::move(hasRoom)) {}

  bool operator()(const Bytes& envelope) const { return send_(envelope); }
  bool tellsRoom() const { return static_cast<bool>(hasRoom_); }
  bool hasRoomFor(std::size_t envelopeSize) const { return !hasRoom_ || hasRoom_(envelopeSize); }
  explicit operator bool() const { return static_cast<bool>(send_); }

 private:
  Send send_;
  RoomCheck hasRoom_;
};

class ExternalMediaOutlet {
 public:
  virtual ~ExternalMediaOutlet() = default;
  // Count below 1 means none, and then no sink; the server publishes its client count afterwards.
  virtual boost::asio::awaitable<void> applyExternalClients(int count, ExternalPacketSink sink) = 0;
};

}  // namespace veltrano
