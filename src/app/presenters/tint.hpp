#pragma once
#include <QString>

namespace veltrano::app {

// The named colours of the window.
enum class Tint { secondary, orange, cyan, green, red, purple, blue, teal };

// The colour as QML reads it ("#rrggbb").
QString tintColor(Tint tint);

}  // namespace veltrano::app
