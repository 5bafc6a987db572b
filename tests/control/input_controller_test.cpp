// InputController against the real X server: what the window receives for each operation, on both
// monitors; and the controller's answers when it may not post or has no X connection.
#include <xkbcommon/xkbcommon-keysyms.h>

#include <functional>

#include "control/input_controller.hpp"
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

using platform::X11Monitor;

class InputControllerX11 : public ControlHarnessX11Test {
 protected:
  void prepare() override {
    ASSERT_NE(harness_->input->displayBounds(monitorNamed("VL-LEFT").value_or(X11Monitor{}).id).width, 0)
        << "the test X server needs the monitors VL-LEFT and VL-RIGHT (scripts/test-env)";
  }

  InputController& input() { return *harness_->input; }
  std::pair<int, int> pointerAt(std::pair<int, int> expected) {
    return pointerPositionOnce(window_->connection(), expected).value_or(std::pair{-1, -1});
  }
  std::uint32_t keysymOf(const RecordedEvent& event) { return window_->keysymAtLevel0(event.detail); }
};

TEST_F(InputControllerX11, MovesLandRelativeToTheChosenDisplay) {
  const X11Monitor right = *monitorNamed("VL-RIGHT");
  input().setDisplayFrame({0, 0}, {960, 1080});

  EXPECT_EQ(input().moveMouse(100, 200, std::nullopt), InputResult::ok("mouseMove"));
  EXPECT_EQ(pointerAt({100, 200}), (std::pair{100, 200}));
  EXPECT_EQ(input().moveMouse(100, 200, right.id), InputResult::ok("mouseMove"));
  EXPECT_EQ(pointerAt({960 + 100, 200}), (std::pair{960 + 100, 200}));

  // Display 0 and an unknown display fall back to the active display's frame; nothing is clamped to it.
  input().setDisplayFrame({960, 0}, {960, 1080});
  EXPECT_TRUE(input().moveMouse(-50, 10, 0u).isOk());
  EXPECT_EQ(pointerAt({910, 10}), (std::pair{910, 10}));
  EXPECT_TRUE(input().moveMouse(7, 8, 0xFFFFFFF0u).isOk());
  EXPECT_EQ(pointerAt({967, 8}), (std::pair{967, 8}));

  EXPECT_EQ(input().moveMouseRel(5, -3), InputResult::ok("mouseMoveRel"));
  EXPECT_EQ(pointerAt({972, 5}), (std::pair{972, 5}));

  EXPECT_EQ(input().centerCursor(), InputResult::ok("centerCursor"));
  EXPECT_EQ(pointerAt({960 + 480, 540}), (std::pair{960 + 480, 540}));
}

TEST_F(InputControllerX11, ClicksPressAtThePointAndReleaseTwentyFourMillisecondsLater) {
  input().setDisplayFrame({960, 0}, {960, 1080});
  const std::int64_t numberBefore = input().nextMouseEventNumber();

  EXPECT_EQ(input().leftClick(Point{10, 20}, std::nullopt), InputResult::ok("leftClick"));
  std::vector<RecordedEvent> events = withoutMotion(awaitEvents(*window_, 1));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, XCB_BUTTON_PRESS);
  EXPECT_EQ(events[0].detail, 1);
  EXPECT_EQ(std::pair(events[0].rootX, events[0].rootY), (std::pair{970, 20}));

  harness_->clock.advance(23ms);
  EXPECT_TRUE(withoutMotion(drainEvents(*window_, 100ms)).empty()) << "released too early";
  harness_->clock.advance(1ms);
  events = withoutMotion(awaitEvents(*window_, 1));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, XCB_BUTTON_RELEASE);
  EXPECT_EQ(events[0].detail, 1);
  EXPECT_EQ(input().nextMouseEventNumber(), numberBefore + 1);
  EXPECT_FALSE(input().activeLeftMouseEventNumber().has_value());
  EXPECT_EQ(harness_->messagesContaining("leftClick x="), std::vector<std::string>{"leftClick x=970 y=20"});

  // The right button, at the current cursor location when no point is given.
  EXPECT_TRUE(input().moveMouse(300, 400, std::nullopt).isOk());
  window_->discard();
  EXPECT_EQ(input().rightClick(std::nullopt, std::nullopt), InputResult::ok("rightClick"));
  harness_->clock.advance(24ms);
  events = withoutMotion(awaitEvents(*window_, 2));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, XCB_BUTTON_PRESS);
  EXPECT_EQ(events[0].detail, 3);
  EXPECT_EQ(std::pair(events[0].rootX, events[0].rootY), (std::pair{1260, 400}));
  EXPECT_EQ(events[1].type, XCB_BUTTON_RELEASE);
  EXPECT_EQ(events[1].detail, 3);
}

