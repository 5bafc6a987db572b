#pragma once
#include <string_view>

namespace veltrano {

// Product-analytics events; the enumerator's name is the event's raw name on the wire.
enum class AnalyticsEvent {
  server_app_open,
  server_started,
  server_stopped,
  server_start_failed,
  server_client_connected,
  server_client_disconnected,
  server_permission_requested,
  server_permission_granted,
  server_permission_missing,
  server_launch_at_login,
  server_onboarding_started,
  server_onboarding_completed,
  server_permission_step_viewed,
};

std::string_view rawName(AnalyticsEvent event);

}  // namespace veltrano
