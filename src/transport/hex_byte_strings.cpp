#include "transport/hex_byte_strings.hpp"

namespace veltrano {

std::vector<std::string> hexByteStrings(ByteView digest) {
  std::vector<std::string> out;
  out.reserve(digest.size());
  for (std::uint8_t byte : digest) out.push_back(hexEncode(ByteView(&byte, 1)));
  return out;
}

}  // namespace veltrano