TEST_F(InputControllerX11, PressDragAndReleaseShareOneEventNumber) {
  input().setDisplayFrame({0, 0}, {960, 1080});
  const std::int64_t first = input().nextMouseEventNumber();

  EXPECT_EQ(input().mouseDown(Point{100, 100}, std::nullopt), InputResult::ok("mouseDown"));
  EXPECT_EQ(input().activeLeftMouseEventNumber(), first);
  EXPECT_EQ(input().mouseDrag(Point{150, 120}, std::nullopt), InputResult::ok("mouseDrag"));
  EXPECT_EQ(input().mouseDrag(Point{200, 140}, std::nullopt), InputResult::ok("mouseDrag"));
  EXPECT_EQ(input().mouseUp(Point{200, 140}, std::nullopt), InputResult::ok("mouseUp"));
  EXPECT_EQ(input().nextMouseEventNumber(), first + 1);
  EXPECT_FALSE(input().activeLeftMouseEventNumber().has_value());

  const std::vector<RecordedEvent> events = awaitEvents(*window_, 2);
  const std::vector<RecordedEvent> buttons = withoutMotion(events);
  ASSERT_EQ(buttons.size(), 2u);
  EXPECT_EQ(buttons[0].type, XCB_BUTTON_PRESS);
  EXPECT_EQ(std::pair(buttons[0].rootX, buttons[0].rootY), (std::pair{100, 100}));
  EXPECT_EQ(buttons[1].type, XCB_BUTTON_RELEASE);
  EXPECT_EQ(std::pair(buttons[1].rootX, buttons[1].rootY), (std::pair{200, 140}));
  const bool draggedWithButtonHeld =
      std::any_of(events.begin(), events.end(), [](const RecordedEvent& e) {
        return e.type == XCB_MOTION_NOTIFY && e.rootX == 150 && e.rootY == 120 && (e.state & XCB_BUTTON_MASK_1) != 0;
      });
  EXPECT_TRUE(draggedWithButtonHeld);

  // A drag without a held press takes a fresh number and holds none.
  EXPECT_TRUE(input().mouseDrag(Point{1, 1}, std::nullopt).isOk());
  EXPECT_EQ(input().nextMouseEventNumber(), first + 2);
  EXPECT_FALSE(input().activeLeftMouseEventNumber().has_value());
}

TEST_F(InputControllerX11, ScrollPostsWheelButtonsAndKeepsFractions) {
  EXPECT_EQ(input().scroll(0, 0.4), InputResult::ok("scroll-noop"));
  EXPECT_DOUBLE_EQ(input().scrollAccumY(), 0.4);
  EXPECT_EQ(input().scroll(0, 0.4), InputResult::ok("scroll"));
  EXPECT_NEAR(input().scrollAccumY(), -0.2, 1e-9);

  window_->discard();
  // Whole wheel clicks: positive deltaY is up (button 4), negative deltaX is right (button 7).
  EXPECT_EQ(input().scroll(0, 3 * platform::kScrollPixelsPerNotch), InputResult::ok("scroll"));
  EXPECT_EQ(input().scroll(-platform::kScrollPixelsPerNotch, 0), InputResult::ok("scroll"));
  const std::vector<RecordedEvent> events = withoutMotion(awaitEvents(*window_, 8));
  std::vector<std::pair<std::uint8_t, std::uint8_t>> seen;
  for (const RecordedEvent& e : events) seen.emplace_back(e.type, e.detail);
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> expected = {
      {XCB_BUTTON_PRESS, 4}, {XCB_BUTTON_RELEASE, 4}, {XCB_BUTTON_PRESS, 4}, {XCB_BUTTON_RELEASE, 4},
      {XCB_BUTTON_PRESS, 4}, {XCB_BUTTON_RELEASE, 4}, {XCB_BUTTON_PRESS, 7}, {XCB_BUTTON_RELEASE, 7}};
  EXPECT_EQ(seen, expected);
}

