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
using testing::ElementsAre;
using testing::IsEmpty;

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

  // Outcomes as the platform delivers them: to the current delegate only.
  void confirm(const std::string& publishedName) {
    if (delegate.didPublish) delegate.didPublish(publishedName);
  }
  void refuse(const ServiceErrorDictionary& errors) {
    if (delegate.didNotPublish) delegate.didNotPublish(errors);
  }

  const std::string domain, type, name;
  Delegate delegate;
  Delegate lastDelegate;  // for outcomes that were already on their way when the delegate was removed
  int publishes = 0, stops = 0, delegateRemovals = 0;

 private:
  std::uint16_t port_;
};

enum class Outcome { pending, published, rejected, timedOut, cancelled };

struct StartCall {
  Task task;
  std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>(Outcome::pending);
  std::shared_ptr<std::string> errorText = std::make_shared<std::string>();
  std::shared_ptr<ServiceErrorDictionary> errors = std::make_shared<ServiceErrorDictionary>();
};

asio::awaitable<void> runStart(TaskToken token, std::shared_ptr<BonjourPublisher> publisher, std::string name,
                               std::uint16_t port, StartCall call) {
  try {
    auto operation = publisher->start(token, name, port, 5s);
    co_await std::move(operation);
    *call.outcome = Outcome::published;
  } catch (const BonjourPublisher::PublishError& error) {
    using Kind = BonjourPublisher::PublishError::Kind;
    *call.outcome = error.kind() == Kind::rejected ? Outcome::rejected : Outcome::timedOut;
    *call.errorText = error.what();
    *call.errors = error.errors();
  } catch (const CancellationError&) {
    *call.outcome = Outcome::cancelled;
  }
}

class BonjourPublisherTest : public ::testing::Test {
 public:
  // Starts a publication from a main-thread task and runs it up to its wait.
  StartCall start(const std::string& name = "Desk", bool cancelledBefore = false) {
    StartCall call;
    call.task = Task::spawn(mainExecutor(), [this, name, call, cancelledBefore](TaskToken token) {
      if (cancelledBefore) token->cancel();
      return runStart(std::move(token), publisher, name, 9090, call);
    });
    loop.drain();
    return call;
  }
  ScriptedService& service(std::size_t index) { return *services.at(index); }
  std::vector<CapturedLogLine> logLines() const { return logs.lines(); }

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
  std::function<void(BonjourPublisherTest&, ScriptedService&, StartCall&)> act;
  Outcome outcome;
  bool serviceStopped;
  std::vector<CapturedLogLine> linesAfterPublish;
  std::string errorText;
};
void PrintTo(const EndingCase& c, std::ostream* out) { *out << c.label; }

class PublicationEnding : public BonjourPublisherTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(PublicationEnding, ResumesTheCallerOnceAndKeepsOrStopsTheService) {
  const EndingCase& c = GetParam();
  StartCall call = start();
  ASSERT_EQ(services.size(), 1u);
  ScriptedService& first = service(0);
  EXPECT_EQ(first.domain, "local.");
  EXPECT_EQ(first.type, "_veltrano._tcp.");
  EXPECT_EQ(first.name, "Desk");
  EXPECT_EQ(first.publishes, 1);
  EXPECT_EQ(*call.outcome, Outcome::pending);

  c.act(*this, first, call);
  loop.drain();

  EXPECT_EQ(*call.outcome, c.outcome);
  EXPECT_EQ(*call.errorText, c.errorText);
  EXPECT_EQ(first.stops, c.serviceStopped ? 1 : 0);
  EXPECT_EQ(first.delegateRemovals, c.serviceStopped ? 1 : 0);
  std::vector<CapturedLogLine> expected{publishLine};
  expected.insert(expected.end(), c.linesAfterPublish.begin(), c.linesAfterPublish.end());
  EXPECT_EQ(logLines(), expected);

