#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/x11/x11_display.hpp"
#include "support/private_xvfb.hpp"
#include "support/scoped_environment.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::platform {
namespace {

std::optional<X11Monitor> findByName(const std::vector<X11Monitor>& monitors, const std::string& name) {
  auto it = std::find_if(monitors.begin(), monitors.end(), [&](const X11Monitor& m) { return m.name == name; });
  if (it == monitors.end()) return std::nullopt;
  return *it;
}

// The atom the server gives a name (0 when it has none), asked on a connection of the test's own.
std::uint32_t atomOf(xcb_connection_t* c, const std::string& name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, /*only_if_exists=*/1, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
  const std::uint32_t atom = reply != nullptr ? reply->atom : 0;
  std::free(reply);
  return atom;
}

std::uint32_t atomOf(const std::string& name) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const std::uint32_t atom = atomOf(c, name);
  xcb_disconnect(c);
  return atom;
}

TEST(X11Display, OpenFailsWhenNoServerAnswersOrDisplayIsUnset) {
  EXPECT_EQ(X11Display::open(":65000"), nullptr);
  EXPECT_EQ(X11Display::open("not a display name"), nullptr);
  const testing::ScopedEnvironment noDisplay("DISPLAY", nullptr);
  EXPECT_EQ(X11Display::open(), nullptr);
}

TEST(X11Display, DescribesTheScreenItsExtensionsAndTheTestMonitors) {
  VELTRANO_REQUIRE_X11();
  const std::shared_ptr<X11Display> display = X11Display::open();
  ASSERT_NE(display, nullptr);
  EXPECT_FALSE(display->hasError());
  ASSERT_NE(display->connection(), nullptr);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(display->connection())).data;
  EXPECT_EQ(display->rootWindow(), screen->root);
  EXPECT_EQ(display->screenWidth(), 1920);
  EXPECT_EQ(display->screenHeight(), 1080);
  // Xvfb carries every extension capture and input rely on.
  EXPECT_TRUE(display->hasXTest());
  EXPECT_TRUE(display->hasShm());
  EXPECT_TRUE(display->hasDamage());
  EXPECT_TRUE(display->hasXFixes());

  const std::vector<X11Monitor> monitors = display->monitors();
  const std::optional<X11Monitor> left = findByName(monitors, "VL-LEFT");
  const std::optional<X11Monitor> right = findByName(monitors, "VL-RIGHT");
  ASSERT_TRUE(left && right) << "scripts/test-env must create the monitors VL-LEFT and VL-RIGHT";
  EXPECT_EQ(left->bounds, (Rect{0, 0, 960, 1080}));
  EXPECT_EQ(right->bounds, (Rect{960, 0, 960, 1080}));
  EXPECT_TRUE(left->primary);
  EXPECT_FALSE(right->primary);
  // The identifier is the name's atom, so any client can find the display by name.
  EXPECT_EQ(left->id, atomOf("VL-LEFT"));
  EXPECT_EQ(right->id, atomOf("VL-RIGHT"));
  EXPECT_NE(left->id, right->id);
  EXPECT_EQ(X11Display::mainMonitor(monitors).value().name, "VL-LEFT");
}

// Cases that change or stop the server run on one of their own.
class X11DisplayOnPrivateServer : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_SERVICE("X server", test::problemIfAny(server_.start("800x600x24") ? "" : "cannot start Xvfb"));
  }
  test::PrivateXvfb server_;
};

TEST_F(X11DisplayOnPrivateServer, MonitorsAreQueriedAfresh) {
  const std::shared_ptr<X11Display> display = X11Display::open(server_.displayName().c_str());
  ASSERT_NE(display, nullptr);
  const std::size_t before = display->monitors().size();

  // Another client adds a monitor; the next query sees it with its name and rectangle.
  const std::string name = "VL-ADDED";
  const std::string command =
      "DISPLAY=" + server_.displayName() + " xrandr --setmonitor '*" + name + "' 400/100x300/75+100+50 none";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  xcb_connection_t* other = xcb_connect(server_.displayName().c_str(), nullptr);
  const std::uint32_t atom = atomOf(other, name);
  xcb_disconnect(other);

  const std::vector<X11Monitor> after = display->monitors();
  EXPECT_EQ(after.size(), before + 1);
  const std::optional<X11Monitor> added = findByName(after, name);
  ASSERT_TRUE(added.has_value());
  EXPECT_EQ(added->id, atom);
  EXPECT_EQ(added->bounds, (Rect{100, 50, 400, 300}));
  EXPECT_TRUE(added->primary);
}

TEST_F(X11DisplayOnPrivateServer, ReportsErrorsOnceTheServerIsGone) {
  const std::shared_ptr<X11Display> display = X11Display::open(server_.displayName().c_str());
  ASSERT_NE(display, nullptr);
  EXPECT_FALSE(display->monitors().empty());

  server_.stop();
  EXPECT_TRUE(display->monitors().empty());
  EXPECT_TRUE(display->hasError());
  EXPECT_FALSE(display->hasXTest());
  EXPECT_FALSE(display->hasShm());
  // Not the gone server's number: a test running beside this one may start its server under it at once.
  EXPECT_EQ(X11Display::open(":65000"), nullptr) << "a display no server serves opens";
}

TEST(MainMonitor, PicksPrimaryThenOriginThenFirst) {
  EXPECT_EQ(X11Display::mainMonitor({}), std::nullopt);
  const auto monitor = [](std::uint32_t id, Rect bounds, bool primary = false) {
    return X11Monitor{id, "M" + std::to_string(id), bounds, primary};
  };
  const struct {
    const char* why;
    std::vector<X11Monitor> monitors;
    std::uint32_t main;
  } cases[] = {
      {"the primary, neither first nor at the origin",
       {monitor(1, {0, 0, 800, 600}), monitor(2, {800, 0, 800, 600}, true)},
       2},
      {"no primary: the one at (0,0)", {monitor(3, {1920, 0, 800, 600}), monitor(4, {0, 0, 1920, 1080})}, 4},
      {"neither: the first listed", {monitor(5, {10, 10, 800, 600}), monitor(6, {0, 700, 800, 600})}, 5},
      {"the primary sharing the origin", {monitor(7, {0, 0, 800, 600}), monitor(8, {0, 0, 400, 300}, true)}, 8},
  };
  for (const auto& c : cases) EXPECT_EQ(X11Display::mainMonitor(c.monitors)->id, c.main) << c.why;
}

}  // namespace
}  // namespace veltrano::platform
