#pragma once
// A local HTTPS server on 127.0.0.1 with a self-signed certificate made at start, recording the requests it gets.
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace veltrano::testing {

inline std::string pemOf(const std::function<void(BIO*)>& write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  const auto size = static_cast<std::size_t>(BIO_get_mem_data(bio, &data));
  std::string text(data, size);
  BIO_free(bio);
  return text;
}

// A P-256 certificate for "127.0.0.1" and "localhost", valid for an hour, signed by itself: {certificate, key}.
inline std::pair<std::string, std::string> makeSelfSignedCertificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (!key || !cert) throw std::runtime_error("test certificate");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), std::random_device()() & 0x7fffffff);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                   {NID_basic_constraints, "critical,CA:TRUE"},
                                   {NID_key_usage, "critical,digitalSignature,keyCertSign"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }
  if (X509_sign(cert, key, EVP_sha256()) <= 0) throw std::runtime_error("test certificate: sign");
  auto pems =
      std::pair(pemOf([&](BIO* b) { PEM_write_bio_X509(b, cert); }),
                pemOf([&](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); }));
  X509_free(cert);
  EVP_PKEY_free(key);
  return pems;
}

struct ReceivedRequest {
  std::string method, target, host, contentType, body;
};

// `respond` reads one request per connection and answers 204; `hang` accepts and never answers, not even the TLS
// handshake.
class TestHttpsServer {
 public:
  enum class Mode { respond, hang };

  explicit TestHttpsServer(Mode mode) : mode_(mode) {
    tls_.use_certificate_chain(boost::asio::buffer(certificate_.first));
    tls_.use_private_key(boost::asio::buffer(certificate_.second), boost::asio::ssl::context::pem);
    boost::asio::co_spawn(context_, acceptLoop(), rethrow);
    thread_ = std::thread([this] { context_.run(); });
  }
  ~TestHttpsServer() {
    context_.stop();
    thread_.join();
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  const std::string& certificatePem() const { return certificate_.first; }
  std::vector<ReceivedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return waitUntil([&] { return received_.size() >= count; }, timeout);
  }
  bool waitForConnections(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return waitUntil([&] { return connections_ >= count; }, timeout);
  }
  // Hang mode: waits until `count` clients have closed their connections.
  bool waitForClientClose(int count) {
    return waitUntil([&] { return closedByClient_ >= count; });
  }

 private:
  // Socket errors are handled in the coroutines; anything else is a broken test.
  static void rethrow(std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
  }
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
  }
  void note(const std::function<void()>& change) {
    {
      std::lock_guard lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  boost::asio::awaitable<void> acceptLoop() {
    for (;;) {
      boost::system::error_code ec;
      boost::asio::ip::tcp::socket socket =
          co_await acceptor_.async_accept(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
      if (ec) co_return;
      note([&] { ++connections_; });
      boost::asio::co_spawn(context_, mode_ == Mode::hang ? hold(std::move(socket)) : serve(std::move(socket)),
                            rethrow);
    }
  }
  boost::asio::awaitable<void> hold(boost::asio::ip::tcp::socket socket) {
    char scratch[4096];
    boost::system::error_code ec;
    while (!ec)
      co_await socket.async_read_some(boost::asio::buffer(scratch),
                                      boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    note([&] { ++closedByClient_; });
  }
  boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket) {
    boost::system::error_code ec;
    boost::beast::ssl_stream<boost::asio::ip::tcp::socket> stream(std::move(socket), tls_);
    co_await stream.async_handshake(boost::asio::ssl::stream_base::server,
                                    boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    if (ec) co_return;
    boost::beast::flat_buffer buffer;
    boost::beast::http::request<boost::beast::http::string_body> request;
    co_await boost::beast::http::async_read(stream, buffer, request,
                                            boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    if (ec) co_return;
    note([&] {
      received_.push_back({std::string(request.method_string()), std::string(request.target()),
                           std::string(request[boost::beast::http::field::host]),
                           std::string(request[boost::beast::http::field::content_type]), request.body()});
    });
    boost::beast::http::response<boost::beast::http::empty_body> response{boost::beast::http::status::no_content, 11};
    response.keep_alive(false);
    co_await boost::beast::http::async_write(stream, response,
                                             boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    co_await stream.async_shutdown(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
  }

  const Mode mode_;
  const std::pair<std::string, std::string> certificate_ = makeSelfSignedCertificate();
  boost::asio::io_context context_;
  boost::asio::ssl::context tls_{boost::asio::ssl::context::tls_server};
  boost::asio::ip::tcp::acceptor acceptor_{context_, {boost::asio::ip::make_address("127.0.0.1"), 0}};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedRequest> received_;
  int connections_ = 0;
  int closedByClient_ = 0;
};

}  // namespace veltrano::testing
