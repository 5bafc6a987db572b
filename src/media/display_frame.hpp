#pragma once
// A display's bounds in global coordinates (root-window pixels on X11; y grows downwards).
namespace veltrano {

struct DisplayFrame {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const DisplayFrame&) const = default;
};

}  // namespace veltrano
