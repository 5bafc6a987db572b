// The remote media profile: the routes of the connected remote peers choose one size cap and sound format for
// the whole host; every display's capture takes it, restarting when it changes what it produces, and a display
// that fails to restart goes to the capture retry.
#include "base/thread_checks.hpp"
#include "host/media_profile.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "core/app_logger.hpp"
#include "core/localization.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/server_startup_error.hpp"

namespace veltrano {
namespace {

bool contains(const std::vector<WebRTCRoute>& routes, WebRTCRoute route) {
  return std::find(routes.begin(), routes.end(), route) != routes.end();
}

}  // namespace

MediaProfile mediaProfileFor(const std::vector<WebRTCRoute>& routes) {
  if (contains(routes, WebRTCRoute::relay)) return {1920, 1080, 24000, 1};
  if (contains(routes, WebRTCRoute::direct)) return {1920, 1080, 32000, 2};
  return {0, 0, 48000, 2};
}

std::string HostViewModel::mediaPathDescription() const {
  assertOnMainThread();
  const auto& routes = remoteConnectionRoutes_.get();
  if (contains(routes, WebRTCRoute::relay)) return localized("host.media.remote_relay");
  if (contains(routes, WebRTCRoute::direct)) return localized("host.media.remote_direct");
  return localized("host.media.lan");
}

std::string HostViewModel::connectionRouteSummary() const {
  assertOnMainThread();
  const auto& routes = remoteConnectionRoutes_.get();
  std::vector<std::string> parts;
  if (metrics->connectedClients.get() >= 1) parts.push_back(localized("host.route.lan_tcp"));
  if (contains(routes, WebRTCRoute::lan)) parts.push_back(localized("host.route.lan_p2p"));
  if (contains(routes, WebRTCRoute::direct)) parts.push_back(localized("host.route.direct_p2p"));
  if (contains(routes, WebRTCRoute::relay)) parts.push_back(localized("host.route.relay"));
  if (parts.empty()) return localized("host.route.no_clients");
  return fmt::format("{}", fmt::join(parts, " + "));
}

void HostViewModel::applyRemoteMediaProfile(const std::vector<WebRTCRoute>& routes, std::uint64_t generation) {
  assertOnMainThread();
  const MediaProfile profile = mediaProfileFor(routes);
  std::vector<DisplaySession> sessions;
  for (const auto& [displayID, session] : displaySessions_.get()) sessions.push_back(session);
  const std::uint32_t activeDisplayID = metrics->activeDisplayID.get();
  Task previous = mediaProfileTask_.get().task;
  previous.cancel();
  Weak weak = weak_from_this();
  mediaProfileTask_.set(
      {spawnOnMain([weak, previous, generation, sessions, profile, activeDisplayID](TaskToken token) {
        return runMediaProfile(weak, previous, generation, sessions, profile, activeDisplayID, std::move(token));
      })});
  log(LogCategory::HOST, "Perfil de red: " + mediaPathDescription());
}

void HostViewModel::endMediaProfileTask(const TaskToken& token) {
  assertOnMainThread();
  if (mediaProfileTask_.get().task.token() == token) mediaProfileTask_.set({});
}

asio::awaitable<void> HostViewModel::runMediaProfile(Weak weak, Task previous, std::uint64_t generation,
                                                     std::vector<DisplaySession> sessions, MediaProfile profile,
                                                     std::uint32_t activeDisplayID, TaskToken token) {
  // The task it replaced finishes its restarts first.
  co_await previous.join();
  const auto current = [&weak, &token, generation] {
    auto self = weak.lock();
    return self && !token->isCancelled() && self->lifecycleGeneration_.get() == generation ? self : nullptr;
  };
  if (!current()) co_return;
  std::vector<std::pair<DisplaySession, std::string>> failures;
  for (const auto& session : sessions) {
    try {
      co_await session.capture->applyMediaProfile(profile);
    } catch (...) {
      failures.emplace_back(session, localizedDescription(std::current_exception()));
    }
  }
  if (!current()) co_return;

  if (!failures.empty()) {
    for (const auto& [session, description] : failures) {
      if (auto self = current()) {
        auto active = self->activeCaptureDisplayIDs_.get();
        active.erase(session.displayID);
        self->activeCaptureDisplayIDs_.set(std::move(active));
      }
      co_await session.videoServer->resetStream();
      // A stop during the reset leaves the stopped host alone.
      auto self = current();
      if (!self) co_return;
      self->recordCaptureFailure(session.displayID, description);
      log(LogCategory::Error,
          fmt::format("Media profile restart failed for display {}: {}", session.displayID, description));
    }
    auto self = current();
    if (!self) co_return;
    self->setActiveCaptureDisplays(self->activeCaptureDisplayIDs_.get());
    self->applyPermissionRefresh();
    if (!current()) co_return;
    if (!self->metrics->isRunning.get() || !self->wantsCapture_.get() || !self->hasAllPermissions()) {
      self->endMediaProfileTask(token);
      co_return;
    }
    for (const auto& [session, description] : failures) self->scheduleCaptureRetry(session, generation);
  }

  auto active = std::find_if(sessions.begin(), sessions.end(),
                             [activeDisplayID](const auto& session) { return session.displayID == activeDisplayID; });
  if (active == sessions.end()) {
    if (auto self = current()) self->endMediaProfileTask(token);
    co_return;
  }
  const CaptureGeometry geometry = co_await active->capture->geometry();
  auto self = current();
  if (!self) co_return;
  if (self->metrics->activeDisplayID.get() == activeDisplayID && geometry.width >= 1 && geometry.height >= 1) {
    self->metrics->hostWidth.set(geometry.width);
    self->metrics->hostHeight.set(geometry.height);
    self->metrics->displayInfo.set(localizedFormat("host.display.profile_format", self->displayName(activeDisplayID),
                                                   geometry.width, geometry.height, self->mediaPathDescription()));
  }
  self->endMediaProfileTask(token);
}

}  // namespace veltrano
