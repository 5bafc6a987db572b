#include "core/analytics_event.hpp"

namespace veltrano {

std::string_view rawName(AnalyticsEvent event) {
  switch (event) {
    case AnalyticsEvent::server_app_open: return "server_app_open";
    case AnalyticsEvent::server_started: return "server_started";
    case AnalyticsEvent::server_stopped: return "server_stopped";
    case AnalyticsEvent::server_start_failed: return "server_start_failed";
    case AnalyticsEvent::server_client_connected: return "server_client_connected";
    case AnalyticsEvent::server_client_disconnected: return "server_client_disconnected";
    case AnalyticsEvent::server_permission_requested: return "server_permission_requested";
    case AnalyticsEvent::server_permission_granted: return "server_permission_granted";
    case AnalyticsEvent::server_permission_missing: return "server_permission_missing";
    case AnalyticsEvent::server_launch_at_login: return "server_launch_at_login";
    case AnalyticsEvent::server_onboarding_started: return "server_onboarding_started";
    case AnalyticsEvent::server_onboarding_completed: return "server_onboarding_completed";
    case AnalyticsEvent::server_permission_step_viewed: return "server_permission_step_viewed";
  }
  return "unknown";
}

}  // namespace veltrano
