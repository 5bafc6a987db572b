#pragma once
// Runs the host view model headless: fake services that write every call into one shared journal and whose
// steps can be made to fail or to wait until released, scripted permissions, a virtual clock, and the analytics
// events and log lines the model wrote.
#include <fmt/format.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
#include "support/fake_remote_access.hpp"

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
  std::map<std::string, CaptureGeometry> geometries;                   // per capture name; none: zero
  std::map<std::string, HostCaptureService::StopHandler> stopHandlers;  // per capture name
  HostControlServer::ClientCountHandler clientCountHandler;
  std::map<std::uint32_t, DisplayFrame> bounds;  // per display; none: zero
  std::function<void()> onStopPublication;       // runs when the Bonjour publication is withdrawn

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

// A server's remote outlet: the counts remote access gives it go into the journal ("video9100.external 1").
class FakeOutlet final : public ExternalMediaOutlet {
 public:
  FakeOutlet(std::shared_ptr<FakeWorld> world, std::string name) : world_(std::move(world)), name_(std::move(name)) {}
  asio::awaitable<void> applyExternalClients(int count, ExternalPacketSink sink) override {
    world_->journal.push_back(fmt::format("{}.external {}{}", name_, count, sink ? " sink" : ""));
    co_return;
  }

 private:
  std::shared_ptr<FakeWorld> world_;
  std::string name_;
};

// Every service at once: its calls go into the journal under its name ("video9100.start"). A start overtaken by a
// stop fails and a second stop while the first runs returns at once, as the real listeners do. A held Bonjour
// start also ends when its task is cancelled or the publication withdrawn, as the real publisher's does.
class FakeService final : public HostControlServer,
                          public HostFileServer,
                          public HostAudioServer,
                          public HostVideoServer,
                          public HostVideoEncoder,
                          public HostCaptureService,
                          public HostBonjourPublisher {
 public:
  FakeService(std::shared_ptr<FakeWorld> world, std::string name, std::vector<DisplayInfo> displays = {})
      : world_(std::move(world)), name_(std::move(name)), displays_(std::move(displays)) {}
  const std::string& name() const { return name_; }

  asio::awaitable<void> start() override {
    const auto stopsBefore = stops_;
    co_await step(".start");
    if (stops_ != stopsBefore) throw CancellationError();
    world_->listening[name_] = true;
  }
  asio::awaitable<void> stop() override {
    ++stops_;
    world_->journal.push_back(name_ + ".stop");
    world_->listening[name_] = false;
    if (std::exchange(stopping_, true)) co_return;
    if (const auto release = world_->steps[name_ + ".stop"].hold) co_await release->wait();
    stopping_ = false;
  }
  asio::awaitable<void> setEncoder(std::shared_ptr<HostVideoEncoder> encoder) override {
    const auto suffix = ".setEncoder " + std::dynamic_pointer_cast<FakeService>(encoder)->name();
    co_await step(suffix);
  }
  asio::awaitable<void> setServer(std::shared_ptr<HostVideoServer> server) override {
    const auto suffix = ".setServer " + std::dynamic_pointer_cast<FakeService>(server)->name();
    co_await step(suffix);
  }
  asio::awaitable<void> resetStream() override { co_await step(".resetStream"); }
  std::shared_ptr<ExternalMediaOutlet> externalOutlet() override {
    if (!outlet_) outlet_ = std::make_shared<FakeOutlet>(world_, name_);
    return outlet_;
  }
  asio::awaitable<void> stopSession() override { co_await step(".stopSession"); }
  asio::awaitable<void> setBitRate(std::int64_t bitRate) override { co_await step(".setBitRate", bitRate); }
  asio::awaitable<void> setFrameRate(std::int32_t rate) override { co_await step(".setFrameRate", rate); }
  void requestKeyframe() override { world_->journal.push_back(name_ + ".requestKeyframe"); }
  std::shared_ptr<KeyframeRequestTarget> keyframeTarget() override { return nullptr; }
  void setHandlers(SessionLostHandler, FileDataHandler) override {}
  void setOnClientCountChange(ClientCountHandler handler) override { world_->clientCountHandler = std::move(handler); }
  asio::awaitable<void> fileChannelLost(std::string) override { co_return; }
  std::shared_ptr<ControlClientBroadcaster> broadcaster() override { return nullptr; }
  asio::awaitable<std::vector<DisplayInfo>> availableDisplays() override {
    co_await step(".availableDisplays");
    co_return displays_;
  }
  asio::awaitable<void> startCapture(std::optional<std::uint32_t>) override { co_await step(".startCapture"); }
  asio::awaitable<void> stopCapture() override { co_await step(".stopCapture"); }
  asio::awaitable<void> setUnexpectedStopHandler(StopHandler handler) override {
    const bool installs = static_cast<bool>(handler);
    world_->stopHandlers[name_] = std::move(handler);
    co_await step(installs ? ".setStopHandler" : ".clearStopHandler");
  }
  asio::awaitable<void> applyMediaProfile(MediaProfile p) override {
    const auto suffix =
        fmt::format(".applyMediaProfile {}x{} {}/{}", p.maxWidth, p.maxHeight, p.audioSampleRate, p.audioChannels);
    co_await step(suffix);
  }
  asio::awaitable<CaptureGeometry> geometry() override { co_return world_->geometries[name_]; }
  asio::awaitable<void> setPacing(std::int32_t rate) override { co_await step(".setPacing", rate); }
  asio::awaitable<void> start(TaskToken token, std::string name, std::uint16_t port, Clock::Duration) override {
    world_->journal.push_back("bonjour.start " + name + " " + std::to_string(port));
    const FakeStep script = world_->steps["bonjour.start"];
    if (script.hold) {
      pending_ = *script.hold;  // the test's release, a cancellation or a withdrawal: the first one wins
      const auto pending = *pending_;
      const auto hook =
          token->onCancel([pending] { pending.resumeThrowing(std::make_exception_ptr(CancellationError())); });
      std::exception_ptr ended;
      try {
        co_await pending.wait();
      } catch (...) {
        ended = std::current_exception();
      }
      token->removeCancelHook(hook);
      if (ended) std::rethrow_exception(ended);
    }
    if (script.error) std::rethrow_exception(script.error);
  }
  void stopPublication() override {
    world_->journal.push_back("bonjour.stopPublication");
    if (world_->onStopPublication) world_->onStopPublication();
    if (pending_) pending_->resumeThrowing(std::make_exception_ptr(CancellationError()));
  }

 private:
  // Not a coroutine: only trivial temporaries stand in the callers' co_await expressions.
  asio::awaitable<void> step(std::string_view suffix) { return world_->perform(name_ + std::string(suffix)); }
  asio::awaitable<void> step(std::string_view suffix, std::int64_t value) {
    return world_->perform(fmt::format("{}{} {}", name_, suffix, value));
  }

  std::shared_ptr<FakeWorld> world_;
  std::string name_;
  std::vector<DisplayInfo> displays_;
  bool stopping_ = false;
  int stops_ = 0;
  std::optional<Continuation<>> pending_;
  std::shared_ptr<FakeOutlet> outlet_;
};

