#include "test_https_server.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace veltrano::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

// Every socket error is handled inside the coroutines; anything else is a broken test and must not pass quietly.
void rethrow(std::exception_ptr error) {
  if (error) std::rethrow_exception(error);
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

}  // namespace

TestCertificate makeSelfSignedCertificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  require(key != nullptr, "key");
  X509* cert = X509_new();
  require(cert != nullptr, "x509");
  X509_set_version(cert, 2);
  std::uint32_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(serial & 0x7fffffff));
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                             0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  const std::pair<int, const char*> extensions[] = {
      {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_key_usage, "critical,digitalSignature,keyCertSign"},
  };
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension != nullptr, "extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }
  require(X509_sign(cert, key, EVP_sha256()) > 0, "sign");

  TestCertificate result;
  BIO* certBio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(certBio, cert);
  result.certificatePem = bioText(certBio);
  BIO_free(certBio);
  BIO* keyBio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(keyBio, key, nullptr, nullptr, 0, nullptr, nullptr);
  result.privateKeyPem = bioText(keyBio);
  BIO_free(keyBio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return result;
}

struct TestHttpsServer::Impl {
  explicit Impl(Mode modeIn)
      : mode(modeIn), certificate(makeSelfSignedCertificate()), tls(ssl::context::tls_server),
        acceptor(context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    tls.use_certificate_chain(asio::buffer(certificate.certificatePem));
    tls.use_private_key(asio::buffer(certificate.privateKeyPem), ssl::context::pem);
  }

  asio::awaitable<void> acceptLoop() {
    for (;;) {
      boost::system::error_code ec;
      tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      {
        std::lock_guard lock(mutex);
        ++connections;
      }
      changed.notify_all();
      if (mode == Mode::hang) {
        asio::co_spawn(context, hold(std::move(socket)), rethrow);
        continue;
      }
      asio::co_spawn(context, serve(std::move(socket)), rethrow);
    }
  }

  // Reads whatever arrives (the TLS client hello) and never answers; notes when the client goes away.
  asio::awaitable<void> hold(tcp::socket socket) {
    char scratch[4096];
    boost::system::error_code ec;
    while (!ec) co_await socket.async_read_some(asio::buffer(scratch), asio::redirect_error(asio::use_awaitable, ec));
    {
      std::lock_guard lock(mutex);
      ++closedByClient;
    }
    changed.notify_all();
  }

  asio::awaitable<void> serve(tcp::socket socket) {
    boost::system::error_code ec;
    beast::ssl_stream<tcp::socket> stream(std::move(socket), tls);
    co_await stream.async_handshake(ssl::stream_base::server, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    co_await http::async_read(stream, buffer, request, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    {
      std::lock_guard lock(mutex);
      received.push_back(ReceivedRequest{std::string(request.method_string()), std::string(request.target()),
                                         std::string(request[http::field::host]),
                                         std::string(request[http::field::content_type]), request.body()});
    }
    changed.notify_all();
    http::response<http::empty_body> response{http::status::no_content, 11};
    response.keep_alive(false);
    co_await http::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
    co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
  }

  Mode mode;
  TestCertificate certificate;
  asio::io_context context;
  ssl::context tls;
  tcp::acceptor acceptor;
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<ReceivedRequest> received;
  int connections = 0;
  int closedByClient = 0;
};

TestHttpsServer::TestHttpsServer(Mode mode) : impl_(std::make_unique<Impl>(mode)) {
  asio::co_spawn(impl_->context, impl_->acceptLoop(), rethrow);
  impl_->thread = std::thread([this] { impl_->context.run(); });
}

TestHttpsServer::~TestHttpsServer() {
  impl_->context.stop();
  impl_->thread.join();
}

std::uint16_t TestHttpsServer::port() const { return impl_->acceptor.local_endpoint().port(); }

const std::string& TestHttpsServer::certificatePem() const { return impl_->certificate.certificatePem; }

std::vector<ReceivedRequest> TestHttpsServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

bool TestHttpsServer::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, done);
}

bool TestHttpsServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return impl_->received.size() >= count; }, timeout);
}

bool TestHttpsServer::waitForConnections(int count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return impl_->connections >= count; }, timeout);
}

bool TestHttpsServer::waitForClientClose(int count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return impl_->closedByClient >= count; }, timeout);
}

std::uint16_t closedLoopbackPort() {
  asio::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  auto port = acceptor.local_endpoint().port();
  acceptor.close();
  return port;
}

}  // namespace veltrano::testing
