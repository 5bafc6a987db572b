#include "remote/signaling_messages.hpp"

#include "base/json.hpp"

namespace veltrano {

namespace {

using json::Json;

[[noreturn]] void wrongShape(std::string_view key, std::string_view expected) {
  throw SignalingDecodingError("\"" + std::string(key) + "\" is not " + std::string(expected));
}

const Json* present(const Json& object, std::string_view key) {
  const Json* value = json::findMember(object, key);
  return value == nullptr || value->is_null() ? nullptr : value;
}

std::optional<std::string> optionalString(const Json& object, std::string_view key) {
  const Json* value = present(object, key);
  if (value == nullptr) return std::nullopt;
  auto text = json::asString(*value);
  if (!text) wrongShape(key, "a string");
  return text;
}

std::optional<std::int64_t> optionalInt64(const Json& object, std::string_view key) {
  const Json* value = present(object, key);
  if (value == nullptr) return std::nullopt;
  auto number = json::asInt64(*value);
  if (!number) wrongShape(key, "a signed 64-bit integer");
  return number;
}

std::optional<std::uint64_t> optionalUInt64(const Json& object, std::string_view key) {
  const Json* value = present(object, key);
  if (value == nullptr) return std::nullopt;
  auto number = json::asUInt64(*value);
  if (!number) wrongShape(key, "an unsigned 64-bit integer");
  return number;
}

template <class T>
T required(std::optional<T> value, std::string_view key) {
  if (!value) throw SignalingDecodingError("\"" + std::string(key) + "\" is missing");
  return std::move(*value);
}

SignalingDevice decodeDevice(const Json& value) {
  if (!value.is_object()) throw SignalingDecodingError("a device is not an object");
  return SignalingDevice{required(optionalString(value, "deviceId"), "deviceId"),
                         required(optionalString(value, "deviceName"), "deviceName"),
                         required(optionalString(value, "role"), "role")};
}

SignalingICEServer decodeICEServer(const Json& value) {
  if (!value.is_object()) throw SignalingDecodingError("an ICE server is not an object");
  const Json* urls = present(value, "urls");
  if (urls == nullptr) throw SignalingDecodingError("\"urls\" is missing");
  if (!urls->is_array()) wrongShape("urls", "an array");
  SignalingICEServer server;
  for (const Json& url : *urls) {
    auto text = json::asString(url);
    if (!text) wrongShape("urls", "an array of strings");
    server.urls.push_back(std::move(*text));
  }
  server.username = optionalString(value, "username");
  server.credential = optionalString(value, "credential");
  return server;
}

template <class T>
std::optional<std::vector<T>> optionalArray(const Json& object, std::string_view key, T (*decodeOne)(const Json&)) {
  const Json* value = present(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_array()) wrongShape(key, "an array");
  std::vector<T> items;
  items.reserve(value->size());
  for (const Json& item : *value) items.push_back(decodeOne(item));
  return items;
}

Json parseObject(ByteView message) {
  auto parsed = json::parseObjectOrArray(asString(message));
  if (!parsed.value) throw SignalingDecodingError("not JSON: " + parsed.error);
  if (!parsed.value->is_object()) throw SignalingDecodingError("not a JSON object");
  return std::move(*parsed.value);
}

}  // namespace

bool SignalingChallenge::isAcceptable() const {
  return type == "challenge" && protocolVersion == signalingProtocolVersion && issuedAt < expiresAt;
}

SignalingChallenge decodeSignalingChallenge(ByteView message) {
  const Json object = parseObject(message);
  SignalingChallenge challenge;
  challenge.type = required(optionalString(object, "type"), "type");
  challenge.protocolVersion = required(optionalInt64(object, "protocolVersion"), "protocolVersion");
  challenge.nonce = required(optionalString(object, "nonce"), "nonce");
  challenge.issuedAt = required(optionalInt64(object, "issuedAt"), "issuedAt");
  challenge.expiresAt = required(optionalInt64(object, "expiresAt"), "expiresAt");
  return challenge;
}

SignalingEnvelope decodeSignalingEnvelope(ByteView message) {
  const Json object = parseObject(message);
  SignalingEnvelope envelope;
  envelope.type = required(optionalString(object, "type"), "type");
  envelope.state = optionalString(object, "state");
  if (const Json* device = present(object, "device")) envelope.device = decodeDevice(*device);
  envelope.devices = optionalArray(object, "devices", &decodeDevice);
  envelope.fromDeviceId = optionalString(object, "fromDeviceId");
  envelope.sessionId = optionalString(object, "sessionId");
  envelope.kind = optionalString(object, "kind");
  envelope.payload = optionalString(object, "payload");
  envelope.signature = optionalString(object, "signature");
  envelope.sequence = optionalUInt64(object, "sequence");
  envelope.sentAt = optionalInt64(object, "sentAt");
  envelope.code = optionalString(object, "code");
  envelope.iceServers = optionalArray(object, "iceServers", &decodeICEServer);
  return envelope;
}

std::string encodeSignalingAuthentication(const SignalingAuthentication& message) {
  return json::dump(Json{{"type", "authenticate"},
                         {"accountId", message.accountId},
                         {"publicKey", message.publicKey},
                         {"deviceId", message.deviceId},
                         {"deviceName", message.deviceName},
                         {"role", message.role},
                         {"nonce", message.nonce},
                         {"signature", message.signature}});
}

std::string encodeSignalingOutgoingSignal(const SignalingOutgoingSignal& message) {
  return json::dump(Json{{"type", "signal"},
                         {"toDeviceId", message.toDeviceId},
                         {"sessionId", message.sessionId},
                         {"kind", message.kind},
                         {"payload", message.payload},
                         {"signature", message.signature},
                         {"sequence", message.sequence},
                         {"sentAt", message.sentAt}});
}

std::string encodeSignalingTypeOnly(std::string_view type) { return json::dump(Json{{"type", type}}); }

}  // namespace veltrano
