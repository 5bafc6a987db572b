#pragma once
// Points and sizes in global display coordinates (on X11 a point is a root-window pixel; y grows downwards).
#include <string>

namespace veltrano {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// "(960.0, 0.0)" and "(1920.0, 1080.0)": decimal numbers that always show a fraction, for log lines.
std::string describe(Point point);
std::string describe(Size size);

}  // namespace veltrano
