// The shape check of a signal before it reaches a peer. Sizes are compared before anything is parsed.
#include <cstddef>
#include <limits>
#include <string_view>

#include "base/json.hpp"
#include "remote/remote_host_coordinator.hpp"

namespace veltrano {
namespace {

constexpr std::size_t descriptionLimit = 2'097'152;
constexpr std::size_t smallSignalLimit = 65'536;
constexpr std::size_t candidateLineLimit = 32'768;
constexpr double mLineIndexEnd = 2'147'483'648.0;

std::optional<json::Json> parsedObject(ByteView data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  json::ParseResult parsed = json::parseObjectOrArray(text);
  if (!parsed.value || !parsed.value->is_object()) return std::nullopt;
  return std::move(parsed.value);
}

bool hasText(const json::Json& object, std::string_view key, std::size_t limit) {
  const json::Json* value = json::findMember(object, key);
  if (!value || !value->is_string()) return false;
  const auto& text = value->get_ref<const std::string&>();
  return !text.empty() && text.size() <= limit;
}

bool isDescription(ByteView data) {
  if (data.size() > descriptionLimit) return false;
  const auto object = parsedObject(data);
  return object && hasText(*object, "sdp", descriptionLimit);
}

bool isCandidate(ByteView data) {
  if (data.size() > smallSignalLimit) return false;
  const auto object = parsedObject(data);
  if (!object || !hasText(*object, "sdp", candidateLineLimit)) return false;
  const json::Json* index = json::findMember(*object, "sdpMLineIndex");
  if (!index || !index->is_number()) return false;
  const double value = index->get<double>();
  if (!(value >= 0 && value < mLineIndexEnd)) return false;
  const json::Json* mid = json::findMember(*object, "sdpMid");
  return !mid || mid->is_null() || mid->is_string();
}

}  // namespace

bool RemoteHostCoordinator::parseSignal(const std::string& kind, ByteView data) {
  if (kind == "offer" || kind == "answer") return isDescription(data);
  if (kind == "candidate") return isCandidate(data);
  if (kind == "iceRestart" || kind == "hangup") return data.size() <= smallSignalLimit;
  return false;
}

}  // namespace veltrano
