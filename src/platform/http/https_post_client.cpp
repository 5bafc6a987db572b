// The one translation unit with Beast in it: HTTPS POST with an overall deadline.
#include "platform/http/https_post_client.hpp"

#include "base/executors.hpp"
#include "platform/net/host_lookup.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <mutex>
#include <optional>
#include <vector>

namespace veltrano::platform {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::size_t responseBodyLimit = 1 << 20;

// The trust store for one request: the system's certificates (about a megabyte once parsed) and the extra ones.
// Made per request, on its strand, so none of it stays in memory between the rare posts.
struct TrustStore {
  explicit TrustStore(const std::string& extraTrustedCertificatesPem) : tls(ssl::context::tls_client) {
    error_code ec;
    tls.set_default_verify_paths(ec);
    if (!extraTrustedCertificatesPem.empty()) {
      tls.add_certificate_authority(asio::buffer(extraTrustedCertificatesPem), ec);
      if (ec) setupError = "extra trusted certificates: " + ec.message();
    }
    tls.set_verify_mode(ssl::verify_peer);
  }

  ssl::context tls;
  std::string setupError;
};

// One request's sockets. Touched only on its strand; the deadline and cancellation close it from there too.
struct Attempt {
  Attempt(Strand strandIn, std::string extraTrustedCertificatesPemIn)
      : strand(std::move(strandIn)), lookup(strand), deadline(strand),
        extraTrustedCertificatesPem(std::move(extraTrustedCertificatesPemIn)) {}

  void abort() {
    lookup.cancel();
    error_code ignored;
    if (stream) beast::get_lowest_layer(*stream).socket().close(ignored);
  }

  Strand strand;
  HostLookup lookup;
  std::unique_ptr<TrustStore> trust;
  std::optional<beast::ssl_stream<beast::tcp_stream>> stream;  // made once `trust` is; ends before it
  asio::steady_timer deadline;
  std::string extraTrustedCertificatesPem;
  bool finished = false;
  bool timedOut = false;
  bool cancelled = false;
};

HttpsPostOutcome failure(const Attempt& attempt, const std::string& error) {
  HttpsPostOutcome outcome;
  outcome.kind = attempt.timedOut    ? HttpsPostOutcome::Kind::timedOut
                 : attempt.cancelled ? HttpsPostOutcome::Kind::cancelled
                                     : HttpsPostOutcome::Kind::failed;
  outcome.error = attempt.timedOut ? "timed out" : attempt.cancelled ? "cancelled" : error;
  return outcome;
}

}  // namespace

struct HttpsPostClient::Shared {
  explicit Shared(HttpsClientOptions optionsIn) : options(std::move(optionsIn)) {}

  HttpsClientOptions options;

  std::mutex mutex;
  std::vector<std::weak_ptr<Attempt>> live;
};

namespace {

// What went wrong, or nothing once the stream is there.
std::string makeStream(Attempt& attempt) {
  attempt.trust = std::make_unique<TrustStore>(attempt.extraTrustedCertificatesPem);
  if (!attempt.trust->setupError.empty()) return attempt.trust->setupError;
  attempt.stream.emplace(attempt.strand, attempt.trust->tls);
  return {};
}

asio::awaitable<HttpsPostOutcome> runPost(std::shared_ptr<Attempt> attempt, HttpsEndpoint endpoint, std::string body,
                                          std::string contentType, std::string userAgent,
                                          std::chrono::milliseconds timeout) {
  Attempt& a = *attempt;
  a.deadline.expires_after(timeout);
  a.deadline.async_wait([attempt](error_code ec) {
    // A cancelled wait whose completion was already queued still arrives without an error: check `finished`.
    if (ec || attempt->finished) return;
    attempt->timedOut = true;
    attempt->abort();
  });
  const std::string setupError = makeStream(a);
  if (!setupError.empty()) co_return failure(a, setupError);
  auto& stream = *a.stream;

  error_code ec;
  auto results =
      co_await a.lookup.asyncLookup(endpoint.host, endpoint.port, asio::redirect_error(asio::use_awaitable, ec));
  if (ec || a.timedOut || a.cancelled) co_return failure(a, "resolve: " + ec.message());

  co_await beast::get_lowest_layer(stream).async_connect(results, asio::redirect_error(asio::use_awaitable, ec));
  if (ec || a.timedOut || a.cancelled) co_return failure(a, "connect: " + ec.message());

  if (!isIpLiteral(endpoint.host)) {
    // SNI carries names only, never addresses.
    SSL_set_tlsext_host_name(stream.native_handle(), endpoint.host.c_str());
  }
  stream.set_verify_mode(ssl::verify_peer);
  stream.set_verify_callback(ssl::host_name_verification(endpoint.host));
  co_await stream.async_handshake(ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, ec));
  if (ec || a.timedOut || a.cancelled) co_return failure(a, "tls: " + ec.message());

