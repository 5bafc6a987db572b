#pragma once
// Owns an xcb reply (malloc'd by xcb, released with free).
#include <cstdlib>
#include <memory>

namespace veltrano::platform {

struct XcbFree {
  void operator()(void* p) const { std::free(p); }
};

template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

}  // namespace veltrano::platform