  // Whatever the ending, the time-out is over: it neither fires later nor touches a published service.
  clock.advance(1min);
  EXPECT_EQ(*call.outcome, c.outcome);
  EXPECT_EQ(first.stops, c.serviceStopped ? 1 : 0);
  EXPECT_EQ(clock.sleeperCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    BonjourPublisher, PublicationEnding,
    ::testing::Values(
        EndingCase{"Confirmed", [](auto&, ScriptedService& s, auto&) { s.confirm("Desk #2"); }, Outcome::published, false,
                   {{LogCategory::NET, R"(Bonjour ready: name="Desk #2" port=9090)"}}, ""},
        EndingCase{"Refused", [](auto&, ScriptedService& s, auto&) { s.refuse({{"code", -26}}); }, Outcome::rejected, true,
                   {{LogCategory::Error, "Bonjour publish failed: {code = -26}"}},
                   "The local network refused to announce this computer."},
        EndingCase{"TimedOut", [](BonjourPublisherTest& t, auto&, auto&) { t.clock.advance(5s); }, Outcome::timedOut, true,
                   {}, "Announcing this computer on the local network took too long."},
        EndingCase{"CallerCancelled", [](auto&, auto&, StartCall& call) { call.task.cancel(); }, Outcome::cancelled, true, {}, ""},
        EndingCase{"Withdrawn", [](BonjourPublisherTest& t, auto&, auto&) { t.publisher->stopPublication(); },
                   Outcome::cancelled, true, {}, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BonjourPublisherTest, CancellingTheCallerEndsTheWaitOnALaterMainTurn) {
  StartCall call = start();
  call.task.cancel();
  EXPECT_EQ(*call.outcome, Outcome::pending);  // the follow-up runs on the main loop, not inside cancel()
  EXPECT_EQ(service(0).stops, 0);
  loop.drain();
  EXPECT_EQ(*call.outcome, Outcome::cancelled);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_EQ(service(0).delegateRemovals, 1);
}

TEST_F(BonjourPublisherTest, TheTimeOutFiresAtItsDeadlineAndNotBefore) {
  StartCall call = start();
  clock.advance(5s - 1ms);
  EXPECT_EQ(*call.outcome, Outcome::pending);
  clock.advance(1ms);
  EXPECT_EQ(*call.outcome, Outcome::timedOut);
  EXPECT_TRUE(call.errors->empty());
}

TEST_F(BonjourPublisherTest, ARefusalCarriesTheSystemsErrorDictionary) {
  StartCall call = start();
  service(0).refuse({{"code", -15}, {"domain", 1}});
  loop.drain();
  EXPECT_EQ(*call.errors, (ServiceErrorDictionary{{"code", -15}, {"domain", 1}}));
}

TEST_F(BonjourPublisherTest, AStartFromACancelledTaskPublishesNothing) {
  StartCall call = start("Desk", /*cancelledBefore=*/true);
  EXPECT_EQ(*call.outcome, Outcome::cancelled);
  EXPECT_EQ(service(0).publishes, 0);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_THAT(logLines(), IsEmpty());
}

TEST_F(BonjourPublisherTest, ASecondStartCancelsTheFirstAndPublishesOnlyItsOwnService) {
  StartCall first = start("First");
  StartCall second = start("Second");
  EXPECT_EQ(*first.outcome, Outcome::cancelled);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_EQ(service(0).delegateRemovals, 1);

  service(0).lastDelegate.didPublish("First");  // an outcome already on its way
  loop.drain();
  EXPECT_EQ(*second.outcome, Outcome::pending);

  service(1).confirm("Second");
  loop.drain();
  EXPECT_EQ(*second.outcome, Outcome::published);
  EXPECT_EQ(service(1).stops, 0);
}

TEST_F(BonjourPublisherTest, LateOutcomesAreIgnoredAndARefusalOfAnotherServiceOnlyLogs) {
  StartCall call = start();
  clock.advance(5s);
  ASSERT_EQ(*call.outcome, Outcome::timedOut);
  service(0).lastDelegate.didPublish("Desk");
  service(0).lastDelegate.didNotPublish({{"code", -1}});
  loop.drain();
  EXPECT_EQ(*call.outcome, Outcome::timedOut);
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_THAT(logLines(), ElementsAre(publishLine, CapturedLogLine{LogCategory::Error, "Bonjour publish failed: {code = -1}"}));
}

TEST_F(BonjourPublisherTest, StoppingWithdrawsAPublishedServiceAndDoesNothingWhenIdle) {
  publisher->stopPublication();  // idle
  EXPECT_TRUE(services.empty());

  StartCall call = start();
  service(0).confirm("Desk");
  loop.drain();
  ASSERT_EQ(*call.outcome, Outcome::published);

  publisher->stopPublication();
  EXPECT_EQ(service(0).stops, 1);
  EXPECT_EQ(service(0).delegateRemovals, 1);
  publisher->stopPublication();
  EXPECT_EQ(service(0).stops, 1);
}

}  // namespace
}  // namespace veltrano
