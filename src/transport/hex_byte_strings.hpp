#pragma once
#include <string>
#include <vector>

#include "base/encoding.hpp"

namespace veltrano {

// One two-digit lowercase hex text per byte, in order (joined, they make a checksum text).
std::vector<std::string> hexByteStrings(ByteView digest);

}  // namespace veltrano
