// The desktop switcher against a real X server of the test's own, where the test plays the window manager:
// it publishes the EWMH root properties and redirects the root's substructure to receive the requests.
#include "platform/x11/desktop_switcher.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/eventually.hpp"
#include "support/private_xvfb.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::platform {
namespace {

using Status = DesktopSwitchResult::Status;

struct DesktopRequest {
  std::uint32_t desktop = 0;
  std::uint32_t timestamp = 0;
};

class PlayedWindowManager {
 public:
  explicit PlayedWindowManager(const std::string& displayName) : c_(xcb_connect(displayName.c_str(), nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    redirected_ = xcb_request_check(c_, xcb_change_window_attributes_checked(c_, root_, XCB_CW_EVENT_MASK, &mask)) ==
                  nullptr;
  }
  ~PlayedWindowManager() { xcb_disconnect(c_); }
  bool redirected() const { return redirected_; }

  std::uint32_t atom(const std::string& name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    const std::uint32_t atom = reply != nullptr ? reply->atom : 0;
    std::free(reply);
    return atom;
  }

  void setRoot(const std::string& property, xcb_atom_t type, const std::vector<std::uint32_t>& values) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, root_, atom(property), type, 32,
                        static_cast<std::uint32_t>(values.size()), values.data());
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));  // applied before we go on
  }
  void publish(std::uint32_t count, std::uint32_t current) {
    setRoot("_NET_SUPPORTED", XCB_ATOM_ATOM, {atom("_NET_NUMBER_OF_DESKTOPS"), atom("_NET_CURRENT_DESKTOP")});
    setRoot("_NET_NUMBER_OF_DESKTOPS", XCB_ATOM_CARDINAL, {count});
    setRoot("_NET_CURRENT_DESKTOP", XCB_ATOM_CARDINAL, {current});
  }

  // The next client message that reaches the root, checked to be a _NET_CURRENT_DESKTOP request.
  std::optional<DesktopRequest> nextRequest() {
    std::optional<DesktopRequest> request;
    testing::eventually([&] {
      while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
          const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
          EXPECT_EQ(message->window, root_);
          EXPECT_EQ(message->type, atom("_NET_CURRENT_DESKTOP"));
          EXPECT_EQ(message->format, 32);
          request = DesktopRequest{message->data.data32[0], message->data.data32[1]};
        }
        std::free(event);
        if (request) return true;
      }
      return false;
    });
    return request;
  }

 private:
  xcb_connection_t* c_;
  xcb_window_t root_ = 0;
  bool redirected_ = false;
};

class DesktopSwitcherX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_SERVICE("X server", test::problemIfAny(server_.start() ? "" : "cannot start Xvfb"));
    wm_.emplace(server_.displayName());
    ASSERT_TRUE(wm_->redirected());
    switcher_ = createX11DesktopSwitcher(server_.displayName().c_str());
    ASSERT_NE(switcher_, nullptr);
  }
  test::PrivateXvfb server_;
  std::optional<PlayedWindowManager> wm_;
  std::unique_ptr<DesktopSwitcher> switcher_;
};

// A step past the first or the last desktop sends nothing: the request the next row reads would be its.
TEST_F(DesktopSwitcherX11, AsksForTheNeighbouringDesktopWithAServerTimestampAndStopsAtTheEnds) {
  struct Case {
    std::uint32_t current;
    DesktopStep step;
    Status status;
    std::uint32_t target;
  };
  for (const Case& c : {Case{3, DesktopStep::next, Status::atEnd, 3}, Case{0, DesktopStep::previous, Status::atEnd, 0},
                        Case{1, DesktopStep::next, Status::requested, 2},
                        Case{1, DesktopStep::previous, Status::requested, 0},
                        Case{3, DesktopStep::previous, Status::requested, 2},
                        Case{0, DesktopStep::next, Status::requested, 1}}) {
    SCOPED_TRACE(c.current);
    wm_->publish(4, c.current);
    EXPECT_EQ(switcher_->unsupportedReason(), std::nullopt);
    const DesktopSwitchResult result = switcher_->step(c.step);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.desktop, c.target);
    if (c.status == Status::atEnd) continue;
    const std::optional<DesktopRequest> request = wm_->nextRequest();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->desktop, c.target);
    EXPECT_NE(request->timestamp, 0u) << "a request without a timestamp is dropped by window managers";
  }
}

TEST_F(DesktopSwitcherX11, WithoutWindowManagerSupportItFailsAndSendsNothing) {
  const auto unsupported = [&] {
    const std::optional<std::string> reason = switcher_->unsupportedReason();
    const DesktopSwitchResult result = switcher_->step(DesktopStep::next);
    EXPECT_EQ(result.status, Status::unsupported);
    EXPECT_EQ(result.reason, reason.value_or("(supported)"));
    return result.reason;
  };
  EXPECT_EQ(unsupported(), "no window manager lists _NET_CURRENT_DESKTOP in _NET_SUPPORTED");
  wm_->setRoot("_NET_SUPPORTED", XCB_ATOM_ATOM, {wm_->atom("_NET_NUMBER_OF_DESKTOPS")});
  wm_->setRoot("_NET_NUMBER_OF_DESKTOPS", XCB_ATOM_CARDINAL, {4});
  wm_->setRoot("_NET_CURRENT_DESKTOP", XCB_ATOM_CARDINAL, {1});
  EXPECT_EQ(unsupported(), "no window manager lists _NET_CURRENT_DESKTOP in _NET_SUPPORTED");
  wm_->publish(0, 0);
  EXPECT_EQ(unsupported(), "the window manager names no current desktop");

  wm_->publish(4, 0);
  switcher_->step(DesktopStep::next);
  const std::optional<DesktopRequest> request = wm_->nextRequest();
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->desktop, 1u) << "the first request seen is the supported one";
}

TEST(DesktopSwitcher, NeedsAnXServer) { EXPECT_EQ(createX11DesktopSwitcher(":65000"), nullptr); }

}  // namespace
}  // namespace veltrano::platform