  http::request<http::string_body> request{http::verb::post, endpoint.path, 11};
  request.set(http::field::host, hostHeaderValue(endpoint));
  if (!userAgent.empty()) request.set(http::field::user_agent, userAgent);
  request.set(http::field::content_type, contentType);
  request.set(http::field::connection, "close");
  request.body() = std::move(body);
  request.prepare_payload();
  co_await http::async_write(stream, request, asio::redirect_error(asio::use_awaitable, ec));
  if (ec || a.timedOut || a.cancelled) co_return failure(a, "write: " + ec.message());

  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(responseBodyLimit);
  co_await http::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
  if (ec || a.timedOut || a.cancelled) co_return failure(a, "read: " + ec.message());

  HttpsPostOutcome outcome;
  outcome.kind = HttpsPostOutcome::Kind::responded;
  outcome.status = static_cast<int>(parser.get().result_int());
  co_return outcome;
}

void finish(std::shared_ptr<Attempt> attempt, const std::function<void(HttpsPostOutcome)>& done,
            HttpsPostOutcome outcome) {
  attempt->finished = true;
  attempt->deadline.cancel();
  attempt->abort();
  try {
    done(std::move(outcome));
  } catch (...) {
    // A completion that throws must not take an I/O thread down.
  }
}

}  // namespace

HttpsPostClient::HttpsPostClient(HttpsClientOptions options)
    : shared_(std::make_shared<Shared>(std::move(options))) {}

HttpsPostClient::~HttpsPostClient() {
  std::vector<std::shared_ptr<Attempt>> running;
  {
    std::lock_guard lock(shared_->mutex);
    for (auto& weak : shared_->live) {
      if (auto attempt = weak.lock()) running.push_back(std::move(attempt));
    }
    shared_->live.clear();
  }
  for (auto& attempt : running) {
    asio::post(attempt->strand, [attempt] {
      if (attempt->finished) return;
      attempt->cancelled = true;
      attempt->abort();
    });
  }
}

void HttpsPostClient::post(const HttpsEndpoint& endpoint, std::string body, std::string contentType,
                           std::function<void(HttpsPostOutcome)> done) {
  auto shared = shared_;
  auto attempt = std::make_shared<Attempt>(makeActorStrand(), shared->options.extraTrustedCertificatesPem);
  {
    std::lock_guard lock(shared->mutex);
    std::erase_if(shared->live, [](const std::weak_ptr<Attempt>& weak) { return weak.expired(); });
    shared->live.push_back(attempt);
  }
  auto strand = attempt->strand;
  asio::co_spawn(strand,
                 runPost(attempt, endpoint, std::move(body), std::move(contentType), shared->options.userAgent,
                         shared->options.timeout),
                 [attempt, shared, done = std::move(done)](std::exception_ptr error, HttpsPostOutcome outcome) {
                   // Completes on the attempt's strand. Every socket error is a value above; an exception here
                   // is a fault of the request itself (for example memory), reported like any failure.
                   if (error) outcome = failure(*attempt, "internal error");
                   finish(attempt, done, std::move(outcome));
                 });
}

}  // namespace veltrano::platform
