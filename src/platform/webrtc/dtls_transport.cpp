#include "platform/webrtc/dtls_transport.hpp"

#include <array>
#include <climits>

#include <openssl/err.h>

#include "platform/crypto/crypto_error.hpp"

namespace veltrano::webrtc {

namespace {

// Leaves room for the UDP, TURN and SRTP-less DTLS overheads on any ordinary path.
constexpr long linkMtu = 1200;
constexpr char cipherList[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305";

int writeToLink(BIO* bio, const char* data, int length) {
  auto* link = static_cast<DatagramLink*>(BIO_get_data(bio));
  if (length < 0) return -1;
  link->send(std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length)));
  return length;
}

long controlLink(BIO*, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
      return linkMtu;
    case BIO_CTRL_WPENDING:
    case BIO_CTRL_PENDING:
      return 0;
    default:
      return 0;
  }
}

int createLink(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// One method table for every transport; it lives until exit.
BIO_METHOD* linkMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "datagram link");
    BIO_meth_set_write(m, writeToLink);
    BIO_meth_set_ctrl(m, controlLink);
    BIO_meth_set_create(m, createLink);
    return m;
  }();
  return method;
}

// The certificate is self-signed; trust comes from the fingerprint check after the handshake.
int acceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }

std::string openSslErrorText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return {};
  std::array<char, 256> text{};
  ERR_error_string_n(code, text.data(), text.size());
  return text.data();
}

bool isDtlsRecord(std::span<const std::uint8_t> datagram) {
  return !datagram.empty() && datagram[0] >= 20 && datagram[0] <= 63;
}

}  // namespace

DtlsTransport::DtlsTransport(std::shared_ptr<const DtlsIdentity> identity, DtlsRole role, DatagramLink& link,
                             Observer& observer)
    : identity_(std::move(identity)), role_(role), link_(link), observer_(observer) {
  context_.reset(SSL_CTX_new(DTLS_method()));
  if (!context_) platform::throwOpenSslError("DTLS context");
  SSL_CTX_set_min_proto_version(context_.get(), DTLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context_.get(), DTLS1_2_VERSION);
  if (SSL_CTX_use_certificate(context_.get(), identity_->certificate()) != 1 ||
      SSL_CTX_use_PrivateKey(context_.get(), identity_->key()) != 1 ||
      SSL_CTX_set_cipher_list(context_.get(), cipherList) != 1) {
    platform::throwOpenSslError("DTLS credentials");
  }
  SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptAnyCertificate);
  SSL_CTX_set_options(context_.get(), SSL_OP_NO_QUERY_MTU | SSL_OP_NO_TICKET);
  SSL_CTX_set_read_ahead(context_.get(), 1);

  ssl_.reset(SSL_new(context_.get()));
  if (!ssl_) platform::throwOpenSslError("DTLS session");
  incoming_ = BIO_new(BIO_s_mem());
  BIO* outgoing = BIO_new(linkMethod());
  if (!incoming_ || !outgoing) {
    BIO_free(incoming_);
    BIO_free(outgoing);
    platform::throwOpenSslError("DTLS I/O");
  }
  BIO_set_mem_eof_return(incoming_, -1);
  BIO_set_data(outgoing, &link_);
  SSL_set_bio(ssl_.get(), incoming_, outgoing);
  DTLS_set_link_mtu(ssl_.get(), linkMtu);
  if (role_ == DtlsRole::client) {
    SSL_set_connect_state(ssl_.get());
  } else {
    SSL_set_accept_state(ssl_.get());
  }
}

DtlsTransport::~DtlsTransport() = default;

bool DtlsTransport::setRemoteFingerprint(const std::string& fingerprint) {
  sequence_.check();
  auto normalized = normalizedFingerprint(fingerprint);
  if (!normalized) return false;
  remoteFingerprint_ = std::move(normalized);
  if (handshakeDone_ && state_ == DtlsState::connecting) verifyPeer();
  return true;
}

void DtlsTransport::start() {
  sequence_.check();
  if (state_ != DtlsState::idle) return;
  setState(DtlsState::connecting);
  if (role_ == DtlsRole::client) continueHandshake();
}

