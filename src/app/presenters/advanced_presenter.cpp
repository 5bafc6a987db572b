#include "app/presenters/advanced_presenter.hpp"

#include <array>
#include <string_view>

#include "app/presenters/value_formats.hpp"
#include "core/permission_manager.hpp"

namespace veltrano::app {

namespace {

PermissionButton permissionButton(std::string_view titleKey, const char* symbol, const std::string& status,
                                  std::string_view anchor) {
  const bool granted = status == "granted";
  return {text(titleKey),
          QString::fromLatin1(symbol),
          granted,
          granted ? Tint::green : Tint::red,
          granted ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("exclamationmark.circle.fill"),
          text(granted ? "host.permission.status_granted" : "host.permission.status_missing"),
          anchor};
}

QString verbatim(const std::string& value) { return QString::fromStdString(value); }

}  // namespace

std::vector<PermissionButton> permissionButtons(const HostSnapshot& view) {
  return {
      permissionButton("host.permission.screen_recording.title", "rectangle.inset.filled.and.person.filled",
                       view.screenRecordingStatus, PermissionManager::screenCaptureAnchor),
      permissionButton("host.permission.accessibility.title", "accessibility", view.accessibilityStatus,
                       PermissionManager::accessibilityAnchor),
  };
}

std::vector<MetricRow> metricRows(const HostSnapshot& v, const QLocale& locale) {
  auto row = [](std::string_view key, QString value) { return MetricRow{text(key), std::move(value)}; };
  return {
      row("host.advanced.local_ip", verbatim(v.localIP)),
      row("host.advanced.control_port", formatCount(v.port)),
      row("host.connection.route", verbatim(v.connectionRouteSummary)),
      row("host.advanced.profile", verbatim(v.mediaPathDescription)),
      row("host.advanced.recording", formatPermissionStatus(v.screenRecordingStatus)),
      row("host.permission.accessibility.title", formatPermissionStatus(v.accessibilityStatus)),
      row("host.advanced.display", verbatim(v.displayInfo)),
      row("host.advanced.capture", text(v.isCapturing ? "common.active" : "common.waiting")),
      row("host.advanced.captured_frames", formatCount(v.capturedFrames)),
      row("host.advanced.fps", formatDecimal(v.fps, 1, locale)),
      row("host.advanced.last_frame", verbatim(v.lastFrameDescription)),
      row("host.advanced.control_clients", formatCount(v.connectedClients)),
      row("host.advanced.video_port", formatCount(v.videoPort)),
      row("host.advanced.video_clients", formatCount(v.videoClients)),
      row("host.advanced.encoded_frames", formatCount(v.encodedFrames)),
      row("host.advanced.keyframes", formatCount(v.keyframes)),
      row("host.advanced.encoding", formatDecimalText("common.duration_ms_one_decimal", v.encodeMs, locale)),
      row("host.advanced.video_sent", formatBytes(v.videoBytesSent, locale)),
      row("host.advanced.video_dropped", formatCount(v.videoFramesDropped)),
      row("host.advanced.audio_port", formatCount(v.audioPort)),
      row("host.advanced.audio_clients", formatCount(v.audioClients)),
      row("host.advanced.audio_frames", formatCount(v.audioFrames)),
      row("host.advanced.audio_sent", formatBytes(v.audioBytesSent, locale)),
      row("host.advanced.audio_dropped", formatCount(v.audioFramesDropped)),
      row("host.advanced.bytes_sent", formatBytes(v.bytesSent, locale)),
      row("host.advanced.bytes_received", formatBytes(v.bytesReceived, locale)),
      row("host.advanced.average_ping", formatDecimalText("common.duration_ms_no_decimals", v.averagePingMs, locale)),
      row("host.advanced.last_command", verbatim(v.lastCommand)),
      row("host.advanced.last_error", verbatim(v.lastError)),
  };
}

EventTag eventTag(const std::string& tag) {
  struct Known {
    std::string_view tag;
    std::string_view key;
    Tint tint;
  };
  static constexpr std::array<Known, 8> known{{
      {"NET", "host.log.tag.network", Tint::purple},
      {"PERMISSION", "host.log.tag.permission", Tint::orange},
      {"SCREEN", "host.log.tag.screen", Tint::blue},
      {"CAPTURE", "host.log.tag.capture", Tint::blue},
      {"METRICS", "host.log.tag.metrics", Tint::secondary},
      {"CLIENT", "host.log.tag.client", Tint::purple},
      {"INPUT", "host.log.tag.input", Tint::teal},
      {"ERROR", "host.log.tag.error", Tint::red},
  }};
  for (const auto& entry : known) {
    if (entry.tag == tag) return {text(entry.key), entry.tint};
  }
  // "HOST" and unknown tags show as they are.
  return {verbatim(tag), Tint::secondary};
}

QString eventCountText(std::size_t count) {
  if (count == 1) return text("host.advanced.event_count_singular");
  return formatCountText("host.advanced.event_count_plural_format", static_cast<std::int64_t>(count));
}

std::vector<Link> links() {
  return {
      {text("host.analytics.privacy"), QStringLiteral("https://" VELTRANO_WEB_HOST "/privacy/")},
      {text("host.analytics.support"), QStringLiteral("https://" VELTRANO_WEB_HOST "/support/")},
  };
}

}  // namespace veltrano::app