TEST_F(InputControllerX11, HalvesRoundAwayFromZero) {
  EXPECT_EQ(input().scroll(0, 0.5), InputResult::ok("scroll"));
  EXPECT_DOUBLE_EQ(input().scrollAccumY(), -0.5);
  ControlHarness other(/*withX=*/true);
  EXPECT_EQ(other.input->scroll(-0.5, 0), InputResult::ok("scroll"));
  EXPECT_DOUBLE_EQ(other.input->scrollAccumX(), 0.5);
}

TEST_F(InputControllerX11, KeysArriveAsTheirKeysyms) {
  struct Case {
    std::string name;
    std::uint32_t keysym;
    std::string log;
  };
  const std::vector<Case> cases = {
      {"Shift", XKB_KEY_Shift_L, "keyDown"},   {"A", XKB_KEY_a, "keyDown"},
      {"!", XKB_KEY_exclam, "keyDown unicode"}, {"cmd", XKB_KEY_Super_L, "keyDown"},
      {"control", XKB_KEY_Control_L, "keyDown"}, {"backspace", XKB_KEY_BackSpace, "keyDown"},
      {"fwddelete", XKB_KEY_Delete, "keyDown"}, {"option", XKB_KEY_Alt_L, "keyDown"},
      {"enter", XKB_KEY_Return, "keyDown"},    {"pageDown", XKB_KEY_Next, "keyDown"},
      {"é", XKB_KEY_eacute, "keyDown unicode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    harness_->logs.sink().clear();
    EXPECT_EQ(input().keyDown(c.name), InputResult::ok("keyDown"));
    EXPECT_EQ(input().keyUp(c.name), InputResult::ok("keyUp"));
    const std::vector<RecordedEvent> events = withoutMotion(awaitEvents(*window_, 2));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, XCB_KEY_PRESS);
    EXPECT_EQ(events[1].type, XCB_KEY_RELEASE);
    EXPECT_EQ(keysymOf(events[0]), c.keysym);
    EXPECT_EQ(events[0].state & XCB_MOD_MASK_SHIFT, 0) << "no modifier is added";
    EXPECT_EQ(harness_->messages().front(), c.log);
  }
  EXPECT_FALSE(window_->anyKeyDown());
}

TEST_F(InputControllerX11, AnEmptyKeyNameIsUnknownAndPostsNothing) {
  EXPECT_EQ(input().keyDown(""), InputResult::failed("keyDown: unknown key ''"));
  EXPECT_EQ(input().keyUp(""), InputResult::failed("keyUp: unknown key ''"));
  EXPECT_TRUE(drainEvents(*window_).empty());
}

asio::awaitable<void> typeInto(std::shared_ptr<InputController> input, std::string text,
                               std::shared_ptr<std::optional<InputResult>> result) {
  *result = co_await input->typeText(std::move(text));
}

std::optional<InputResult> typeAndWait(ControlHarness& harness, const std::string& text) {
  auto result = std::make_shared<std::optional<InputResult>>();
  Task::spawn(mainExecutor(), [input = harness.input, text, result](TaskToken) -> asio::awaitable<void> {
    co_await typeInto(input, text, result);
  });
  harness.loop.runUntil([&] { return result->has_value(); }, 10s);
  return *result;
}

TEST_F(InputControllerX11, TypedTextArrivesExactlyAndNoKeyStaysDown) {
  EXPECT_EQ(typeAndWait(*harness_, "a\u00C4\u20AC\U0001F600!"), InputResult::ok("text"));
  std::vector<std::uint32_t> typed;
  for (const RecordedEvent& e : withoutMotion(awaitEvents(*window_, 10))) {
    if (e.type == XCB_KEY_PRESS) typed.push_back(keysymOf(e));
  }
  const std::vector<std::uint32_t> expected = {XKB_KEY_a, XKB_KEY_Adiaeresis, 0x010020AC, 0x0101F600, XKB_KEY_exclam};
  EXPECT_EQ(typed, expected);
  EXPECT_FALSE(window_->anyKeyDown());
  EXPECT_EQ(harness_->messagesContaining("typeText"), std::vector<std::string>{"typeText characters=5"});
}