// Names what it makes after its ports: the encoder, video server and capture of the display on 9100 are
// "encoder9100", "video9100" and "capture9100"; the capture that only lists the displays is "lister".
class FakeServices final : public HostServiceFactory {
 public:
  FakeServices(std::shared_ptr<FakeWorld> world, Clock& clock)
      : remote([world](std::string entry) { world->journal.push_back(std::move(entry)); }, clock),
        world_(std::move(world)) {}

  std::vector<DisplayInfo> displays = {{1, "VL-LEFT", 960, 1080, 0}, {2, "VL-RIGHT", 960, 1080, 0}};
  std::optional<std::uint32_t> mainDisplay = 1;

  std::shared_ptr<HostFileServer> makeFileServer(std::uint16_t port) override {
    nextEncoderPort_ = HostViewModel::firstDisplayVideoPort;
    return make("make file " + std::to_string(port), "file");
  }
  std::shared_ptr<HostControlServer> makeControlServer(ControlServerParts parts) override {
    return make("make control " + std::to_string(parts.port), "control");
  }
  std::shared_ptr<HostAudioServer> makeAudioServer(std::uint16_t port, std::shared_ptr<MetricsStore>) override {
    return make("make audio " + std::to_string(port), "audio");
  }
  std::shared_ptr<HostVideoEncoder> makeVideoEncoder(std::shared_ptr<MetricsStore>) override {
    const auto name = "encoder" + std::to_string(nextEncoderPort_++);
    return make("make " + name, name);
  }
  std::shared_ptr<HostVideoServer> makeVideoServer(std::uint16_t port, std::shared_ptr<MetricsStore>) override {
    return make("make video " + std::to_string(port), "video" + std::to_string(port));
  }
  std::shared_ptr<HostCaptureService> makeCaptureService(std::shared_ptr<MetricsStore>,
                                                         std::shared_ptr<HostVideoEncoder>,
                                                         std::shared_ptr<HostVideoServer> videoServer,
                                                         std::shared_ptr<HostAudioServer>,
                                                         bool capturesAudio) override {
    const auto name =
        videoServer ? "capture" + std::dynamic_pointer_cast<FakeService>(videoServer)->name().substr(5) : "lister";
    return make("make " + name + (capturesAudio ? " sound" : ""), name);
  }
  std::shared_ptr<HostBonjourPublisher> makeBonjourPublisher() override { return make("make bonjour", "bonjour"); }
  std::optional<std::uint32_t> mainDisplayID() override { return mainDisplay; }
  DisplayFrame displayBounds(std::uint32_t displayID) override { return world_->bounds[displayID]; }
  std::shared_ptr<platform::DesktopSwitcher> makeDesktopSwitcher() override { return nullptr; }
  RemoteHostEnvironment remoteEnvironment(std::function<std::string()> computerName) override {
    world_->journal.push_back("make remote");
    return remote.environment(std::move(computerName));
  }

