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
// Strict: only the url alphabet, padding restored (and accepted when present and correct),
// non-canonical trailing bits refused. nullopt on any fault.
std::optional<Bytes> base64urlDecode(std::string_view text);

// Big-endian helpers for binary layouts.
void appendBE16(Bytes& out, std::uint16_t v);
void appendBE32(Bytes& out, std::uint32_t v);
void appendBE64(Bytes& out, std::uint64_t v);
std::uint16_t readBE16(const std::uint8_t* p);
std::uint32_t readBE32(const std::uint8_t* p);
std::uint64_t readBE64(const std::uint8_t* p);

}  // namespace veltrano