TEST_F(InputControllerX11, TextIsTypedScalarByScalarAndCountedByCharacter) {
  // A letter and a combining mark: one character, two scalars.
  EXPECT_EQ(typeAndWait(*harness_, "e\u0301"), InputResult::ok("text"));
  std::vector<std::uint8_t> types;
  for (const RecordedEvent& e : withoutMotion(awaitEvents(*window_, 4))) types.push_back(e.type);
  EXPECT_EQ(types, (std::vector<std::uint8_t>{XCB_KEY_PRESS, XCB_KEY_RELEASE, XCB_KEY_PRESS, XCB_KEY_RELEASE}));
  EXPECT_EQ(harness_->messagesContaining("typeText"), std::vector<std::string>{"typeText characters=1"});

  harness_->logs.sink().clear();
  EXPECT_EQ(typeAndWait(*harness_, ""), InputResult::ok("text"));
  EXPECT_TRUE(drainEvents(*window_).empty());
}

// Every operation once, in this order, as a failed one names itself.
const std::vector<std::pair<std::string, std::function<InputResult(InputController&)>>> everyOperation = {
    {"moveMouse", [](InputController& i) { return i.moveMouse(1, 1, std::nullopt); }},
    {"moveMouseRel", [](InputController& i) { return i.moveMouseRel(1, 1); }},
    {"leftClick", [](InputController& i) { return i.leftClick(Point{1, 1}, std::nullopt); }},
    {"rightClick", [](InputController& i) { return i.rightClick(std::nullopt, std::nullopt); }},
    {"mouseDown", [](InputController& i) { return i.mouseDown(Point{1, 1}, std::nullopt); }},
    {"mouseDrag", [](InputController& i) { return i.mouseDrag(Point{1, 1}, std::nullopt); }},
    {"mouseUp", [](InputController& i) { return i.mouseUp(Point{1, 1}, std::nullopt); }},
    {"scroll", [](InputController& i) { return i.scroll(0, 5); }},
    {"keyDown", [](InputController& i) { return i.keyDown("a"); }},
    {"keyUp", [](InputController& i) { return i.keyUp("\u00E9"); }},
    {"centerCursor", [](InputController& i) { return i.centerCursor(); }},
};

TEST_F(InputControllerX11, WithoutPermissionNothingIsPostedAndNothingChanges) {
  harness_->setMayPost(false);
  input().setDisplayFrame({0, 0}, {960, 1080});
  const std::int64_t number = input().nextMouseEventNumber();
  for (const auto& [name, operation] : everyOperation) EXPECT_EQ(operation(input()), InputResult::ignoredAccessibility()) << name;
  EXPECT_EQ(typeAndWait(*harness_, "abc"), InputResult::ignoredAccessibility());
  harness_->clock.advance(100ms);

  EXPECT_EQ(input().nextMouseEventNumber(), number);
  EXPECT_FALSE(input().activeLeftMouseEventNumber().has_value());
  EXPECT_EQ(input().scrollAccumX(), 0);
  EXPECT_EQ(input().scrollAccumY(), 0);
  EXPECT_TRUE(drainEvents(*window_).empty());
  EXPECT_EQ(harness_->logs.lines(), std::vector<CapturedLogLine>(12, CapturedLogLine{LogCategory::PERMISSION,
                                                                                     "Event-posting access missing; input ignored"}));
}

// Without an X connection no event can be made: every operation says so instead of claiming success.
TEST(InputControllerWithoutEvents, EveryOperationReportsTheMissingEvent) {
  ControlHarness harness(/*withX=*/false);
  InputController& input = *harness.input;
  for (const auto& [name, operation] : everyOperation) EXPECT_EQ(operation(input), InputResult::failed(name + ": no event"));
  EXPECT_EQ(typeAndWait(harness, "hi"), InputResult::failed("typeText: no event"));
  EXPECT_EQ(typeAndWait(harness, ""), InputResult::ok("text"));
  EXPECT_EQ(input.scroll(0, 0.2), InputResult::ok("scroll-noop"));

  // A failed release keeps the press held; the scroll amount taken stays taken.
  EXPECT_TRUE(input.activeLeftMouseEventNumber().has_value());
  EXPECT_NEAR(input.scrollAccumY(), 0.2, 1e-9);
  // No click logged a position, no release is pending.
  EXPECT_TRUE(harness.messagesContaining("Click x=").empty());
  EXPECT_EQ(harness.clock.sleeperCount(), 0u);
}

}  // namespace
}  // namespace veltrano::test
