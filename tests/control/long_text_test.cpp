// Long texts are typed in order, in slices that leave the main loop free for other commands, and texts
// that arrive together are typed one after the other.
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

std::string textOf(std::size_t length, const std::string& alphabet) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += alphabet[i % alphabet.size()];
  return text;
}

class LongTextX11 : public ControlHarnessX11Test {
 protected:
  // The characters the window received as key presses (letters and digits type as themselves): once `expected`
  // many have come or 20 s passed (a loaded X server may pause for a while), and whatever follows them closely.
  std::string typed(std::size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (typed_.size() < expected && std::chrono::steady_clock::now() < deadline) {
      if (std::optional<RecordedEvent> e = window_->next(1s)) record(*e);
    }
    for (const RecordedEvent& e : drainEvents(*window_, 300ms)) record(e);
    return typed_;
  }
  void record(const RecordedEvent& e) {
    if (e.type == XCB_KEY_PRESS) typed_ += static_cast<char>(window_->keysymAtLevel0(e.detail));
  }
  // Runs the main loop one handler at a time until the first key of the text reaches the window.
  bool runUntilTypingHasBegun() {
    for (int i = 0; i < 1000 && typed_.empty(); ++i) {
      harness_->loop.context().restart();
      harness_->loop.context().run_one_for(std::chrono::milliseconds(10));
      while (std::optional<RecordedEvent> e = window_->next(std::chrono::milliseconds(5))) record(*e);
    }
    return !typed_.empty();
  }

  std::string typed_;
};

TEST_F(LongTextX11, OtherCommandsAreAnsweredWhileALongTextIsTyped) {
  const std::string text = textOf(3000, "abcdefghijklmnopqrstuvwxyz0123456789");
  auto typing = harness_->start(R"({"type": "text", "value": ")" + text + R"("})");
  ASSERT_TRUE(runUntilTypingHasBegun());
  auto ping = harness_->start(R"({"type": "ping"})");
  EXPECT_EQ(harness_->await(typing, 30s), (Json{{"type", "text"}, {"status", "ok"}, {"action", "text"}}));
  ASSERT_TRUE(ping->ready());
  EXPECT_LT(ping->order, typing->order) << "the ping waited for the whole text";
  EXPECT_EQ(typed(text.size()), text);
  EXPECT_FALSE(window_->anyKeyDown());
}

TEST_F(LongTextX11, TextsArrivingTogetherAreNotInterleaved) {
  const std::string first = textOf(700, "ab");
  const std::string second = textOf(700, "xy");
  auto one = harness_->start(R"({"type": "text", "value": ")" + first + R"("})");
  auto two = harness_->start(R"({"type": "text", "value": ")" + second + R"("})");
  EXPECT_EQ(harness_->await(one, 30s)["status"], "ok");
  EXPECT_EQ(harness_->await(two, 30s)["status"], "ok");
  EXPECT_LT(one->order, two->order);
  EXPECT_EQ(typed(first.size() + second.size()), first + second);
}

}  // namespace
}  // namespace veltrano::test
