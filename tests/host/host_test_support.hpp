#pragma once
// Runs the host view model headless: fake services that write every call into one shared journal and whose
// steps can be made to fail or to wait until released, scripted permissions, a virtual clock, and the analytics
// events and log lines the model wrote.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.hpp"
#include "base/continuation.hpp"
#include "base/executors.hpp"
#include "control/bonjour_publisher.hpp"
#include "control/input_controller.hpp"
#include "core/analytics_event.hpp"
#include "core/log_capture.hpp"
#include "core/metrics_store.hpp"
#include "core/permission_manager.hpp"
#include "host/host_services.hpp"
#include "host/host_view_model.hpp"

namespace veltrano::test {

using namespace std::chrono_literals;

// What one named step does: pass, throw, or wait until released (then pass or throw).
struct FakeStep {
  std::optional<std::string> failure;
  std::exception_ptr error;  // thrown instead of a runtime_error with `failure`
  std::optional<Continuation<>> hold;
};

class FakeServices;

// Every fake reports its calls here, so that tests see the order across objects.
struct FakeWorld {
  std::vector<std::string> journal;
  std::map<std::string, FakeStep> steps;
  std::map<std::string, bool> listening;  // per server name, true between a finished start and a stop

  asio::awaitable<void> perform(std::string name) {
    journal.push_back(name);
    auto found = steps.find(name);
    if (found == steps.end()) co_return;
    FakeStep step = found->second;
    if (step.hold) co_await step.hold->wait();
    if (step.error) std::rethrow_exception(step.error);
    if (step.failure) throw std::runtime_error(*step.failure);
  }
  // Makes `name` wait until the returned continuation is resumed.
  Continuation<> hold(const std::string& name) {
    Continuation<> release;
    steps[name].hold = release;
    return release;
  }
  void fail(const std::string& name, std::string message) { steps[name].failure = std::move(message); }
  std::size_t count(const std::string& entry) const {
    return static_cast<std::size_t>(std::count(journal.begin(), journal.end(), entry));
  }
  bool anyListening() const {
    return std::any_of(listening.begin(), listening.end(), [](const auto& entry) { return entry.second; });
  }
};

// A server: a second stop while the first still runs returns at once, as the real listeners do.
template <class Interface>
class FakeServer : public Interface {
 public:
  FakeServer(std::shared_ptr<FakeWorld> world, std::string name) : world_(std::move(world)), name_(std::move(name)) {}
  // A start overtaken by a stop fails, as a real listener's start waiters do.
  asio::awaitable<void> start() override {
    const auto stopsBefore = stops_;
    auto step = world_->perform(name_ + ".start");
    co_await std::move(step);
    if (stops_ != stopsBefore) throw CancellationError();
    world_->listening[name_] = true;
  }
  asio::awaitable<void> stop() override {
    ++stops_;
    world_->journal.push_back(name_ + ".stop");
    world_->listening[name_] = false;
    if (stopping_) co_return;
    stopping_ = true;
    auto found = world_->steps.find(name_ + ".stop");
    if (found != world_->steps.end() && found->second.hold) {
      const auto release = *found->second.hold;
      co_await release.wait();
    }
    stopping_ = false;
  }
  const std::string& name() const { return name_; }

 protected:
  std::shared_ptr<FakeWorld> world_;
  std::string name_;
  bool stopping_ = false;
  int stops_ = 0;
};

class FakeVideoServer final : public FakeServer<HostVideoServer> {
 public:
  using FakeServer::FakeServer;
  asio::awaitable<void> setEncoder(std::shared_ptr<HostVideoEncoder> encoder) override;
  asio::awaitable<void> resetStream() override { auto step = world_->perform(name_ + ".resetStream");
    co_await std::move(step); }
};

class FakeEncoder final : public HostVideoEncoder {
 public:
  FakeEncoder(std::shared_ptr<FakeWorld> world, std::string name) : world_(std::move(world)), name_(std::move(name)) {}
  asio::awaitable<void> setServer(std::shared_ptr<HostVideoServer> server) override {
    auto step = world_->perform(name_ + ".setServer " + std::dynamic_pointer_cast<FakeVideoServer>(server)->name());
    co_await std::move(step);
  }
  asio::awaitable<void> stopSession() override { auto step = world_->perform(name_ + ".stopSession");
    co_await std::move(step); }
  std::shared_ptr<KeyframeRequestTarget> keyframeTarget() override { return nullptr; }
  const std::string& name() const { return name_; }

