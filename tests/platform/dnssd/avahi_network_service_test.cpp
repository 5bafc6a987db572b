// The Avahi backend against the daemon of scripts/test-env (a restarting daemon: one of the test's own), and the name
// rules it applies.
#include "platform/dnssd/avahi_network_service.hpp"

#include <avahi-common/error.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/executors.hpp"
#include "platform/dnssd/avahi_test_env.hpp"
#include "platform/dnssd/private_avahi_daemon.hpp"
#include "platform/dnssd/service_name_label.hpp"
#include "support/eventually.hpp"
#include "support/scoped_environment.hpp"

namespace veltrano::platform {
namespace {

using namespace std::chrono_literals;

const std::string kType = "_veltrano._tcp";

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(ServiceNameLabel, KeepsAtMost63BytesAndWholeCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"Desk", "Desk"},
      {repeated("a", 63), repeated("a", 63)},
      {repeated("a", 70), repeated("a", 63)},
      // Two-byte "é": the 32nd would end at byte 64. Three-byte "€": 21 fill 63 exactly. Four-byte "🙂": 15 and
      // "abc" make 63, the 16th would end at byte 64.
      {repeated("é", 40), repeated("é", 31)},
      {repeated("€", 21) + "x", repeated("€", 21)},
      {"abc" + repeated("🙂", 16), "abc" + repeated("🙂", 15)},
  };
  for (const auto& [name, expected] : cases) {
    const std::string label = serviceNameLabel(name);
    EXPECT_EQ(label, expected) << name;
    EXPECT_LE(label.size(), maxServiceNameBytes);
  }
}

// What one service reported to its delegate on the main loop.
struct Reports {
  std::vector<std::string> published;
  std::vector<ServiceErrorDictionary> refused;
  bool any() const { return !published.empty() || !refused.empty(); }
};

class AvahiServiceTest : public ::testing::Test {
 protected:
  std::shared_ptr<NetworkService> make(const std::string& name, Reports& reports, std::uint16_t port = 9090) {
    auto service = makeAvahiNetworkService("local.", "_veltrano._tcp.", name, port);
    service->setDelegate({.didPublish = [&reports](const std::string& n) { reports.published.push_back(n); },
                          .didNotPublish = [&reports](const ServiceErrorDictionary& e) { reports.refused.push_back(e); }});
    return service;
  }

  bool runUntilReported(const Reports& reports) {
    return loop.runUntil([&] { return reports.any(); }, 20s);
  }

  static std::optional<test::BrowsedService> browsed(const std::string& name) {
    for (const auto& service : test::browse(kType)) {
      if (service.name == name) return service;
    }
    return std::nullopt;
  }

  // Unique per test process: parallel test runs share one daemon.
  const std::string prefix = "Veltrano Test " + std::to_string(::getpid());
  MainLoopForTests loop;
};

TEST_F(AvahiServiceTest, PublishesTheServiceUnderItsNameAndPortUntilStopped) {
  VELTRANO_REQUIRE_AVAHI();
  Reports reports;
  auto service = make(prefix, reports);
  service->publish();
  ASSERT_TRUE(runUntilReported(reports));
  ASSERT_EQ(reports.published, std::vector<std::string>{prefix});
  EXPECT_TRUE(reports.refused.empty());

  std::optional<test::BrowsedService> seen;
  ASSERT_TRUE(testing::eventually([&] { return (seen = browsed(prefix)).has_value(); }, 20s));
  EXPECT_EQ(seen->port, 9090);

  service->stop();
  EXPECT_TRUE(testing::eventually([&] { return !browsed(prefix); }, 20s));
}

TEST_F(AvahiServiceTest, ALongNameIsCutAtACharacterBoundaryAndASecondServiceOfItIsRenamedToFit) {
  VELTRANO_REQUIRE_AVAHI();
  const std::string unique = std::to_string(1000 + ::getpid() % 9000);  // four ASCII bytes, then two-byte "é"s
  std::string longName = unique;
  while (longName.size() < 90) longName += "é";
  const std::string cut = serviceNameLabel(longName);
  ASSERT_LT(cut.size(), 63u);  // the odd byte of a split "é" went
  Reports firstReports, secondReports;
  auto first = make(longName, firstReports);
  first->publish();
  ASSERT_TRUE(runUntilReported(firstReports));
  EXPECT_EQ(firstReports.published, std::vector<std::string>{cut});
  EXPECT_TRUE(testing::eventually([&] { return browsed(cut).has_value(); }, 20s));

  auto second = make(longName, secondReports, 9091);  // an identical record (same port) would be no conflict
  second->publish();
  ASSERT_TRUE(runUntilReported(secondReports));
  ASSERT_EQ(secondReports.published.size(), 1u);
  const std::string& renamed = secondReports.published[0];
  EXPECT_LE(renamed.size(), 63u);
  EXPECT_TRUE(renamed.ends_with(" #2")) << renamed;
  EXPECT_EQ(serviceNameLabel(renamed, renamed.size() - 3) + " #2", renamed) << "a character was split";
  std::optional<test::BrowsedService> seen;
  ASSERT_TRUE(testing::eventually([&] { return (seen = browsed(renamed)).has_value(); }, 20s));
  EXPECT_EQ(seen->port, 9091);
}