void DtlsTransport::receive(std::span<const std::uint8_t> datagram) {
  sequence_.check();
  if (state_ != DtlsState::connecting && state_ != DtlsState::connected) return;
  if (!isDtlsRecord(datagram) || datagram.size() > INT_MAX) return;
  BIO_write(incoming_, datagram.data(), static_cast<int>(datagram.size()));
  if (!handshakeDone_) {
    continueHandshake();
    if (!handshakeDone_) return;
  }
  if (state_ == DtlsState::connected) readApplicationData();
  // What the handshake left unread (or what arrived before a late fingerprint) is dropped.
  if (state_ != DtlsState::connected) BIO_reset(incoming_);
}

bool DtlsTransport::send(std::span<const std::uint8_t> data) {
  sequence_.check();
  if (state_ != DtlsState::connected || data.empty() || data.size() > INT_MAX) return false;
  const int written = SSL_write(ssl_.get(), data.data(), static_cast<int>(data.size()));
  if (written <= 0) {
    handleError(written, "write");
    return false;
  }
  return true;
}

void DtlsTransport::tick() {
  sequence_.check();
  if (state_ != DtlsState::connecting || handshakeDone_) return;
  if (DTLSv1_handle_timeout(ssl_.get()) < 0) setState(DtlsState::failed, "handshake timed out");
}

std::optional<std::chrono::steady_clock::time_point> DtlsTransport::timerDue() const {
  sequence_.check();
  timeval left{};
  if (state_ != DtlsState::connecting || handshakeDone_ || DTLSv1_get_timeout(ssl_.get(), &left) != 1) {
    return std::nullopt;
  }
  return std::chrono::steady_clock::now() + std::chrono::seconds(left.tv_sec) +
         std::chrono::microseconds(left.tv_usec);
}

void DtlsTransport::close() {
  sequence_.check();
  if (state_ == DtlsState::closed || state_ == DtlsState::failed) return;
  if (handshakeDone_) SSL_shutdown(ssl_.get());
  ERR_clear_error();
  state_ = DtlsState::closed;
}

void DtlsTransport::continueHandshake() {
  const int result = SSL_do_handshake(ssl_.get());
  if (result == 1) {
    handshakeDone_ = true;
    if (remoteFingerprint_) verifyPeer();
    return;
  }
  handleError(result, "handshake");
}

void DtlsTransport::verifyPeer() {
  X509* peer = SSL_get0_peer_certificate(ssl_.get());
  if (!peer) {
    setState(DtlsState::failed, "peer sent no certificate");
    return;
  }
  if (certificateFingerprint(peer) != *remoteFingerprint_) {
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
    setState(DtlsState::failed, "peer certificate does not match its fingerprint");
    return;
  }
  setState(DtlsState::connected);
}

void DtlsTransport::readApplicationData() {
  std::array<std::uint8_t, 16384> buffer{};
  while (state_ == DtlsState::connected) {
    const int read = SSL_read(ssl_.get(), buffer.data(), static_cast<int>(buffer.size()));
    if (read <= 0) {
      handleError(read, "read");
      return;
    }
    observer_.onDtlsData(std::span(buffer.data(), static_cast<std::size_t>(read)));
  }
}

void DtlsTransport::handleError(int result, const char* step) {
  const int error = SSL_get_error(ssl_.get(), result);
  switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      ERR_clear_error();
      return;
    case SSL_ERROR_ZERO_RETURN:
      ERR_clear_error();
      setState(DtlsState::closed, "peer sent close_notify");
      return;
    default: {
      const std::string detail = openSslErrorText();
      setState(DtlsState::failed, std::string("DTLS ") + step + " failed" + (detail.empty() ? "" : ": " + detail));
      return;
    }
  }
}

void DtlsTransport::setState(DtlsState state, const std::string& reason) {
  if (state_ == state || state_ == DtlsState::closed || state_ == DtlsState::failed) return;
  state_ = state;
  observer_.onDtlsStateChange(state, reason);
}

}  // namespace veltrano::webrtc