  testing::FakeRemoteAccess remote;

 private:
  std::shared_ptr<FakeService> make(std::string entry, std::string name) {
    world_->journal.push_back(std::move(entry));
    return std::make_shared<FakeService>(world_, std::move(name), displays);
  }

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

// A login item whose status the test sets; a change moves it to `statusAfterChange` or throws.
struct FakeLoginItems final : LoginItemService {
  struct Calls { int registers = 0, unregisters = 0, opens = 0; };
  FakeLoginItems(LoginItemStatus status, LoginItemStatus afterChange, bool throws, Calls& calls)
      : status_(status), afterChange_(afterChange), throws_(throws), calls_(calls) {}
  LoginItemStatus status() override { return status_; }
  void registerItem() override { change(++calls_.registers); }
  void unregisterItem() override { change(++calls_.unregisters); }
  void openLoginItemsSettings() override { ++calls_.opens; }
  void change(int) {
    if (throws_) throw std::runtime_error("disk full");
    status_ = afterChange_;
  }
  LoginItemStatus status_, afterChange_;
  bool throws_;
  Calls& calls_;
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
    options.inputController = InputController::create(
        nullptr, [] { return false; }, clock);
    options.computerName = [] { return std::string("Desk"); };
    options.loginItems =
        std::make_unique<FakeLoginItems>(LoginItemStatus::notRegistered, LoginItemStatus::enabled, false, loginCalls);
    options.isInstalled = [] { return true; };
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
  // The control server reports `count` authenticated clients.
  void setLocalClients(std::int64_t count) {
    run(world->clientCountHandler(count));
    pass();
  }
  // The capture `name` reports that it stopped by itself; the handling goes on while time passes.
  Task stopCaptureUnexpectedly(const std::string& name, std::uint32_t displayID) {
    auto handler = world->stopHandlers.at(name);
    return Task::spawn(mainExecutor(),
                       [handler, displayID](TaskToken) { return handler(ScreenCaptureFailure(displayID, "gone")); });
  }
  bool isIdle() const {
    return !model->metrics->isRunning.get() && !model->startupTask().get() && !model->isStarting().get() &&
           !model->server().get() && model->displaySessions().get().empty();
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
  std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>(world, clock);
  std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
  std::vector<AnalyticsRecord> analytics;
  FakeLoginItems::Calls loginCalls;
  std::shared_ptr<HostViewModel> model;
};

// The teardown of the two-display bundle of FakeServices, in order.
inline std::vector<std::string> twoDisplayTeardown() {
  return {"control.stop",           "file.stop",           "capture9100.clearStopHandler", "capture9100.stopCapture",
          "capture9101.clearStopHandler", "capture9101.stopCapture", "encoder9100.stopSession", "video9100.resetStream",
          "video9100.stop",         "encoder9101.stopSession", "video9101.resetStream", "video9101.stop", "audio.stop"};
}

}  // namespace veltrano::test
