#include "filetransfer/remote_file_messages.hpp"

#include <array>

#include "filetransfer/transfer_text_rules.hpp"

namespace veltrano {

namespace {
constexpr std::array<std::string_view, 10> typeTexts = {
    "filePickerRequest", "fileStatus",       "fileOffer",  "fileAccept",   "fileUploadOffer",
    "fileUploadAccept",  "fileUploadStored", "fileCancel", "fileComplete", "fileError",
};
}  // namespace

RemoteFileMessageType remoteFileMessageTypeNamed(std::string_view typeText) {
  for (std::size_t i = 0; i < typeTexts.size(); ++i) {
    if (typeTexts[i] == typeText) return static_cast<RemoteFileMessageType>(i);
  }
  return RemoteFileMessageType::unknown;
}

RemoteFileMessageType remoteFileMessageType(const json::Json& message) {
  auto type = json::stringMember(message, "type");
  return type ? remoteFileMessageTypeNamed(*type) : RemoteFileMessageType::unknown;
}

std::string_view rawValue(RemoteFileMessageType type) {
  const auto index = static_cast<std::size_t>(type);
  return index < typeTexts.size() ? typeTexts[index] : std::string_view("unknown");
}

bool isUploadFlow(const json::Json& message) { return json::stringMember(message, "flow") == "upload"; }

std::optional<std::string> bindMessageSessionID(ByteView record) {
  if (record.empty() || record.back() != '\n') return std::nullopt;
  const json::ParseResult parsed = json::parseObjectOrArray(asString(record.first(record.size() - 1)));
  if (!parsed.value || !parsed.value->is_object()) return std::nullopt;
  if (json::stringMember(*parsed.value, "type") != "bindFileChannel") return std::nullopt;
  const std::optional<std::string> sessionID = json::stringMember(*parsed.value, "sessionID");
  return sessionID ? normalizedTransferID(*sessionID) : std::nullopt;
}

std::optional<std::uint64_t> parseUInt64(const json::Json& value) {
  // Integers are read exactly; a double must be integral and below 2^64 before it is converted.
  return json::asUInt64(value);
}

std::optional<std::uint64_t> parseUInt64Member(const json::Json& message, std::string_view key) {
  return json::uintMember(message, key);
}

std::optional<RemoteFileOffer> decodeOffer(const json::Json& message) {
  auto transferID = json::stringMember(message, "transferID");
  if (!transferID) return std::nullopt;
  auto normalized = normalizedTransferID(*transferID);
  if (!normalized) return std::nullopt;
  auto name = json::stringMember(message, "name");
  if (!name) return std::nullopt;
  auto fileName = sanitizedFileName(*name);
  if (!fileName) return std::nullopt;
  auto size = parseUInt64Member(message, "size");
  if (!size) return std::nullopt;
  return RemoteFileOffer{std::move(*normalized), std::move(*fileName), *size};
}

namespace file_messages {

namespace {
json::Json upload(json::Json message) {
  message["flow"] = "upload";
  return message;
}
}  // namespace

json::Json selecting() { return {{"type", "fileStatus"}, {"status", "selecting"}}; }

json::Json pickerDisplay(std::uint32_t displayID, RemoteFileDirection direction) {
  json::Json message = {{"type", "filePickerDisplay"}, {"displayID", displayID}};
  return direction == RemoteFileDirection::upload ? upload(std::move(message)) : message;
}

json::Json selectionCancelled() { return {{"type", "fileCancel"}, {"reason", "selectionCancelled"}}; }

json::Json offer(const std::string& transferID, const std::string& name, std::uint64_t size) {
  return {{"type", "fileOffer"}, {"transferID", transferID}, {"name", name}, {"size", size}};
}

json::Json transferring(const std::string& transferID) {
  return {{"type", "fileStatus"}, {"status", "transferring"}, {"transferID", transferID}};
}

json::Json downloadComplete(const std::string& transferID, std::uint64_t size, const std::string& sha256) {
  return {{"type", "fileComplete"}, {"transferID", transferID}, {"size", size}, {"sha256", sha256}};
}

json::Json selectingDestination(const std::string& transferID) {
  return upload({{"type", "fileStatus"}, {"status", "selectingDestination"}, {"transferID", transferID}});
}

json::Json destinationCancelled(const std::string& transferID) {
  return upload({{"type", "fileCancel"}, {"transferID", transferID}, {"reason", "selectionCancelled"}});
}

json::Json uploadAccept(const std::string& transferID) {
  return upload({{"type", "fileUploadAccept"}, {"transferID", transferID}});
}

json::Json uploadReceived(const std::string& transferID, std::uint64_t offset) {
  return upload({{"type", "fileStatus"}, {"status", "received"}, {"transferID", transferID}, {"offset", offset}});
}

json::Json uploadStored(const std::string& transferID, std::uint64_t size, const std::string& sha256) {
  return upload({{"type", "fileUploadStored"}, {"transferID", transferID}, {"size", size}, {"sha256", sha256}});
}

json::Json error(std::string_view code, RemoteFileDirection direction, const std::optional<std::string>& transferID) {
  json::Json message = {{"type", "fileError"}, {"code", code}};
  if (direction == RemoteFileDirection::upload) message["flow"] = "upload";
  if (transferID) message["transferID"] = *transferID;
  return message;
}

}  // namespace file_messages

}  // namespace veltrano
