#include "core/analytics_payload.hpp"
#include "core/product_analytics.hpp"
#include "base/json.hpp"
#include "support/recorded_values.hpp"
#include "support/test_https_server.hpp"

#include <gtest/gtest.h>

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

using testing::TestHttpsServer;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

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
  // a few hundred milliseconds or more: long enough that the request surely gets as far as the hanging server.
  const auto timeout = std::chrono::milliseconds(5000);
  options.timeout = timeout;
  ProductAnalytics analytics(std::move(options));

  auto start = std::chrono::steady_clock::now();
  analytics.track(AnalyticsEvent::server_permission_missing, "accessibility");
  // track() came back before the request could have ended: nothing has been reported yet.
  EXPECT_TRUE(deliveries.reports().empty());
  ASSERT_TRUE(server.waitForConnections(1));
  ASSERT_TRUE(deliveries.waitFor(1, std::chrono::seconds(30)));
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
