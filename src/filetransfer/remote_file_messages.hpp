#pragma once
// The JSON messages of the file-transfer protocol: their types, the direction rule, the readers of client
// messages and the builders of host messages. Pure functions; the readers never throw.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/encoding.hpp"
#include "base/json.hpp"

namespace veltrano {

enum class RemoteFileMessageType {
  filePickerRequest,
  fileStatus,
  fileOffer,
  fileAccept,
  fileUploadOffer,
  fileUploadAccept,
  fileUploadStored,
  fileCancel,
  fileComplete,
  fileError,
  unknown,
};

// The message's "type"; unknown for any other text, or a missing or non-text "type".
RemoteFileMessageType remoteFileMessageType(const json::Json& message);
RemoteFileMessageType remoteFileMessageTypeNamed(std::string_view typeText);
std::string_view rawValue(RemoteFileMessageType type);

enum class RemoteFileDirection { download, upload };

// True only when "flow" is the text "upload".
bool isUploadFlow(const json::Json& message);

// A JSON number that is finite, not negative, integral and fits 64 bits; anything else is nullopt.
std::optional<std::uint64_t> parseUInt64(const json::Json& value);
std::optional<std::uint64_t> parseUInt64Member(const json::Json& message, std::string_view key);

struct RemoteFileOffer {
  std::string transferID;  // normalized
  std::string fileName;    // sanitized
  std::uint64_t size = 0;
  bool operator==(const RemoteFileOffer&) const = default;
};

// "transferID", "name" and "size" of a "fileUploadOffer".
std::optional<RemoteFileOffer> decodeOffer(const json::Json& message);

// The normalized "sessionID" of the file channel's first record, a "bindFileChannel" object line ending in a line
// feed; nullopt for anything else.
std::optional<std::string> bindMessageSessionID(ByteView record);

// Messages the host sends. Download messages carry no "flow"; upload messages carry "flow": "upload".
namespace file_messages {
json::Json selecting();
json::Json pickerDisplay(std::uint32_t displayID, RemoteFileDirection direction);
json::Json selectionCancelled();
json::Json offer(const std::string& transferID, const std::string& name, std::uint64_t size);
json::Json transferring(const std::string& transferID);
json::Json downloadComplete(const std::string& transferID, std::uint64_t size, const std::string& sha256);
json::Json selectingDestination(const std::string& transferID);
json::Json destinationCancelled(const std::string& transferID);
json::Json uploadAccept(const std::string& transferID);
json::Json uploadReceived(const std::string& transferID, std::uint64_t offset);
json::Json uploadStored(const std::string& transferID, std::uint64_t size, const std::string& sha256);
json::Json error(std::string_view code, RemoteFileDirection direction, const std::optional<std::string>& transferID);
}  // namespace file_messages

}  // namespace veltrano
