// Time from the host's address change to the first video frame the tablet can decode afterwards, through the whole
// host (real services with the rtnetlink path monitor, this process) in a network namespace, a local wss signaling
// service on the host's loopback, and a headless Chromium tablet across a veth link watching the active display of
// the test environment's X server, on which a rectangle moves at 60 Hz. Each round moves the host's address; the host notices
// the change, reconnects signaling, restarts ICE, and the tablet's picture is back with the first keyframe after
// the move (frames sent meanwhile are lost, so none before it decodes). Timed in this process from just before the
// address changes to the tablet's report of that keyframe.
// Needs the fixed ports, network namespaces (root), node with playwright-core and chromium, and the test
// environment (scripts/test-env). Usage: [VELTRANO_BENCH_ROUNDS=20] veltrano_bench_network_path
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "load_average.hpp"
#include "percentile.hpp"
#include "support/whole_remote_host.hpp"

namespace veltrano {
namespace {

using Clock = std::chrono::steady_clock;
using testing::SignalingTablet;

int rounds() {
  const char* set = std::getenv("VELTRANO_BENCH_ROUNDS");
  return set ? std::max(1, std::atoi(set)) : 20;
}

using bench::percentile;

// A rectangle that moves and changes colour on the root window of the test environment's X server at 60 Hz, so
// that the host has a new picture to send all the time. Connected before the host's namespace is entered.
class AnimatedScreen {
 protected:
  AnimatedScreen() : c_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(c_) != 0) return;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, root_, 0, nullptr);
    animation_ = std::thread([this] {
      auto next = Clock::now();
      for (std::uint32_t step = 0; animating_; ++step) {
        const auto x = static_cast<std::int16_t>((step * 8) % 1600), y = static_cast<std::int16_t>(200 + step % 400);
        std::uint32_t colour = 0x204080u + ((step * 0x030507u) & 0x7F7F7Fu);
        xcb_clear_area(c_, 0, root_, 0, 0, 1920, 1080);
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t rectangle{x, y, 240, 160};
        xcb_poly_fill_rectangle(c_, root_, gc_, 1, &rectangle);
        xcb_flush(c_);
        next += std::chrono::microseconds(16667);
        std::this_thread::sleep_until(next);
      }
    });
  }
  ~AnimatedScreen() {
    animating_ = false;
    if (animation_.joinable()) animation_.join();
    xcb_disconnect(c_);
  }

 private:
  xcb_connection_t* c_;
  xcb_window_t root_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::atomic<bool> animating_{true};
  std::thread animation_;
};

class NetworkPathBench : public AnimatedScreen, public testing::WholeRemoteHostTest {
 protected:
  NetworkPathBench() : WholeRemoteHostTest("Network path bench", SignalingPlacement::inHostNamespace) {}

  // When the tablet reported each keyframe, in this process's time.
  std::vector<Clock::time_point> keyframesSince(Clock::time_point from) {
    std::lock_guard lock(mutex_);
    std::vector<Clock::time_point> found;
    for (const auto at : keyframes_)
      if (at >= from) found.push_back(at);
    return found;
  }
  void recordKeyframes(SignalingTablet& tablet) {
    tablet.peer()->route("video", [this, &tablet](const nlohmann::json& m) {
      if (m["kind"] == "frame" && m["keyframe"] == true) {
        std::lock_guard lock(mutex_);
        keyframes_.push_back(Clock::now());
      }
      tablet.video.add(m);
    });
  }

  std::mutex mutex_;
  std::vector<Clock::time_point> keyframes_;
};

TEST_P(NetworkPathBench, AddressChangeToFirstDecodableFrame) {
  auto& tablet = this->tablet("ipad-bench");
  tablet.watchesVideo = true;
  ASSERT_TRUE(connects(tablet, "S1", true));
  recordKeyframes(tablet);
  ASSERT_TRUE(watchesTheActiveDisplay(tablet));

  std::vector<double> latencies;
  int failed = 0;
  const int total = rounds();
  const std::string loadBefore = bench::loadAverage();
  for (int round = 0; round < total; ++round) {
    // Settled first: the session is back on its route and the picture flows.
    ASSERT_TRUE(loop.runUntil([&] {
      return model->remoteConnectionRoutes().get() == std::vector<WebRTCRoute>{WebRTCRoute::lan} &&
             model->remoteConnectedClientCount().get() == 1;
    }, kDeadline));
    loop.runUntil([] { return false; }, std::chrono::seconds(1));
    const auto moved = Clock::now();
    namespaces->moveHostAddress("198.18.0." + std::to_string(20 + round % 2));
    // When this thread first saw each step of the recovery: the status "recovering", the status "available"
    // (signaling back), the route again (ICE restarted), the first frame of any kind, the first keyframe.
    const std::size_t statusesAtMove = statuses.size();
    std::optional<Clock::time_point> recovering, available, routed, anyFrame, decodable;
    const std::size_t envelopesAtMove = tablet.video.size();
    const auto note = [](std::optional<Clock::time_point>& at, bool seen) {
      if (seen && !at) at = Clock::now();
    };
    loop.runUntil([&] {
      const auto keys = statusKeysFrom(statusesAtMove);
      note(recovering, std::find(keys.begin(), keys.end(), "recovering") != keys.end());
      note(available, recovering && std::find(keys.begin(), keys.end(), "available") != keys.end());
      note(routed, recovering && model->remoteConnectionRoutes().get() == std::vector<WebRTCRoute>{WebRTCRoute::lan});
      note(anyFrame, tablet.video.size() > envelopesAtMove);
      const auto found = keyframesSince(moved);
      if (!found.empty()) decodable = found.front();
      return decodable && routed;
    }, kDeadline);
    if (!decodable) {
      ++failed;
      std::printf("round %d: no keyframe within %lld s\n", round + 1, static_cast<long long>(kDeadline.count() / 1000));
      continue;
    }
    const auto since = [&](const std::optional<Clock::time_point>& at) {
      return at ? std::chrono::duration<double, std::milli>(*at - moved).count() : -1.0;
    };
    std::printf("round %d: recovering %.0f, available %.0f, route %.0f, first envelope %.0f ms\n", round + 1,
                since(recovering), since(available), since(routed), since(anyFrame));
    latencies.push_back(std::chrono::duration<double, std::milli>(*decodable - moved).count());
    std::printf("round %d: first keyframe %.0f ms\n", round + 1, latencies.back());
    std::fflush(stdout);
  }
  std::printf("address change -> first decodable frame at the Chromium tablet, %d moves (%d without a picture "
              "within %lld s): p50 %.0f ms, p99 %.0f ms, min %.0f ms, max %.0f ms; load average %s before, %s after\n",
              total, failed, static_cast<long long>(kDeadline.count() / 1000), percentile(latencies, 0.5),
              percentile(latencies, 0.99), latencies.empty() ? 0 : *std::min_element(latencies.begin(), latencies.end()),
              latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end()), loadBefore.c_str(),
              bench::loadAverage().c_str());
  EXPECT_EQ(failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Tablets, NetworkPathBench, ::testing::Values(testing::remoteTablets().back()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace veltrano
