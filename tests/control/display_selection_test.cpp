// Display selection: the active display changes for the window, the injector and the clients.
#include "control_test_support.hpp"

namespace veltrano::test {
namespace {

using DisplaySelectionX11 = ControlHarnessX11Test;

TEST_F(DisplaySelectionX11, TheSelectedMonitorBecomesTheActiveFrame) {
  ControlHarness& harness = *harness_;
  const std::optional<platform::X11Monitor> right = monitorNamed("VL-RIGHT");
  ASSERT_TRUE(right) << "the test X server needs the monitor VL-RIGHT (scripts/test-env)";
  harness.metrics->availableDisplays.set({DisplayInfo{right->id, "Right", 1, 1, 9101}});
  auto server = std::make_shared<RecordingBroadcaster>();
  harness.handler->setBroadcaster(server);
  std::vector<std::uint32_t> changes;
  InputCommandHandler::HostCallbacks callbacks;
  callbacks.displayChange = [&](std::uint32_t id) { changes.push_back(id); };
  harness.handler->setHostCallbacks(callbacks);

  const Json reply = harness.send(R"({"type": "setDisplay", "displayID": )" + std::to_string(right->id) + "}");
  EXPECT_EQ(reply, (Json{{"type", "setDisplay"}, {"status", "accepted"}}));
  harness.settle();

  EXPECT_EQ(harness.metrics->hostWidth.get(), 960);
  EXPECT_EQ(harness.metrics->hostHeight.get(), 1080);
  EXPECT_EQ(harness.metrics->activeDisplayID.get(), right->id);
  EXPECT_EQ(harness.metrics->displayInfo.get(), "Right 960x1080");
  EXPECT_EQ(harness.metrics->videoPort.get(), 9101);
  EXPECT_EQ(harness.input->displayOrigin(), (Point{960, 0}));
  EXPECT_EQ(harness.input->displaySize(), (Size{960, 1080}));
  EXPECT_EQ(changes, std::vector<std::uint32_t>{right->id});
  EXPECT_EQ(server->messages, (std::vector<Json>{{{"type", "displayChanged"},
                                                  {"displayID", right->id},
                                                  {"width", 960},
                                                  {"height", 1080},
                                                  {"name", "Right"},
                                                  {"videoPort", 9101}}}));
  EXPECT_EQ(harness.messagesContaining("setDisplay \u2192"),
            std::vector<std::string>{"setDisplay \u2192 id=" + std::to_string(right->id) +
                                     " 960x1080 port=9101 origin=(960.0, 0.0) size=(960.0, 1080.0)"});

  // Pointer commands now land on that monitor.
  EXPECT_EQ(harness.send(R"({"type": "leftClick", "x": 5, "y": 6})")["status"], "ok");
  harness.clock.advance(24ms);
  EXPECT_EQ(pointerPositionOnce(window_->connection(), {965, 6}), (std::pair{965, 6}));
}

TEST(DisplaySelection, WithoutBoundsTheListedSizeIsUsedAndTheFrameKept) {
  ControlHarness harness(/*withX=*/false);
  harness.input->setDisplayFrame({10, 20}, {300, 200});
  harness.metrics->availableDisplays.set({DisplayInfo{4, "Spare", 1280, 720, 0}});
  harness.metrics->videoPort.set(9100);

  EXPECT_EQ(harness.send(R"({"type": "setDisplay", "displayID": 4.0})"),
            (Json{{"type", "setDisplay"}, {"status", "accepted"}}));
  harness.settle();
  EXPECT_EQ(harness.metrics->hostWidth.get(), 1280);
  EXPECT_EQ(harness.metrics->hostHeight.get(), 720);
  EXPECT_EQ(harness.metrics->displayInfo.get(), "Spare 1280x720");
  EXPECT_EQ(harness.metrics->videoPort.get(), 9100) << "a display without a video server leaves the port";
  EXPECT_EQ(harness.input->displayOrigin(), (Point{10, 20}));
  EXPECT_EQ(harness.input->displaySize(), (Size{300, 200}));
}

TEST(DisplaySelection, AGoneServerOnlySkipsTheBroadcast) {
  ControlHarness harness(/*withX=*/false);
  harness.metrics->availableDisplays.set({DisplayInfo{4, "Spare", 1280, 720, 9103}});
  auto server = std::make_shared<RecordingBroadcaster>();
  harness.handler->setBroadcaster(server);
  server.reset();
  EXPECT_EQ(harness.send(R"({"type": "setDisplay", "displayID": 4})")["status"], "accepted");
  harness.settle();
  EXPECT_EQ(harness.metrics->activeDisplayID.get(), 4u);
  EXPECT_EQ(harness.metrics->videoPort.get(), 9103);
}

}  // namespace
}  // namespace veltrano::test
