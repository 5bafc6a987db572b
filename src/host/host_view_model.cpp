#include "host/host_view_model.hpp"

#include <utility>

#include "base/executors.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "host/host_localized_strings.hpp"
#include "host/real_host_services.hpp"
#include "platform/hostname/computer_name.hpp"

namespace veltrano {
namespace {

std::shared_ptr<PermissionManaging> permissionsOrDefault(std::shared_ptr<PermissionManaging> permissions) {
  if (permissions) return permissions;
  return std::make_shared<PermissionManager>();
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
      isLaunchAtLoginEnabled_(std::move(options.isLaunchAtLoginEnabled)) {
  registerHostLocalizedStrings();
  remoteAccessStatus.set(localized("host.remote.stopped"));
  launchAtLogin.set(isLaunchAtLoginEnabled_ && isLaunchAtLoginEnabled_());
}

const std::shared_ptr<InputCommandHandler>& HostViewModel::commandHandler() {
  if (!commandHandler_) commandHandler_ = InputCommandHandler::create(inputController, metrics, clock_);
  return commandHandler_;
}

std::optional<DisplaySession> HostViewModel::displaySession(std::uint32_t displayID) const {
  const auto& sessions = displaySessions.get();
  if (sessions.empty()) return std::nullopt;
  auto found = sessions.find(displayID);
  if (found == sessions.end()) return std::nullopt;
  return found->second;
}

bool HostViewModel::readScreenRecording() {
  const bool granted = permissions->preflightScreenCaptureAccess();
  log(LogCategory::PERMISSION, std::string("Screen Recording: ") + (granted ? "granted" : "missing"));
  return granted;
}

void HostViewModel::detachCommandHandler() {
  auto& handler = commandHandler();
  handler->onQualityChange = nullptr;
  handler->onKeyframeRequest = nullptr;
  handler->onDisplayChange = nullptr;
  handler->server.reset();
  handler->encoder.reset();
}

void HostViewModel::track(AnalyticsEvent event, std::optional<std::string> detail) const {
  if (track_) track_(event, std::move(detail));
}

Task HostViewModel::spawnOnMain(Task::Body body) const { return Task::spawn(mainExecutor(), std::move(body)); }

}  // namespace veltrano
