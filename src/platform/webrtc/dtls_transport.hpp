#pragma once
// DTLS 1.2 over a DatagramLink, in either role, with the peer's certificate checked against the fingerprint its
// session description announced. Single-threaded: every method and every observer call runs on the owner's
// network thread; observer calls never happen while the observer is inside send() or close().
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <openssl/ssl.h>

#include "platform/webrtc/network_sequence.hpp"
#include "platform/webrtc/datagram_link.hpp"
#include "platform/webrtc/dtls_identity.hpp"

namespace veltrano::webrtc {

// "a=setup:active" is the client, "a=setup:passive" the server.
enum class DtlsRole { client, server };

enum class DtlsState { idle, connecting, connected, closed, failed };

class DtlsTransport {
 public:
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void onDtlsStateChange(DtlsState state, const std::string& reason) = 0;
    virtual void onDtlsData(std::span<const std::uint8_t> data) = 0;
  };

  // The link and observer must outlive the transport.
  DtlsTransport(std::shared_ptr<const DtlsIdentity> identity, DtlsRole role, DatagramLink& link, Observer& observer);
  ~DtlsTransport();
  DtlsTransport(const DtlsTransport&) = delete;
  DtlsTransport& operator=(const DtlsTransport&) = delete;

  // The peer's "sha-256 ..." fingerprint; false when the text is not one. Checked as soon as the handshake is
  // done (a fingerprint that arrives later is checked then).
  bool setRemoteFingerprint(const std::string& fingerprint);
  // Begins the handshake (the client sends its hello).
  void start();
  // A datagram from the link. Datagrams that are not DTLS (first byte outside 20..63) are ignored.
  void receive(std::span<const std::uint8_t> datagram);
  // One record of application data; false unless connected.
  bool send(std::span<const std::uint8_t> data);
  // Retransmits handshake flights whose timer has run out.
  void tick();
  // When tick() is next due: while the handshake waits for the peer's next flight.
  std::optional<std::chrono::steady_clock::time_point> timerDue() const;
  // Sends close_notify; the state becomes closed.
  void close();

  DtlsState state() const { return state_; }
  DtlsRole role() const { return role_; }

 private:
  struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
  };
  struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
  };

  void continueHandshake();
  void readApplicationData();
  void verifyPeer();
  void handleError(int result, const char* step);
  void setState(DtlsState state, const std::string& reason = {});

  std::shared_ptr<const DtlsIdentity> identity_;
  DtlsRole role_;
  DatagramLink& link_;
  Observer& observer_;
  std::unique_ptr<SSL_CTX, SslCtxFree> context_;
  std::unique_ptr<SSL, SslFree> ssl_;
  BIO* incoming_ = nullptr;  // owned by ssl_
  DtlsState state_ = DtlsState::idle;
  bool handshakeDone_ = false;
  std::optional<std::string> remoteFingerprint_;
  NetworkSequence sequence_;
};

}  // namespace veltrano::webrtc
