// BonjourPublisher against a scripted service on a test main loop and virtual time.
#include "control/bonjour_publisher.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/executors.hpp"
#include "core/log_capture.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;
using platform::ServiceErrorDictionary;

class ScriptedService final : public platform::NetworkService {
 public:
  ScriptedService(std::string domain, std::string type, std::string name, std::uint16_t port)
      : domain(std::move(domain)), type(std::move(type)), name(std::move(name)), port_(port) {}

  void setDelegate(Delegate value) override { delegate = lastDelegate = std::move(value); }
  void removeDelegate() override {
    delegate = {};
    ++delegateRemovals;
  }
  void publish() override { ++publishes; }
  void stop() override { ++stops; }
  std::uint16_t port() const override { return port_; }

  const std::string domain, type, name;
  Delegate delegate;      // outcomes reach only the current delegate,
  Delegate lastDelegate;  // except those already on their way when it was removed
  int publishes = 0, stops = 0, delegateRemovals = 0;

 private:
  std::uint16_t port_;
};

enum class Outcome { pending, published, rejected, timedOut, cancelled };

// What one start() call ended with; shared with the task that runs it.
struct StartResult {
  Outcome outcome = Outcome::pending;
  std::string errorText;
  ServiceErrorDictionary errors;
};

asio::awaitable<void> runStart(TaskToken token, std::shared_ptr<BonjourPublisher> publisher, std::string name,
                               std::shared_ptr<StartResult> result) {
  try {
    auto operation = publisher->start(token, name, 9090, 5s);
    co_await std::move(operation);
    result->outcome = Outcome::published;
  } catch (const BonjourPublisher::PublishError& error) {
    using Kind = BonjourPublisher::PublishError::Kind;
    result->outcome = error.kind() == Kind::rejected ? Outcome::rejected : Outcome::timedOut;
    result->errorText = error.what();
    result->errors = error.errors();
  } catch (const CancellationError&) {
    result->outcome = Outcome::cancelled;
  }
}

struct StartCall {
  Task task;
  std::shared_ptr<StartResult> result = std::make_shared<StartResult>();
  Outcome outcome() const { return result->outcome; }
};

class BonjourPublisherTest : public ::testing::Test {
 public:
  // Starts a publication from a main-thread task and runs it up to its wait.
  StartCall start(const std::string& name = "Desk", bool cancelledBefore = false) {
    StartCall call;
    call.task = Task::spawn(mainExecutor(), [this, name, result = call.result, cancelledBefore](TaskToken token) {
      if (cancelledBefore) token->cancel();
      return runStart(std::move(token), publisher, name, result);
    });
    loop.drain();
    return call;
  }
  ScriptedService& service(std::size_t index) { return *services.at(index); }

  MainLoopForTests loop;
  VirtualClock clock{[this] { loop.drain(); }};
  ScopedLogCapture logs;
  std::vector<std::shared_ptr<ScriptedService>> services;
  std::shared_ptr<BonjourPublisher> publisher = BonjourPublisher::create(
      [this](const std::string& domain, const std::string& type, const std::string& name, std::uint16_t port) {
        services.push_back(std::make_shared<ScriptedService>(domain, type, name, port));
        return services.back();
      },
      clock);
};

const CapturedLogLine publishLine{LogCategory::NET, R"(Bonjour publish: name="Desk" type=_veltrano._tcp. port=9090)"};

struct EndingCase {
  const char* label;
  std::function<void(BonjourPublisherTest&, StartCall&)> act;
  Outcome outcome;
  bool serviceStopped;
  std::vector<CapturedLogLine> linesAfterPublish = {};
  std::string errorText = {};
  ServiceErrorDictionary errors = {};
};
void PrintTo(const EndingCase& c, std::ostream* out) { *out << c.label; }

class PublicationEnding : public BonjourPublisherTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(PublicationEnding, ResumesTheCallerOnceAndKeepsOrStopsTheService) {
  const EndingCase& c = GetParam();
  StartCall call = start();
  ASSERT_EQ(services.size(), 1u);
  const ScriptedService& first = service(0);
  EXPECT_EQ(first.domain, "local.");
  EXPECT_EQ(first.type, "_veltrano._tcp.");
  EXPECT_EQ(first.name, "Desk");
  EXPECT_EQ(first.publishes, 1);

  c.act(*this, call);
  loop.drain();

  EXPECT_EQ(call.outcome(), c.outcome);
  EXPECT_EQ(call.result->errorText, c.errorText);
  EXPECT_EQ(call.result->errors, c.errors);
  EXPECT_EQ(first.stops, c.serviceStopped ? 1 : 0);
  EXPECT_EQ(first.delegateRemovals, c.serviceStopped ? 1 : 0);
  std::vector<CapturedLogLine> expected{publishLine};
  expected.insert(expected.end(), c.linesAfterPublish.begin(), c.linesAfterPublish.end());
  EXPECT_EQ(logs.lines(), expected);

