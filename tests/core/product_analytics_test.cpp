#include "core/analytics_payload.hpp"
#include "core/product_analytics.hpp"
#include "base/json.hpp"
#include "support/recorded_values.hpp"

#include <gtest/gtest.h>
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
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include <atomic>
#include <algorithm>
#include <regex>

namespace veltrano {
namespace {

using namespace std::chrono_literals;

// A local HTTPS server on 127.0.0.1 with a self-signed certificate made at start. `respond` reads one request per
// connection and answers 204; `hang` accepts and never answers, not even the TLS handshake.
namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

std::string pemOf(const std::function<void(BIO*)>& write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  const auto size = static_cast<std::size_t>(BIO_get_mem_data(bio, &data));
  std::string text(data, size);
  BIO_free(bio);
  return text;
}

// A P-256 certificate for "127.0.0.1" and "localhost", valid for an hour, signed by itself: {certificate, key}.
std::pair<std::string, std::string> makeSelfSignedCertificate() {
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
  auto pems = std::pair(
      pemOf([&](BIO* b) { PEM_write_bio_X509(b, cert); }),
      pemOf([&](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); }));
  X509_free(cert);
  EVP_PKEY_free(key);
  return pems;
}

struct ReceivedRequest {
  std::string method, target, host, contentType, body;
};

class TestHttpsServer {
 public:
  enum class Mode { respond, hang };

