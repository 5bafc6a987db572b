#include "core/display_info.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace veltrano {
namespace {

TEST(DisplayInfo, EqualityAndHashCoverAllFiveFields) {
  const DisplayInfo base{42, "DP-1", 2560, 1440, 9100};
  std::vector<DisplayInfo> variants(5, base);
  variants[0].id = 43;
  variants[1].name = "DP-2";
  variants[2].width = 2561;
  variants[3].height = 1441;
  variants[4].videoPort = 0;

  std::hash<DisplayInfo> hash;
  EXPECT_EQ(base, DisplayInfo(base));
  EXPECT_EQ(hash(base), hash(DisplayInfo(base)));
  std::unordered_set<DisplayInfo> set{base};
  for (const auto& variant : variants) {
    EXPECT_NE(variant, base);
    EXPECT_NE(hash(variant), hash(base));
    set.insert(variant);
  }
  EXPECT_EQ(set.size(), 6u);
  set.insert(base);
  EXPECT_EQ(set.size(), 6u);
}

}  // namespace
}  // namespace veltrano
