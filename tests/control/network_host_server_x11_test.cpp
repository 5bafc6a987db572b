// The control server driving the real X server: a phone session that goes away with its button held releases
// it, and a space switch sent over the control channel posts its chord before a phone client is answered.
#include <xkbcommon/xkbcommon-keysyms.h>

#include "control_server_test_support.hpp"
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

class ControlServerX11 : public X11HarnessTest<ControlServerHarness> {
 protected:
  std::unique_ptr<ControlServerHarness> makeHarness() override {
    ControlServerSetup setup;
    setup.withX = true;
    auto harness = std::make_unique<ControlServerHarness>(setup);
    harness->start();
    return harness;
  }

  // Input events that arrive while the main loop turns for `duration`.
  std::vector<RecordedEvent> eventsDuring(std::chrono::milliseconds duration) {
    std::vector<RecordedEvent> events;
    harness_->loop.runUntil(
        [&] {
          while (std::optional<RecordedEvent> event = window_->next(0ms)) events.push_back(*event);
          return false;
        },
        duration);
    return events;
  }

  // Input events while the main loop turns, up to the first that `last` matches (or until 20 s passed: a loaded X
  // server may pause for a while), and those that follow within `then`.
  std::vector<RecordedEvent> eventsUntil(const std::function<bool(const RecordedEvent&)>& last,
                                         std::chrono::milliseconds then = 150ms) {
    std::vector<RecordedEvent> events;
    const bool came = harness_->loop.runUntil(
        [&] {
          while (std::optional<RecordedEvent> event = window_->next(0ms)) {
            events.push_back(*event);
            if (last(*event)) return true;
          }
          return false;
        },
        20s);
    EXPECT_TRUE(came) << "the event waited for never came";
    for (const RecordedEvent& event : eventsDuring(then)) events.push_back(event);
    return events;
  }

  std::vector<std::pair<std::uint8_t, std::uint32_t>> keysDuring(std::chrono::milliseconds duration) {
    std::vector<std::pair<std::uint8_t, std::uint32_t>> keys;
    for (const RecordedEvent& e : eventsDuring(duration)) {
      if (e.type == XCB_KEY_PRESS || e.type == XCB_KEY_RELEASE) keys.emplace_back(e.type, window_->keysymAtLevel0(e.detail));
    }
    return keys;
  }
};

using KeyEvents = std::vector<std::pair<std::uint8_t, std::uint32_t>>;

TEST_F(ControlServerX11, ClosingAPhoneConnectionReleasesItsHeldButtonOnce) {
  harness_->input->setDisplayFrame({0, 0}, {960, 1080});
  auto client = harness_->connectAndGreet();
  EXPECT_EQ(harness_->request(*client, phone("mouseDown", "s1", 1, {{"x", 100}, {"y", 100}}))["status"], "ok");
  client->sendJSONLine(phone("mouseDrag", "s1", 2, {{"x", 300}, {"y", 250}}));
  EXPECT_EQ(harness_->request(*client, {{"type", "ping"}})["type"], "pong");
  ASSERT_EQ(harness_->handler->activePhoneDragSessionID(), "s1");
  eventsUntil([](const RecordedEvent& e) { return e.type == XCB_MOTION_NOTIFY && e.rootX == 300 && e.rootY == 250; });

  client->close();
  std::vector<RecordedEvent> buttons;
  for (const RecordedEvent& e : eventsUntil([](const RecordedEvent& e) { return e.type == XCB_BUTTON_RELEASE; }, 500ms)) {
    if (e.type != XCB_MOTION_NOTIFY) buttons.push_back(e);
  }
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(buttons[0].type, XCB_BUTTON_RELEASE);
  EXPECT_EQ(buttons[0].detail, 1);
  EXPECT_EQ(std::pair(buttons[0].rootX, buttons[0].rootY), (std::pair{300, 250})) << "released where the cursor is";
  EXPECT_EQ(harness_->handler->activePhoneDragSessionID(), std::nullopt);

  // Sessions whose button was released, or taken over by a plain press, leave nothing to release.
  auto second = harness_->connectAndGreet();
  harness_->request(*second, phone("mouseDown", "s2", 1, {{"x", 10}, {"y", 10}}));
  harness_->request(*second, phone("mouseUp", "s2", 2, {{"x", 10}, {"y", 10}}));
  harness_->request(*second, phone("mouseDown", "s3", 1, {{"x", 20}, {"y", 20}}));
  EXPECT_EQ(harness_->handler->activePhoneDragSessionID(), "s3");
  harness_->request(*second, {{"type", "mouseDown"}, {"x", 30}, {"y", 30}});
  EXPECT_EQ(harness_->handler->activePhoneDragSessionID(), std::nullopt);
  harness_->request(*second, {{"type", "mouseUp"}, {"x", 30}, {"y", 30}});
  eventsUntil([](const RecordedEvent& e) { return e.type == XCB_BUTTON_RELEASE && e.rootX == 30 && e.rootY == 30; });
  second->close();
  EXPECT_TRUE(withoutMotion(eventsDuring(300ms)).empty());
}

TEST_F(ControlServerX11, APhoneSpaceSwitchIsAnsweredOnceTheDesktopIsAskedFor) {
  harness_->input->setDisplayFrame({960, 0}, {960, 1080});
  auto client = harness_->connectAndGreet();

  const Json reply = harness_->request(*client, phone("switchSpace", "s1", 7, {{"direction", "left"}}));
  EXPECT_EQ(reply, (Json{{"type", "switchSpace"}, {"status", "accepted"}, {"direction", "left"}}));
  EXPECT_EQ(harness_->desktops->requested, std::vector<std::uint32_t>{0}) << "asked for before the reply left";
  EXPECT_EQ(pointerPosition(window_->connection()), (std::pair{960 + 480, 540})) << "centred on the active display";
  EXPECT_TRUE(keysDuring(100ms).empty());
}

}  // namespace
}  // namespace veltrano::test
