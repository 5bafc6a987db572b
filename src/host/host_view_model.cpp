#include "host/host_view_model.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <utility>

#include "base/executors.hpp"
#include "base/thread_checks.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "host/host_localized_strings.hpp"
#include "host/real_host_services.hpp"
#include "host/xdg_login_item_service.hpp"
#include "platform/hostname/computer_name.hpp"

namespace veltrano {
namespace {

std::shared_ptr<PermissionManaging> permissionsOrDefault(std::shared_ptr<PermissionManaging> permissions) {
  if (permissions) return permissions;
  return std::make_shared<PermissionManager>();
}

std::unique_ptr<LoginItemService> loginItemsOrDefault(std::unique_ptr<LoginItemService> loginItems) {
  if (loginItems) return loginItems;
  return XdgLoginItemService::forRunningExecutable();
}

}  // namespace

std::shared_ptr<HostViewModel> HostViewModel::create() { return create(Options{}); }

std::shared_ptr<HostViewModel> HostViewModel::create(Options options) {
  return makeMainThreadOwned<HostViewModel>(std::move(options));
}

HostViewModel::HostViewModel(Options options)
    : metrics(std::make_shared<MetricsStore>()),
      permissions(permissionsOrDefault(std::move(options.permissions))),
      availableDisplaysProvider(std::move(options.availableDisplaysProvider)),
      inputController(options.inputController ? std::move(options.inputController) : InputController::create()),
      fileTransfers(RemoteFileTransferCoordinator::create(std::move(options.filePanels))),
      services_(options.services ? std::move(options.services) : makeRealHostServiceFactory()),
      clock_(options.clock != nullptr ? *options.clock : systemClock()),
      track_(std::move(options.track)),
      computerName_(options.computerName ? std::move(options.computerName)
                                         : std::function<std::string()>([] { return platform::computerName(); })),
      loginItem_(
          launchAtLogin_, loginItemsOrDefault(std::move(options.loginItems)), *metrics,
          [this](AnalyticsEvent event, std::optional<std::string> detail) { track(event, std::move(detail)); },
          std::move(options.isInstalled)) {
  registerHostLocalizedStrings();
  remoteAccessStatus_.set(localized("host.remote.stopped"));
}

const std::shared_ptr<InputCommandHandler>& HostViewModel::commandHandler() {
  assertOnMainThread();
  if (!commandHandler_) {
    commandHandler_ = InputCommandHandler::create(inputController, metrics, clock_, services_->makeDesktopSwitcher());
    commandHandler_->setHostCallbacks(commandHandlerCallbacks());
  }
  return commandHandler_;
}

void HostViewModel::setLaunchAtLogin(bool wanted) {
  assertOnMainThread();
  loginItem_.setLaunchAtLogin(wanted);
}

void HostViewModel::refreshLaunchAtLoginStatus() {
  assertOnMainThread();
  loginItem_.refreshLaunchAtLoginStatus();
}

bool HostViewModel::isInstalledInApplicationsFolder() const {
  assertOnMainThread();
  return loginItem_.isInstalledInApplicationsFolder();
}

std::string HostViewModel::displayName(std::uint32_t displayID) const {
  assertOnMainThread();
  for (const auto& display : metrics->availableDisplays.get()) {
    if (display.id == displayID) return display.name;
  }
  return localized("common.display");
}

void HostViewModel::pointInputAt(const DisplayFrame& frame) {
  assertOnMainThread();
  if (frame.width <= 0 || frame.height <= 0) return;
  inputController->setDisplayFrame(Point{frame.x, frame.y}, Size{frame.width, frame.height});
}

std::optional<DisplaySession> HostViewModel::displaySession(std::uint32_t displayID) const {
  assertOnMainThread();
  const auto& sessions = displaySessions_.get();
  if (sessions.empty()) return std::nullopt;
  auto found = sessions.find(displayID);
  if (found == sessions.end()) return std::nullopt;
  return found->second;
}

bool HostViewModel::readScreenRecording() {
  assertOnMainThread();
  const bool granted = permissions->preflightScreenCaptureAccess();
  log(LogCategory::PERMISSION, std::string("Screen Recording: ") + (granted ? "granted" : "missing"));
  return granted;
}

void HostViewModel::detachCommandHandler() {
  assertOnMainThread();
  auto& handler = commandHandler();
  handler->setBroadcaster({});
  handler->setActiveEncoder({});
  commandHandlerGeneration_.reset();
}

void HostViewModel::track(AnalyticsEvent event, std::optional<std::string> detail) const {
  if (track_) track_(event, std::move(detail));
}

namespace {

// Starts `body` after the current main-thread turn, so that whoever spawned it has stored its handle before the
// body can end and clear it.
asio::awaitable<void> startAfterThisTurn(Task::Body body, TaskToken token) {
  auto executor = co_await asio::this_coro::executor;
  co_await asio::post(executor, asio::use_awaitable);
  auto operation = body(std::move(token));
  co_await std::move(operation);
}

}  // namespace

Task HostViewModel::spawnOnMain(Task::Body body) const {
  return Task::spawn(mainExecutor(), [body = std::move(body)](TaskToken token) {
    return startAfterThisTurn(body, std::move(token));
  });
}

}  // namespace veltrano