 private:
  std::shared_ptr<FakeWorld> world_;
  std::string name_;
};

inline asio::awaitable<void> FakeVideoServer::setEncoder(std::shared_ptr<HostVideoEncoder> encoder) {
  auto step = world_->perform(name_ + ".setEncoder " + std::dynamic_pointer_cast<FakeEncoder>(encoder)->name());
    co_await std::move(step);
}

class FakeFileServer final : public FakeServer<HostFileServer> {
 public:
  using FakeServer::FakeServer;
  void setHandlers(SessionLostHandler, FileDataHandler) override {}
};

class FakeControlServer final : public FakeServer<HostControlServer> {
 public:
  using FakeServer::FakeServer;
  void setOnClientCountChange(ClientCountHandler handler) override { onClientCountChange = std::move(handler); }
  asio::awaitable<void> fileChannelLost(std::string) override { co_return; }
  std::shared_ptr<ControlClientBroadcaster> broadcaster() override { return nullptr; }
  ClientCountHandler onClientCountChange;
};

class FakeCapture final : public HostCaptureService {
 public:
  FakeCapture(std::shared_ptr<FakeWorld> world, std::string name, std::function<std::vector<DisplayInfo>()> list)
      : world_(std::move(world)), name_(std::move(name)), list_(std::move(list)) {}
  asio::awaitable<std::vector<DisplayInfo>> availableDisplays() override {
    world_->journal.push_back(name_ + ".availableDisplays");
    co_return list_();
  }
  asio::awaitable<void> startCapture(std::optional<std::uint32_t>) override {
    auto step = world_->perform(name_ + ".startCapture");
    co_await std::move(step);
  }
  asio::awaitable<void> stopCapture() override { auto step = world_->perform(name_ + ".stopCapture");
    co_await std::move(step); }
  asio::awaitable<void> setUnexpectedStopHandler(StopHandler handler) override {
    auto step = world_->perform(name_ + (handler ? ".setStopHandler" : ".clearStopHandler"));
    co_await std::move(step);
  }

 private:
  std::shared_ptr<FakeWorld> world_;
  std::string name_;
  std::function<std::vector<DisplayInfo>()> list_;
};

// Publishes after the step "bonjour.start"; a held start ends with CancellationError when its task is cancelled
// or the publication withdrawn, as the real publisher's does.
class FakeBonjour final : public HostBonjourPublisher {
 public:
  explicit FakeBonjour(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {}
  asio::awaitable<void> start(TaskToken token, std::string name, std::uint16_t port, Clock::Duration) override {
    world_->journal.push_back("bonjour.start " + name + " " + std::to_string(port));
    FakeStep step = world_->steps["bonjour.start"];
    if (step.hold) {
      // The test's release, the task's cancellation or a withdrawal ends the wait; the first one wins.
      pending_ = *step.hold;
      auto pending = *pending_;
      const auto hook = token->onCancel([pending] { pending.resumeThrowing(std::make_exception_ptr(CancellationError())); });
      try {
        co_await pending.wait();
      } catch (...) {
        token->removeCancelHook(hook);
        throw;
      }
      token->removeCancelHook(hook);
    }
    if (step.error) std::rethrow_exception(step.error);
  }
  void stopPublication() override {
    world_->journal.push_back("bonjour.stopPublication");
    if (pending_) pending_->resumeThrowing(std::make_exception_ptr(CancellationError()));
  }

 private:
  std::shared_ptr<FakeWorld> world_;
  std::optional<Continuation<>> pending_;
};

class FakeServices final : public HostServiceFactory {
 public:
  explicit FakeServices(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {}

  std::vector<DisplayInfo> displays = {{1, "VL-LEFT", 960, 1080, 0}, {2, "VL-RIGHT", 960, 1080, 0}};
  std::optional<std::uint32_t> mainDisplay = 1;

  std::shared_ptr<HostFileServer> makeFileServer(std::uint16_t port) override {
    nextEncoderPort_ = HostViewModel::firstDisplayVideoPort;
    world_->journal.push_back("make file " + std::to_string(port));
    return std::make_shared<FakeFileServer>(world_, "file");
  }
  std::shared_ptr<HostControlServer> makeControlServer(ControlServerParts parts) override {
    world_->journal.push_back("make control " + std::to_string(parts.port));
    auto control = std::make_shared<FakeControlServer>(world_, "control");
    lastControl = control;
    return control;
  }
  std::shared_ptr<HostAudioServer> makeAudioServer(std::uint16_t port, std::shared_ptr<MetricsStore>) override {
    world_->journal.push_back("make audio " + std::to_string(port));
    return std::make_shared<FakeServer<HostAudioServer>>(world_, "audio");
  }
  std::shared_ptr<HostVideoEncoder> makeVideoEncoder(std::shared_ptr<MetricsStore>) override {
    const auto name = "encoder" + std::to_string(nextEncoderPort_++);
    world_->journal.push_back("make " + name);
    return std::make_shared<FakeEncoder>(world_, name);
  }
  std::shared_ptr<HostVideoServer> makeVideoServer(std::uint16_t port, std::shared_ptr<MetricsStore>) override {
    world_->journal.push_back("make video " + std::to_string(port));
    return std::make_shared<FakeVideoServer>(world_, "video" + std::to_string(port));
  }
  std::shared_ptr<HostCaptureService> makeCaptureService(std::shared_ptr<MetricsStore>,
                                                         std::shared_ptr<HostVideoEncoder>,
                                                         std::shared_ptr<HostVideoServer> videoServer,
                                                         std::shared_ptr<HostAudioServer>,
                                                         bool capturesAudio) override {
    const std::string name =
        videoServer ? "capture" + std::dynamic_pointer_cast<FakeVideoServer>(videoServer)->name().substr(5) : "lister";
    world_->journal.push_back("make " + name + (capturesAudio ? " sound" : ""));
    return std::make_shared<FakeCapture>(world_, name, [this] {
      if (const auto& step = world_->steps["lister.availableDisplays"]; step.failure) {
        throw std::runtime_error(*step.failure);
      }
      return displays;
    });
  }
  std::shared_ptr<HostBonjourPublisher> makeBonjourPublisher() override {
    world_->journal.push_back("make bonjour");
    return std::make_shared<FakeBonjour>(world_);
  }
  std::optional<std::uint32_t> mainDisplayID() override { return mainDisplay; }

  std::shared_ptr<FakeControlServer> lastControl;

 private:
  std::shared_ptr<FakeWorld> world_;
  std::uint16_t nextEncoderPort_ = HostViewModel::firstDisplayVideoPort;
};

class FakePermissions final : public PermissionManaging {
 public:
  bool screenRecording = true;
  bool trusted = true;
  bool postEvents = true;
  int accessibilityRequests = 0;
  int screenRecordingRequests = 0;

