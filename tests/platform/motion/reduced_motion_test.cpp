// The desktop's reduced-motion setting, read from real settings files in a temporary config folder.
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/motion/reduced_motion.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano {
namespace {

struct MotionCase {
  const char* name;
  const char* file;
  const char* text;
  bool reduced;
};

TEST(ReducedMotion, FollowsKdeAndGtkSettingsAndDefaultsToMotion) {
  const MotionCase cases[] = {
      {"no files", nullptr, nullptr, false},
      {"kde factor 0", "kdeglobals", "[General]\nx=1\n[KDE]\nAnimationDurationFactor=0\n", true},
      {"kde factor 0.5", "kdeglobals", "[KDE]\nAnimationDurationFactor=0.5\n", false},
      {"kde factor in another group", "kdeglobals", "[Other]\nAnimationDurationFactor=0\n", false},
      {"kde factor unreadable", "kdeglobals", "[KDE]\nAnimationDurationFactor=fast\n", false},
      {"gtk 3 off", "gtk-3.0/settings.ini", "[Settings]\n gtk-enable-animations = false\n", true},
      {"gtk 4 off as 0", "gtk-4.0/settings.ini", "[Settings]\ngtk-enable-animations=0\n", true},
      {"gtk on", "gtk-3.0/settings.ini", "[Settings]\ngtk-enable-animations=true\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TemporaryFolder config;
    if (c.file) {
      std::filesystem::create_directories((config / c.file).parent_path());
      testing::writeText(config / c.file, c.text);
    }
    EXPECT_EQ(platform::desktopAsksForReducedMotion(config.path()), c.reduced);
  }
}

}  // namespace
}  // namespace veltrano
