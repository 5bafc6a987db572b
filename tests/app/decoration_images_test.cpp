// The window's drawn decoration: the onboarding button's diagonal fill over its shadow, the spinner's arc, soft
// shadows, the product icon's gloss and the onboarding orb's frosted core.
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

TEST(DecorationImages, AShadowIsTheShapeInItsColourFadingOutOverItsBlur) {
  testing::qtApplication();
  const int blur = 8;
  const QImage image = request("shadow/50/50/11/8/7a000000");
  ASSERT_EQ(image.size(), QSize(50 + 4 * blur, 50 + 4 * blur));
  const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
  EXPECT_NEAR(centre.alpha(), 0x7a, 3);
  EXPECT_EQ(centre.red(), 0);
  // Softer at the shape's edge, softer still outside it, and nothing at the image's edge.
  const int edge = image.pixelColor(2 * blur, image.height() / 2).alpha();
  const int outside = image.pixelColor(blur, image.height() / 2).alpha();
  EXPECT_LT(edge, centre.alpha());
  EXPECT_GT(edge, outside);
  EXPECT_GT(outside, 0);
  EXPECT_EQ(image.pixelColor(0, image.height() / 2).alpha(), 0);
  // A rounded corner casts less than a straight side.
  EXPECT_LT(image.pixelColor(2 * blur + 1, 2 * blur + 1).alpha(), image.pixelColor(image.width() / 2, 2 * blur + 1).alpha());
  // The colour is the one asked for.
  const QColor cyan = request("shadow/20/20/10/4/ff00ffff").pixelColor(18, 18);
  EXPECT_GT(cyan.alpha(), 200);
  EXPECT_EQ(cyan.red(), 0);
  EXPECT_GT(cyan.green(), 200);
}

TEST(DecorationImages, TheGlossLightensTheTopLeftAndLeavesTheBottomRightAlone) {
  testing::qtApplication();
  const QImage image = request("gloss/50/11");
  ASSERT_EQ(image.size(), QSize(50, 50));
  const QColor topLeft = image.pixelColor(8, 8);
  EXPECT_GT(topLeft.alpha(), 40);
  EXPECT_EQ(topLeft.red(), 255);
  EXPECT_GT(topLeft.alpha(), image.pixelColor(20, 20).alpha());
  EXPECT_EQ(image.pixelColor(38, 38).alpha(), 0);
  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "outside the rounded corner";
}

TEST(DecorationImages, TheFrostedCoreIsFaintLighterAboveAndTintedWithin) {
  testing::qtApplication();
  const QImage image = request("material/190/ff32d74b");
  ASSERT_EQ(image.size(), QSize(190, 190));
  const QColor top = image.pixelColor(95, 20), bottom = image.pixelColor(95, 170), centre = image.pixelColor(95, 95);
  EXPECT_GT(top.alpha(), bottom.alpha());
  EXPECT_LT(centre.alpha(), 80) << "what lies beneath shows through";
  EXPECT_GT(centre.green(), centre.red()) << "tinted by the accent";
  EXPECT_EQ(image.pixelColor(5, 5).alpha(), 0);
}

}  // namespace
}  // namespace veltrano