  // Whatever the ending, the time-out is over: it neither fires later nor touches a published service.
  clock.advance(1min);
  EXPECT_EQ(call.outcome(), c.outcome);
  EXPECT_EQ(first.stops, c.serviceStopped ? 1 : 0);
  EXPECT_EQ(clock.sleeperCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    BonjourPublisher, PublicationEnding,
    ::testing::Values(
        EndingCase{"Confirmed", [](auto& t, auto&) { t.service(0).delegate.didPublish("Desk #2"); },
                   Outcome::published, false, {{LogCategory::NET, R"(Bonjour ready: name="Desk #2" port=9090)"}}},
        EndingCase{"Refused",
                   [](auto& t, auto&) { t.service(0).delegate.didNotPublish({{"code", -26}, {"domain", 1}}); },
                   Outcome::rejected, true, {{LogCategory::Error, "Bonjour publish failed: {code = -26; domain = 1}"}},
                   "the DNS-SD service (avahi-daemon) is not running or refused the name.",
                   {{"code", -26}, {"domain", 1}}},
        EndingCase{"TimedOut",
                   [](auto& t, StartCall& call) {
                     t.clock.advance(5s - 1ms);
                     EXPECT_EQ(call.outcome(), Outcome::pending);
                     t.clock.advance(1ms);
                   },
                   Outcome::timedOut, true, {}, "the DNS-SD service did not answer in time."},
        EndingCase{"CallerCancelled",
                   [](auto& t, StartCall& call) {
                     call.task.cancel();
                     // The follow-up runs on a later main-loop turn, not inside cancel().
                     EXPECT_EQ(call.outcome(), Outcome::pending);
                     EXPECT_EQ(t.service(0).stops, 0);
                   },
                   Outcome::cancelled, true},
        EndingCase{"Withdrawn", [](auto& t, auto&) { t.publisher->stopPublication(); }, Outcome::cancelled, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BonjourPublisherTest, AStartFromACancelledTaskPublishesNothing) {
  StartCall call = start("Desk", /*cancelledBefore=*/true);
  EXPECT_EQ(call.outcome(), Outcome::cancelled);
  EXPECT_EQ(service(0).publishes, 0);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(BonjourPublisherTest, ASecondStartCancelsTheFirstAndOnlyItsOwnOutcomeCounts) {
  StartCall first = start("First");
  StartCall second = start("Second");
  EXPECT_EQ(first.outcome(), Outcome::cancelled);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_EQ(service(0).delegateRemovals, 1);

  service(0).lastDelegate.didPublish("First");
  loop.drain();
  EXPECT_EQ(second.outcome(), Outcome::pending);
  service(1).delegate.didPublish("Second");
  loop.drain();
  EXPECT_EQ(second.outcome(), Outcome::published);
  EXPECT_EQ(service(1).stops, 0);
}

TEST_F(BonjourPublisherTest, OutcomesAfterTheTimeOutAreIgnoredButARefusalIsStillLogged) {
  StartCall call = start();
  clock.advance(5s);
  service(0).lastDelegate.didPublish("Desk");
  service(0).lastDelegate.didNotPublish({{"code", -1}});
  loop.drain();
  EXPECT_EQ(call.outcome(), Outcome::timedOut);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_THAT(logs.lines(), ::testing::ElementsAre(publishLine, CapturedLogLine{LogCategory::Error,
                                                                                "Bonjour publish failed: {code = -1}"}));
}

TEST_F(BonjourPublisherTest, APublishedServiceLostWithItsDaemonAndPublishedAgainIsLoggedAndKept) {
  StartCall call = start();
  service(0).delegate.didPublish("Desk");
  loop.drain();
  ASSERT_EQ(call.outcome(), Outcome::published);
  service(0).delegate.didNotPublish({{"code", -23}});
  loop.drain();
  EXPECT_EQ(service(0).stops, 0) << "the service waits for the daemon to come back";
  service(0).delegate.didPublish("Desk");
  loop.drain();
  const CapturedLogLine ready{LogCategory::NET, R"(Bonjour ready: name="Desk" port=9090)"};
  EXPECT_THAT(logs.lines(),
              ::testing::ElementsAre(publishLine, ready,
                                     CapturedLogLine{LogCategory::Error, "Bonjour publish failed: {code = -23}"}, ready));
  // A service already withdrawn says nothing more.
  publisher->stopPublication();
  service(0).lastDelegate.didPublish("Desk");
  loop.drain();
  EXPECT_EQ(logs.lines().size(), 4u);
  EXPECT_EQ(call.outcome(), Outcome::published);
}

TEST_F(BonjourPublisherTest, StoppingWithdrawsAPublishedServiceOnceAndDoesNothingWhenIdle) {
  publisher->stopPublication();
  StartCall call = start();
  service(0).delegate.didPublish("Desk");
  loop.drain();
  ASSERT_EQ(call.outcome(), Outcome::published);

  publisher->stopPublication();
  publisher->stopPublication();
  EXPECT_EQ(services.size(), 1u);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_EQ(service(0).delegateRemovals, 1);
}

}  // namespace
}  // namespace veltrano