  explicit TestHttpsServer(Mode mode) : mode_(mode) {
    tls_.use_certificate_chain(asio::buffer(certificate_.first));
    tls_.use_private_key(asio::buffer(certificate_.second), asio::ssl::context::pem);
    asio::co_spawn(context_, acceptLoop(), rethrow);
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
  bool waitForRequests(std::size_t count) { return waitUntil([&] { return received_.size() >= count; }); }
  bool waitForConnections(int count, std::chrono::milliseconds timeout = 10s) {
    return waitUntil([&] { return connections_ >= count; }, timeout);
  }
  // Hang mode: waits until `count` clients have closed their connections.
  bool waitForClientClose(int count) { return waitUntil([&] { return closedByClient_ >= count; }); }

 private:
  // Socket errors are handled in the coroutines; anything else is a broken test.
  static void rethrow(std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
  }
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
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

  asio::awaitable<void> acceptLoop() {
    for (;;) {
      boost::system::error_code ec;
      tcp::socket socket = co_await acceptor_.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      note([&] { ++connections_; });
      asio::co_spawn(context_, mode_ == Mode::hang ? hold(std::move(socket)) : serve(std::move(socket)), rethrow);
    }
  }
  asio::awaitable<void> hold(tcp::socket socket) {
    char scratch[4096];
    boost::system::error_code ec;
    while (!ec) co_await socket.async_read_some(asio::buffer(scratch), asio::redirect_error(asio::use_awaitable, ec));
    note([&] { ++closedByClient_; });
  }
  asio::awaitable<void> serve(tcp::socket socket) {
    boost::system::error_code ec;
    boost::beast::ssl_stream<tcp::socket> stream(std::move(socket), tls_);
    co_await stream.async_handshake(asio::ssl::stream_base::server, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    boost::beast::flat_buffer buffer;
    http::request<http::string_body> request;
    co_await http::async_read(stream, buffer, request, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    note([&] {
      received_.push_back({std::string(request.method_string()), std::string(request.target()),
                           std::string(request[http::field::host]), std::string(request[http::field::content_type]),
                           request.body()});
    });
    http::response<http::empty_body> response{http::status::no_content, 11};
    response.keep_alive(false);
    co_await http::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
    co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
  }

  const Mode mode_;
  const std::pair<std::string, std::string> certificate_ = makeSelfSignedCertificate();
  asio::io_context context_;
  asio::ssl::context tls_{asio::ssl::context::tls_server};
  tcp::acceptor acceptor_{context_, {asio::ip::make_address("127.0.0.1"), 0}};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedRequest> received_;
  int connections_ = 0;
  int closedByClient_ = 0;
};

// A loopback port with nothing listening on it.
std::uint16_t closedLoopbackPort() {
  asio::io_context context;
  return tcp::acceptor(context, {asio::ip::make_address("127.0.0.1"), 0}).local_endpoint().port();
}
using Result = ProductAnalytics::DeliveryReport::Result;

// Collects delivery reports from the I/O threads.
class Deliveries {
 public:
  std::function<void(const ProductAnalytics::DeliveryReport&)> observer() { return reports_.recorder(); }
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return reports_.waitForCount(count, timeout);
  }
  std::vector<ProductAnalytics::DeliveryReport> reports() { return reports_.values(); }
  std::size_t count(Result result) {
    const auto reports = reports_.values();
    return static_cast<std::size_t>(
        std::count_if(reports.begin(), reports.end(), [&](const auto& r) { return r.result == result; }));
  }

 private:
  testing::RecordedValues<ProductAnalytics::DeliveryReport> reports_;
};

ProductAnalytics::Options optionsFor(std::uint16_t port, const std::string& trustedPem, Deliveries& deliveries) {
  ProductAnalytics::Options options;
  options.endpoint = platform::HttpsEndpoint{"127.0.0.1", port, "/veltrano/v1/metrics"};
  options.deviceId = [] { return std::string("mac-0f8fad5b-d9cb-469f-a165-70867728950e"); };
  options.appVersion = "1.2.3";
  options.extraTrustedCertificatesPem = trustedPem;
  options.onDeliveryEnded = deliveries.observer();
  return options;
}

const std::regex isoUtc(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)");

TEST(ProductAnalyticsPayload, HasExactlyTheProtocolMembers) {
  AnalyticsReport report;
  report.event = AnalyticsEvent::server_start_failed;
  report.detail = "bonjour";
  report.deviceId = "mac-abc";
  report.appVersion = "0.1.0";
  report.timestamp = std::chrono::system_clock::time_point(std::chrono::milliseconds(1714566896789));
  auto parsed = json::parseObjectOrArray(analyticsPayloadJson(report));
  ASSERT_TRUE(parsed.value) << parsed.error;
  EXPECT_EQ(*parsed.value, json::Json::parse(R"({"event":"server_start_failed","detail":"bonjour",
      "deviceId":"mac-abc","platform":"linux","appVersion":"0.1.0","timestamp":"2024-05-01T12:34:56.789Z"})"));

  report.detail.reset();
  report.timestamp = std::chrono::system_clock::time_point(std::chrono::milliseconds(-1));
  parsed = json::parseObjectOrArray(analyticsPayloadJson(report));
  ASSERT_TRUE(parsed.value);
  EXPECT_TRUE((*parsed.value)["detail"].is_null());
  EXPECT_EQ((*parsed.value)["timestamp"], "1969-12-31T23:59:59.999Z");
}

TEST(ProductAnalyticsDelivery, PostsEachEventAsJsonOverHttpsInOrder) {
  TestHttpsServer server(TestHttpsServer::Mode::respond);
  Deliveries deliveries;
  ProductAnalytics analytics(optionsFor(server.port(), server.certificatePem(), deliveries));

  auto before = std::chrono::system_clock::now();
  analytics.track(AnalyticsEvent::server_client_connected, "local");
  analytics.track(AnalyticsEvent::server_started);
  ASSERT_TRUE(server.waitForRequests(2));
  ASSERT_TRUE(deliveries.waitFor(2));

  auto requests = server.requests();
  for (const auto& request : requests) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/veltrano/v1/metrics");
    EXPECT_EQ(request.contentType, "application/json");
    EXPECT_EQ(request.host, "127.0.0.1:" + std::to_string(server.port()));
  }
  auto first = json::parseObjectOrArray(requests[0].body);
  ASSERT_TRUE(first.value) << first.error;
  json::Json body = *first.value;
  const std::string timestamp = body["timestamp"];
  EXPECT_TRUE(std::regex_match(timestamp, isoUtc)) << timestamp;
  EXPECT_GE(timestamp, iso8601Utc(before - std::chrono::seconds(1)));
  body.erase("timestamp");
  EXPECT_EQ(body, json::Json::parse(R"({"event":"server_client_connected","detail":"local",
      "deviceId":"mac-0f8fad5b-d9cb-469f-a165-70867728950e","platform":"linux","appVersion":"1.2.3"})"));

  auto second = json::parseObjectOrArray(requests[1].body);
  ASSERT_TRUE(second.value);
  EXPECT_EQ((*second.value)["event"], "server_started");
  EXPECT_TRUE((*second.value)["detail"].is_null());

  auto reports = deliveries.reports();
  EXPECT_EQ(reports[0].result, Result::delivered);
  EXPECT_EQ(reports[0].httpStatus, 204);
  EXPECT_EQ(reports[0].event, AnalyticsEvent::server_client_connected);
  EXPECT_EQ(reports[1].event, AnalyticsEvent::server_started);
}

TEST(ProductAnalyticsDelivery, AnUnverifiableServerABrokenTrustedCertificateAClosedPortOrNoEndpointFailQuietly) {
  TestHttpsServer server(TestHttpsServer::Mode::respond);
  Deliveries unverified, broken, unreachable, nowhere;
  ProductAnalytics::Options noEndpoint;
  noEndpoint.endpoint.reset();
  noEndpoint.onDeliveryEnded = nowhere.observer();
  std::vector<std::pair<std::unique_ptr<ProductAnalytics>, Deliveries*>> cases;
  cases.emplace_back(std::make_unique<ProductAnalytics>(optionsFor(server.port(), "", unverified)), &unverified);
  // The server's own certificate followed by one that does not parse: nothing is sent with half a trust store.
  cases.emplace_back(
      std::make_unique<ProductAnalytics>(optionsFor(
          server.port(),
          server.certificatePem() + "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydA==\n-----END CERTIFICATE-----\n",
          broken)),
      &broken);
  cases.emplace_back(
      std::make_unique<ProductAnalytics>(optionsFor(closedLoopbackPort(), "", unreachable)), &unreachable);
  cases.emplace_back(std::make_unique<ProductAnalytics>(std::move(noEndpoint)), &nowhere);
  for (auto& [analytics, deliveries] : cases) {
    EXPECT_NO_THROW(analytics->track(AnalyticsEvent::server_app_open));
    ASSERT_TRUE(deliveries->waitFor(1));
    EXPECT_EQ(deliveries->reports()[0].result, Result::failed);
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST(ProductAnalyticsDelivery, HangingServerNeitherBlocksTrackNorOutlivesTheTimeout) {
  TestHttpsServer server(TestHttpsServer::Mode::hang);
  Deliveries deliveries;
  auto options = optionsFor(server.port(), server.certificatePem(), deliveries);
  // The deadline covers loading the system's trust store too, which under a sanitizer on a busy machine can take
  // a few hundred milliseconds: long enough that the request surely gets as far as the hanging server.
  const auto timeout = std::chrono::milliseconds(2000);
  options.timeout = timeout;
  ProductAnalytics analytics(std::move(options));

  auto start = std::chrono::steady_clock::now();
  analytics.track(AnalyticsEvent::server_permission_missing, "accessibility");
  // track() came back before the request could have ended: nothing has been reported yet.
  EXPECT_TRUE(deliveries.reports().empty());
  ASSERT_TRUE(server.waitForConnections(1));
  ASSERT_TRUE(deliveries.waitFor(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, timeout);
  EXPECT_EQ(deliveries.reports()[0].result, Result::timedOut);
  EXPECT_TRUE(server.requests().empty());
}

TEST(ProductAnalyticsDelivery, QueueIsBoundedAndDestructionCancels) {
  TestHttpsServer server(TestHttpsServer::Mode::hang);
  Deliveries deliveries;
  auto options = optionsFor(server.port(), server.certificatePem(), deliveries);
  options.timeout = std::chrono::seconds(30);
  options.maxPending = 4;
  {
    ProductAnalytics analytics(std::move(options));
    for (int i = 0; i < 7; ++i) analytics.track(AnalyticsEvent::server_client_disconnected, std::to_string(i));
    // Four pending (one in flight), three dropped at once on this thread.
    auto reports = deliveries.reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].detail, "4");
    EXPECT_EQ(reports[2].detail, "6");
    for (const auto& report : reports) EXPECT_EQ(report.result, Result::dropped);
    ASSERT_TRUE(server.waitForConnections(1));
  }
  // Destruction closed the request in flight long before its 30 s time-out, and sent none of the queued ones.
  ASSERT_TRUE(server.waitForClientClose(1));
  EXPECT_FALSE(server.waitForConnections(2, std::chrono::milliseconds(300)));
  EXPECT_EQ(deliveries.count(Result::dropped), 3u);
}

}  // namespace
}  // namespace veltrano
