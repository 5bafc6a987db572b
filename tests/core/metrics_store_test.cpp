#include "core/metrics_store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_set>

namespace veltrano {
namespace {

const std::string dash = "\u2014";

using Counter = ObservableProperty<std::int64_t>;
using Text = ObservableProperty<std::string>;
using Rate = ObservableProperty<double>;

std::vector<Counter*> sessionCounters(MetricsStore& m) {
  return {&m.capturedFrames, &m.connectedClients, &m.videoClients,   &m.encodedFrames, &m.keyframes,
          &m.videoBytesSent, &m.videoFramesDropped, &m.audioClients, &m.audioFrames,   &m.audioBytesSent,
          &m.audioFramesDropped, &m.bytesSent,    &m.bytesReceived};
}
std::vector<Text*> sessionTexts(MetricsStore& m) { return {&m.lastCommand, &m.lastError, &m.lastFrameDescription}; }
std::vector<Rate*> sessionRates(MetricsStore& m) { return {&m.fps, &m.encodeMs, &m.averagePingMs}; }

// What a new store holds and a session reset puts back.
void expectSessionValuesAtStart(MetricsStore& m) {
  EXPECT_FALSE(m.isCapturing.get());
  for (auto* counter : sessionCounters(m)) EXPECT_EQ(counter->get(), 0);
  for (auto* text : sessionTexts(m)) EXPECT_EQ(text->get(), dash);
  for (auto* rate : sessionRates(m)) EXPECT_EQ(rate->get(), 0.0);
  EXPECT_TRUE(m.availableDisplays.get().empty());
  EXPECT_EQ(m.activeDisplayID.get(), 0u);
}

TEST(MetricsStore, SettersNotifyOnlyOnChange) {
  MetricsStore m;
  std::vector<std::int64_t> seen;
  int displayChanges = 0;
  auto clients = m.connectedClients.observe([&](std::int64_t value) { seen.push_back(value); });
  auto displays = m.availableDisplays.observe([&](const std::vector<DisplayInfo>&) { ++displayChanges; });

  EXPECT_FALSE(m.connectedClients.set(0));
  EXPECT_TRUE(m.connectedClients.set(2));
  EXPECT_FALSE(m.connectedClients.set(2));
  EXPECT_TRUE(m.connectedClients.set(1));
  EXPECT_EQ(seen, (std::vector<std::int64_t>{2, 1}));

  std::vector<DisplayInfo> list{{1, "A", 1920, 1080, 9100}, {2, "B", 1280, 720, 9101}};
  m.availableDisplays.set(list);
  m.availableDisplays.set(list);  // equal element by element
  list[1].videoPort = 0;
  m.availableDisplays.set(list);
  EXPECT_EQ(displayChanges, 2);

  clients.reset();
  m.connectedClients.set(5);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(m.connectedClients.get(), 5);
}

TEST(MetricsStore, IsUsedOnTheMainThreadOnly) {
#ifdef VELTRANO_THREAD_CHECKS
  // The dying call starts a thread: in a fresh process, since ThreadSanitizer refuses threads after a fork.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MetricsStore store;
  const auto offMain = [](const std::function<void()>& use) { std::thread(use).join(); };
  EXPECT_DEATH(offMain([&] { store.port.set(1); }), "called off the main thread");
  EXPECT_DEATH(offMain([&] { (void)store.videoPort.get(); }), "called off the main thread");
  EXPECT_DEATH(offMain([&] { store.logEvent(LogCategory::HOST, "x"); }), "called off the main thread");
  EXPECT_DEATH(offMain([&] { store.resetSessionCounters(); }), "called off the main thread");
#else
  GTEST_SKIP() << "built without VELTRANO_THREAD_CHECKS";
#endif
}

TEST(MetricsStore, ObserversMayUnsubscribeWhileBeingNotified) {
  MetricsStore m;
  std::vector<std::string> calls;
  Subscription second;
  auto first = m.lastError.observe([&](const std::string& value) {
    calls.push_back("first " + value);
    second.reset();
  });
  second = m.lastError.observe([&](const std::string& value) { calls.push_back("second " + value); });
  m.lastError.set("boom");
  m.lastError.set("again");
  EXPECT_EQ(calls, (std::vector<std::string>{"first boom", "first again"}));
  EXPECT_EQ(m.lastError.observerCount(), 1u);
}

TEST(MetricsStore, SubscriptionOutlivingTheStoreIsHarmless) {
  Subscription subscription;
  {
    MetricsStore m;
    subscription = m.isRunning.observe([](bool) {});
  }
  subscription.reset();  // must not touch the destroyed store (sanitizer builds catch it)
}

TEST(MetricsStore, KeepsTheNewest200EventsOldestFirst) {
  MetricsStore m;
  int notifications = 0;
  auto watch = m.events().observe([&](const auto&) { ++notifications; });
  const std::regex uuidText("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  auto before = MetricsStore::Clock::now();
  for (int i = 0; i < 250; ++i) m.logEvent(allLogCategories[static_cast<std::size_t>(i) % 9], "event " + std::to_string(i));
  const auto& events = m.events().get();
  ASSERT_EQ(events.size(), 200u);
  EXPECT_EQ(notifications, 250);
  std::set<std::string> ids;
  for (std::size_t k = 0; k < events.size(); ++k) {
    int i = static_cast<int>(k) + 50;
    EXPECT_EQ(events[k].message, "event " + std::to_string(i));
    EXPECT_EQ(events[k].tag, std::string(name(allLogCategories[static_cast<std::size_t>(i) % 9])));
    EXPECT_GE(events[k].date, before);
    if (k > 0) {
      EXPECT_GE(events[k].date, events[k - 1].date);
    }
    EXPECT_TRUE(std::regex_match(events[k].id.text(), uuidText)) << events[k].id.text();
    ids.insert(events[k].id.text());
  }
  EXPECT_EQ(ids.size(), 200u);
}

TEST(MetricsStore, StartsEmptyAndResetSessionCountersGivesExactlyTheListedValues) {
  MetricsStore m;
  expectSessionValuesAtStart(m);
  EXPECT_EQ(m.screenRecordingStatus.get(), "unknown");
  // Move every field away from its initial value.
  const auto started = MetricsStore::Clock::now();
  m.isRunning.set(true);
  m.startTime.set(started);
  m.port.set(1);
  m.videoPort.set(2);
  m.audioPort.set(3);
  m.localIP.set("10.0.0.2");
  m.isCapturing.set(true);
  std::int64_t n = 1;
  for (auto* counter : sessionCounters(m)) counter->set(n++);
  for (auto* text : sessionTexts(m)) text->set("x");
  for (auto* rate : sessionRates(m)) rate->set(static_cast<double>(n++) + 0.5);
  m.hostWidth.set(1920);
  m.hostHeight.set(1080);
  m.activeDisplayID.set(7);
  m.availableDisplays.set({{7, "Main", 1920, 1080, 9100}});
  m.displayInfo.set("Main 1920x1080");
  m.screenRecordingStatus.set("granted");
  m.accessibilityStatus.set("missing");
  m.logEvent(LogCategory::HOST, "kept");

  m.resetSessionCounters();

  expectSessionValuesAtStart(m);
  // Untouched:
  EXPECT_TRUE(m.isRunning.get());
  EXPECT_EQ(m.startTime.get(), started);
  EXPECT_EQ(m.port.get(), 1);
  EXPECT_EQ(m.videoPort.get(), 2);
  EXPECT_EQ(m.audioPort.get(), 3);
  EXPECT_EQ(m.localIP.get(), "10.0.0.2");
  EXPECT_EQ(m.hostWidth.get(), 1920);
  EXPECT_EQ(m.hostHeight.get(), 1080);
  EXPECT_EQ(m.displayInfo.get(), "Main 1920x1080");
  EXPECT_EQ(m.screenRecordingStatus.get(), "granted");
  EXPECT_EQ(m.accessibilityStatus.get(), "missing");
  EXPECT_EQ(m.events().get().size(), 1u);
}

// A display whose name, size or port changed must notify the window, and a set of them must tell them apart.
TEST(DisplayInfo, EqualityAndHashCoverAllFiveFields) {
  const DisplayInfo base{42, "DP-1", 2560, 1440, 9100};
  std::unordered_set<DisplayInfo> set{base, base};
  for (const DisplayInfo& variant : {DisplayInfo{43, "DP-1", 2560, 1440, 9100}, DisplayInfo{42, "DP-2", 2560, 1440, 9100},
                                     DisplayInfo{42, "DP-1", 2561, 1440, 9100}, DisplayInfo{42, "DP-1", 2560, 1441, 9100},
                                     DisplayInfo{42, "DP-1", 2560, 1440, 0}}) {
    EXPECT_NE(variant, base);
    EXPECT_NE(std::hash<DisplayInfo>()(variant), std::hash<DisplayInfo>()(base));
    set.insert(variant);
  }
  EXPECT_EQ(set.size(), 6u);
}

InterfaceAddress ipv4(std::string name, std::string address, bool loopback = false, bool up = true,
                      bool running = true) {
  return InterfaceAddress{std::move(name), up, running, loopback, true, std::move(address)};
}

TEST(LocalIPv4Address, PicksTheFirstUsableAddressPreferringEn) {
  using List = std::vector<InterfaceAddress>;
  const std::vector<std::tuple<const char*, List, std::optional<std::string>>> cases = {
      {"none", {}, std::nullopt},
      {"loopback only", {ipv4("lo", "127.0.0.1", true)}, std::nullopt},
      {"loopback flag, 127.x, down, not running and IPv6 are skipped",
       {ipv4("lo", "10.9.9.9", true), ipv4("dummy0", "127.0.1.1"), ipv4("wlan0", "10.1.1.1", false, false),
        ipv4("eth1", "10.2.2.2", false, true, false), InterfaceAddress{"eth0", true, true, false, false, "fe80::1"},
        ipv4("eth0", "192.168.1.20")},
       "192.168.1.20"},
      {"the first en wins over earlier ones",
       {ipv4("wlp2s0", "192.168.1.5"), ipv4("enp3s0", "192.168.1.6"), ipv4("en0", "192.168.1.7")}, "192.168.1.6"},
      {"without en the first usable", {ipv4("docker0", "172.17.0.1"), ipv4("wlp2s0", "192.168.1.5")}, "172.17.0.1"},
      {"an en that is down does not count", {ipv4("wlp2s0", "192.168.1.5"), ipv4("en0", "192.168.1.7", false, false)},
       "192.168.1.5"},
  };
  for (const auto& [name, list, expected] : cases) EXPECT_EQ(MetricsStore::localIPv4Address(list), expected) << name;
}

TEST(LocalIPv4Address, ThisMachineGivesAListedUsableAddressOrNone) {
  const auto interfaces = systemInterfaceAddresses();
  ASSERT_FALSE(interfaces.empty()) << "getifaddrs listed nothing";
  const auto address = MetricsStore::localIPv4Address();
  const bool listed = std::any_of(interfaces.begin(), interfaces.end(), [&](const InterfaceAddress& entry) {
    return entry.isUp && entry.isRunning && !entry.isLoopback && entry.isIPv4 && !entry.address.starts_with("127.") &&
           entry.address == address.value_or("");
  });
  EXPECT_EQ(listed, address.has_value()) << address.value_or("none");
  EXPECT_EQ(address, MetricsStore::localIPv4Address(interfaces));
}

}  // namespace
}  // namespace veltrano