  bool isAccessibilityTrusted() override { return trusted; }
  bool preflightPostEventAccess() override { return postEvents; }
  bool preflightScreenCaptureAccess() override { return screenRecording; }
  bool ensureAccessibilityAccess() override {
    ++accessibilityRequests;
    return trusted || postEvents;
  }
  bool ensureScreenRecordingAccess() override {
    ++screenRecordingRequests;
    return screenRecording;
  }
};

using AnalyticsRecord = std::pair<AnalyticsEvent, std::optional<std::string>>;

// One model on fakes and virtual time; the test thread is the main thread.
class HostHarness {
 public:
  explicit HostHarness(HostViewModel::DisplaysProvider provider = {}) {
    HostViewModel::Options options;
    options.permissions = permissions;
    options.availableDisplaysProvider = std::move(provider);
    options.services = services;
    options.clock = &clock;
    options.track = [this](AnalyticsEvent event, std::optional<std::string> detail) {
      analytics.emplace_back(event, std::move(detail));
    };
    options.inputController = InputController::create(nullptr, [] { return false; }, clock);
    options.computerName = [] { return std::string("Desk"); };
    model = HostViewModel::create(std::move(options));
  }
  ~HostHarness() {
    model.reset();
    loop.drain();
  }

  // Runs `operation` on the main loop until it completes.
  template <class T>
  T run(asio::awaitable<T> operation) {
    auto future = asio::co_spawn(loop.context(), std::move(operation), asio::use_future);
    loop.runUntil([&] { return future.wait_for(0s) == std::future_status::ready; });
    return future.get();
  }
  // Lets everything due within `time` happen, in order.
  void pass(Clock::Duration time = 0s) {
    loop.drain();
    clock.advance(time);
    loop.drain();
  }
  // Reads the permissions once, as the window's first refresh would, without preparing the launch.
  void resolvePermissions() { run(model->refreshPermissions()); }
  // Starts the host with every step passing and waits until it runs.
  void startRunning() {
    if (!model->hasAllPermissions()) resolvePermissions();
    model->startServer();
    pass();
  }
  bool isIdle() const {
    return !model->metrics->isRunning.get() && !model->startupTask.get() && !model->isStarting.get() &&
           !model->server.get() && model->displaySessions.get().empty();
  }
  std::size_t countOf(AnalyticsEvent event) const {
    return static_cast<std::size_t>(
        std::count_if(analytics.begin(), analytics.end(), [&](const auto& record) { return record.first == event; }));
  }
  std::vector<std::string> logged(LogCategory category) const {
    std::vector<std::string> messages;
    for (const auto& line : logs.lines()) {
      if (line.category == category) messages.push_back(line.message);
    }
    return messages;
  }
  // The journal from the first entry equal to `first` on.
  std::vector<std::string> journalFrom(const std::string& first) const {
    auto at = std::find(world->journal.begin(), world->journal.end(), first);
    return {at, world->journal.end()};
  }

  MainLoopForTests loop;
  VirtualClock clock{[this] { loop.drain(); }};
  ScopedLogCapture logs;
  std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
  std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>(world);
  std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
  std::vector<AnalyticsRecord> analytics;
  std::shared_ptr<HostViewModel> model;
};

// The teardown of the two-display bundle of FakeServices, in order.
inline std::vector<std::string> twoDisplayTeardown() {
  return {"control.stop",        "file.stop",          "capture9100.clearStopHandler", "capture9100.stopCapture",
          "capture9101.clearStopHandler", "capture9101.stopCapture", "encoder9100.stopSession", "video9100.resetStream",
          "video9100.stop",      "encoder9101.stopSession", "video9101.resetStream", "video9101.stop",
          "audio.stop"};
}

}  // namespace veltrano::test