TEST_F(AvahiServiceTest, AServiceDestroyedBeforeItsOutcomeWasDeliveredStaysSilentAndIsWithdrawn) {
  VELTRANO_REQUIRE_AVAHI();
  Reports reports;
  auto service = make(prefix, reports);
  service->publish();
  // The main loop does not run meanwhile, so the confirmation waits in its queue.
  ASSERT_TRUE(testing::eventually([&] { return browsed(prefix).has_value(); }, 20s));
  service.reset();
  loop.drain();
  EXPECT_FALSE(reports.any());
  EXPECT_TRUE(testing::eventually([&] { return !browsed(prefix); }, 20s));
}

TEST_F(AvahiServiceTest, ARestartedDaemonIsReportedAndTheServiceIsPublishedOnItAgain) {
  VELTRANO_REQUIRE_SERVICE("a private Avahi daemon", test::PrivateAvahiDaemon::unavailable());
  test::PrivateAvahiDaemon daemon;
  ASSERT_TRUE(daemon.start()) << "the private avahi-daemon did not come up";
  const testing::ScopedEnvironment bus("DBUS_SYSTEM_BUS_ADDRESS", daemon.busAddress().c_str());
  auto seen = [&] {
    for (const auto& service : daemon.browse(kType)) {
      if (service.name == prefix && service.port == 9090) return true;
    }
    return false;
  };
  Reports reports;
  auto service = make(prefix, reports);
  service->publish();
  ASSERT_TRUE(runUntilReported(reports));
  ASSERT_EQ(reports.published, std::vector<std::string>{prefix});
  ASSERT_TRUE(testing::eventually(seen, 20s));

  for (int restart = 1; restart <= 2; ++restart) {
    SCOPED_TRACE("restart " + std::to_string(restart));
    daemon.stop();
    // The loss is told once, as soon as the bus says the daemon is gone.
    ASSERT_TRUE(loop.runUntil([&] { return reports.refused.size() == static_cast<std::size_t>(restart); }, 20s));
    EXPECT_EQ(reports.refused.back().at(serviceErrorCodeKey), AVAHI_ERR_DISCONNECTED);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(loop.runUntil([&] { return reports.published.size() == static_cast<std::size_t>(restart + 1); }, 20s))
        << "the service was not published on the new daemon";
    EXPECT_EQ(reports.published.back(), prefix);
    EXPECT_TRUE(testing::eventually(seen, 20s));
    EXPECT_EQ(reports.refused.size(), static_cast<std::size_t>(restart));
  }

  service->stop();
  EXPECT_TRUE(testing::eventually([&] { return !seen(); }, 20s));
}

class AvahiUnreachableTest : public AvahiServiceTest {
 protected:
  void expectPromptRefusal(const std::string& busAddress) {
    const testing::ScopedEnvironment bus("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str());
    Reports reports;
    auto service = make("Nowhere", reports);
    service->publish();
    EXPECT_FALSE(reports.any());  // never inside publish()
    ASSERT_TRUE(runUntilReported(reports));
    EXPECT_TRUE(reports.published.empty());
    ASSERT_EQ(reports.refused.size(), 1u);
    EXPECT_LT(reports.refused[0].at(serviceErrorCodeKey), 0);
  }
};

TEST_F(AvahiUnreachableTest, WithoutASystemBusThePublicationIsRefused) {
  expectPromptRefusal("unix:path=/nonexistent/veltrano/system_bus_socket");
}

TEST_F(AvahiUnreachableTest, WithoutAnAvahiDaemonOnTheBusThePublicationIsRefused) {
  test::BusWithoutAvahi bus;
  VELTRANO_REQUIRE_SERVICE("dbus-daemon", bus.waitUntilListening()
                                              ? std::nullopt
                                              : std::optional<std::string>("dbus-daemon did not start"));
  expectPromptRefusal(bus.address());
}

}  // namespace
}  // namespace veltrano::platform
