#include "control/point_and_size.hpp"

#include <fmt/format.h>

#include <cmath>

namespace veltrano {

namespace {
std::string decimal(double value) {
  if (std::isfinite(value) && std::trunc(value) == value) return fmt::format("{:.1f}", value);
  return fmt::format("{}", value);
}
}  // namespace

std::string describe(Point point) { return "(" + decimal(point.x) + ", " + decimal(point.y) + ")"; }

std::string describe(Size size) { return "(" + decimal(size.width) + ", " + decimal(size.height) + ")"; }

}  // namespace veltrano
