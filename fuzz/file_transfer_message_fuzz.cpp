// Reads the input as the file-transfer messages a client sends: as a message line on the control channel (JSON
// parsing, the message type and flow, offsets and sizes, an upload offer) and as the bind record that opens a file
// channel.
#include <cstddef>
#include <cstdint>

#include "base/encoding.hpp"
#include "base/json.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"
#include "filetransfer/remote_file_messages.hpp"
#include "filetransfer/transfer_text_rules.hpp"

using namespace veltrano;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  // A bound session is always a normalized identifier.
  if (const std::optional<std::string> sessionID = bindMessageSessionID(bytes)) {
    if (normalizedTransferID(*sessionID) != sessionID) __builtin_trap();
  }

  const json::ParseResult parsed = json::parseObjectOrArray(asString(bytes));
  if (!parsed.value) return 0;
  const json::Json& message = *parsed.value;
  const RemoteFileMessageType type = remoteFileMessageType(message);
  if (isFileTransferMessage(message) != (type != RemoteFileMessageType::unknown)) __builtin_trap();
  if (type != RemoteFileMessageType::unknown && remoteFileMessageTypeNamed(rawValue(type)) != type) __builtin_trap();
  (void)isUploadFlow(message);
  (void)parseUInt64Member(message, "offset");
  (void)parseUInt64Member(message, "size");
  if (const std::optional<RemoteFileOffer> offer = decodeOffer(message)) {
    if (normalizedTransferID(offer->transferID) != offer->transferID) __builtin_trap();
    if (sanitizedFileName(offer->fileName) != offer->fileName) __builtin_trap();
  }
  (void)json::loggedDump(message);
  return 0;
}
