#pragma once
#include "base/encoding.hpp"

namespace veltrano::platform {

// Compares secrets without a timing side channel on their contents. Lengths are not secret:
// unequal lengths answer false at once.
bool constantTimeEqual(ByteView a, ByteView b);

}  // namespace veltrano::platform
