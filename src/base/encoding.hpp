#pragma once
// Byte-string encodings shared by every wire format: lowercase hex and base64url.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

ByteView asBytes(std::string_view text);
std::string asString(ByteView bytes);

std::string hexEncode(ByteView bytes);
// Accepts upper or lower case; nullopt on odd length or a non-hex character.
std::optional<Bytes> hexDecode(std::string_view text);

// base64url without padding.
std::string base64urlEncode(ByteView bytes);

enum class Base64urlDecoding {
  // Only the url alphabet; the "=" padding left off or complete; the last group's unused bits zero, so that each
  // byte string has one text.
  strict,
  // As other devices may write it: the standard alphabet's "+" and "/" count as "-" and "_", the padding may be
  // left off in part or whole, and the last group's unused bits are ignored.
  lenient,
};
// nullopt on anything else either way: other characters, "=" inside the text, a length that leaves 1 when divided
// by 4.
std::optional<Bytes> base64urlDecode(std::string_view text, Base64urlDecoding decoding = Base64urlDecoding::strict);

// Big-endian helpers for binary layouts.
void appendBE16(Bytes& out, std::uint16_t v);
void appendBE32(Bytes& out, std::uint32_t v);
void appendBE64(Bytes& out, std::uint64_t v);
std::uint16_t readBE16(const std::uint8_t* p);
std::uint32_t readBE32(const std::uint8_t* p);
std::uint64_t readBE64(const std::uint8_t* p);

}  // namespace veltrano
