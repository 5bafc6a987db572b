// The window's drawn decoration: the onboarding button's diagonal fill over its shadow, and the spinner's arc.
#include <QImage>

#include <gtest/gtest.h>

#include "app/decoration_images.hpp"
#include "app/qt_test_support.hpp"

namespace veltrano {
namespace {

QImage request(const QString& id) {
  app::DecorationImages images;
  QSize size;
  const QImage image = images.requestImage(id, &size, {});
  EXPECT_EQ(size, image.size());
  return image.convertToFormat(QImage::Format_ARGB32);
}

TEST(DecorationImages, TheCapsuleRunsFromItsTopLeftColourToItsBottomRightOneOverAShadowBelow) {
  testing::qtApplication();
  const QImage image = request("capsule/200/42/ff00ffff/ff0000ff/ff00ff00");
  const int margin = app::capsuleMargin;
  ASSERT_EQ(image.size(), QSize(200 + 2 * margin, 42 + 2 * margin + 8));
  // Near the top-left end the fill is mostly the first colour, near the bottom-right end mostly the second.
  const QColor start = image.pixelColor(margin + 21, margin + 8);
  const QColor end = image.pixelColor(margin + 200 - 21, margin + 42 - 8);
  EXPECT_GT(start.green(), start.blue() - 40);
  EXPECT_GT(end.blue(), end.green());
  EXPECT_GT(start.green(), end.green());
  // Below the capsule: the shadow, faint and in its colour; above it, less of it.
  const QColor below = image.pixelColor(margin + 100, margin + 42 + 6);
  const QColor above = image.pixelColor(margin + 100, margin / 2);
  EXPECT_GT(below.alpha(), 0);
  EXPECT_GT(below.green(), below.red());
  EXPECT_GT(below.alpha(), above.alpha());
}

TEST(DecorationImages, TheSpinnersArcLeavesAGapInItsCircle) {
  testing::qtApplication();
  const QImage image = request("arc/18/ff00ffff");
  ASSERT_EQ(image.size(), QSize(18, 18));
  // The arc starts at the top and runs three quarters round counter-clockwise; the top-right quarter is open.
  EXPECT_GT(image.pixelColor(1, 9).alpha(), 100);
  EXPECT_EQ(image.pixelColor(15, 3).alpha(), 0);
}

}  // namespace
}  // namespace veltrano
