// File download and upload through the whole host (real services, this process) over the data channels to a
// headless Chromium tablet and to a tablet on our own data-channel peer (bench/webrtc_tablet.cpp, which answers
// as fast as the protocol allows, so that the host's share shows apart from the browser's), in turn with the same
// transfers to a local client over the file channel (TCP, the real handshakes), in one run. The tablets sit in a
// network namespace of their own across a veth link and reach the host through the local wss signaling service;
// they confirm every piece themselves, as a tablet does. The host's user "picks" the same file and destination
// every time.
// Needs root and an X server ($DISPLAY, scripts/test-env).
// Usage: veltrano_bench_remote_file_transfer [rounds] [MiB] [only: local, chromium or ours, to profile one path]
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/executors.hpp"
#include "base/thread_pools.hpp"
#include "base/uuid.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "preset_file_panels.hpp"
#include "support/local_file_transfer_client.hpp"
#include "support/network_namespaces.hpp"
#include "support/run_blocking.hpp"
#include "support/signaling_tablet.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "transport/veltrano_identity.hpp"
#include "load_average.hpp"

namespace veltrano {
namespace {

using bench::loadAverage;

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using testing::NetworkNamespaces;

const std::string kChromium = "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs";
const std::string kOurTablet = VELTRANO_WEBRTC_TABLET;
constexpr auto kDeadline = 120s;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "remote file transfer bench: %s\n", why.c_str());
  std::exit(1);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string sha256Of(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return hexEncode(platform::sha256(content));
}

class Bench {
 public:
  Bench(std::size_t bytes) : bytes_(bytes) {
    // This thread, the service, the I/O and network threads and the host live in the host's namespace.
    service_.emplace();
    std::ofstream(folder_.path() / "ca.pem") << service_->authorityPem();
    ::setenv("SSL_CERT_FILE", (folder_.path() / "ca.pem").c_str(), 1);
    const std::string url = "wss://localhost:" + std::to_string(service_->port()) + "/veltrano/v1/signal";
    ::setenv("VELTRANO_SIGNALING_URL", url.c_str(), 1);
    networkThread_ = webrtc::startNetworkThread();

    const Bytes content = platform::randomBytes(bytes_);
    std::ofstream(source_, std::ios::binary).write(reinterpret_cast<const char*>(content.data()), content.size());
    sourceSha256_ = hexEncode(platform::sha256(content));
    // What the tablet uploads (tests/peers/chromium_tablet.mjs makes the same bytes).
    Bytes pattern(bytes_);
    for (std::size_t i = 0; i < bytes_; ++i) pattern[i] = static_cast<std::uint8_t>((i ^ (i >> 8) ^ (i >> 16)) * 31);
    patternSha256_ = hexEncode(platform::sha256(pattern));

    RealHostServiceOptions services;
    services.identityProvider = [key = key_] { return VeltranoIdentity(key); };
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.computerName = [] { return std::string("Remote file bench"); };
    options.filePanels = std::make_shared<bench::PresetPanels>(source_, stored_);
    model_ = HostViewModel::create(std::move(options));
    testing::awaitOn(loop_, model_->refreshPermissions());
    model_->startServer();
    loop_.runUntil([&] { return !model_->startupTask().get(); }, 60s);
    if (!model_->metrics->isRunning.get()) fail("the host did not start: " + model_->metrics->lastError.get());
    const auto authenticated = service_->waitForEvent("authenticated ", 0, 60s);
    if (!authenticated) fail("the host did not sign in to the signaling service");

    local_ = testing::awaitOn(loop_, testing::LocalFileTransferClient::connect(9090, key_));
    const std::string host = authenticated->substr(std::string("authenticated ").size());
    const std::string commands[] = {kChromium, kOurTablet};
    for (int i = 0; i < 2; ++i) {
      auto& tablet = tablets_[i].emplace(*service_, key_, "ipad-bench-" + std::to_string(i + 1));
      if (!tablet.connected.waitForCount(1, 30s)) fail("a tablet did not sign in");
      tablet.offer(namespaces_.inPeer() + commands[i], host, "BENCH-" + std::to_string(i + 1), true);
      const auto hello = awaitTablet(i, [](const json& m) {
        return m["type"] == "message" && m["label"] == "veltrano.control" &&
               m["text"].get<std::string>().find("\"hello\"") != std::string::npos;
      });
      if (!hello) fail(std::string(i == 0 ? "the Chromium" : "our") + " tablet got no hello");
    }
  }
  ~Bench() {
    for (auto& tablet : tablets_) tablet.reset();
    local_.reset();
    model_->stopServer(false);
    const Task shutdown = model_->shutdownTask().get().task;
    loop_.runUntil([&] { return !shutdown || shutdown.isFinished(); }, 30s);
  }

  // Seconds for one transfer each way, checked.
  double localDownload() {
    const auto start = Clock::now();
    const auto outcome = testing::awaitOn(loop_, local_->download(folder_.path() / "local.bin"), kDeadline);
    const double seconds = since(start);
    if (outcome.sha256 != sourceSha256_) fail("the local download does not match");
    return seconds;
  }
  // `tablet`: 0 Chromium, 1 ours.
  double remoteDownload(int tablet) {
    const auto start = Clock::now();
    tablets_[tablet]->peer()->send({{"type", "download"}});
    const auto done = awaitTablet(tablet, [](const json& m) { return m["type"] == "downloaded"; });
    const double seconds = since(start);
    if (!done || (*done)["sha256"] != sourceSha256_) fail("the remote download did not complete or does not match");
    return seconds;
  }
  double localUpload() {
    std::filesystem::remove(stored_);
    const auto start = Clock::now();
    // The same unconfirmed bytes as the tablet keeps in its channel's buffer.
    const auto outcome = testing::awaitOn(loop_, local_->upload(source_, "bench.bin", 4 << 20), kDeadline);
    const double seconds = since(start);
    if (outcome.sha256 != sourceSha256_ || sha256Of(stored_) != sourceSha256_) fail("the local upload does not match");
    return seconds;
  }
  double remoteUpload(int tablet) {
    std::filesystem::remove(stored_);
    const auto start = Clock::now();
    tablets_[tablet]->peer()->send(
        {{"type", "upload"}, {"transferID", Uuid::random().text()}, {"size", bytes_}, {"sha256", patternSha256_}});
    const auto done = awaitTablet(tablet, [](const json& m) { return m["type"] == "uploaded"; });
    const double seconds = since(start);
    if (!done || sha256Of(stored_) != patternSha256_) fail("the remote upload did not complete or does not match");
    return seconds;
  }

 private:
  static double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
  // Turns the host's main loop until the tablet reports what `matches`.
  std::optional<json> awaitTablet(int tablet, const std::function<bool(const json&)>& matches) {
    std::optional<json> found;
    const auto peer = tablets_[tablet]->peer();
    loop_.runUntil([&] { return (found = peer->take(matches, 0ms)).has_value(); }, kDeadline);
    return found;
  }

  const std::size_t bytes_;
  NetworkNamespaces namespaces_;
  testing::TemporaryFolder folder_{"veltrano-remote-file-bench"};
  const std::filesystem::path source_ = folder_.path() / "source.bin";
  const std::filesystem::path stored_ = folder_.path() / "stored.bin";
  std::string sourceSha256_;
  std::string patternSha256_;
  std::optional<testing::SignalingTestService> service_;
  std::shared_ptr<void> networkThread_;
  MainLoopForTests loop_;
  platform::SigningKey key_ = platform::SigningKey::generate();
  std::shared_ptr<HostViewModel> model_;
  std::shared_ptr<testing::LocalFileTransferClient> local_;
  std::optional<testing::SignalingTablet> tablets_[2];  // Chromium, ours
};

int run(int rounds, std::size_t mebibytes, int only) {
  if (auto reason = NetworkNamespaces::unavailable()) fail(*reason);
  if (!std::getenv("DISPLAY")) fail("no X server ($DISPLAY); start scripts/test-env first");
  setMainExecutor({}, std::this_thread::get_id());
  ThreadPools pools;
  const std::size_t bytes = mebibytes << 20;
  std::printf("load %s at the start; %zu MiB per transfer\n", loadAverage().c_str(), mebibytes);
  // [local, Chromium, ours], MiB/s
  std::vector<double> down[3], up[3];
  {
    Bench bench(bytes);
    const auto rate = [&](double seconds) { return static_cast<double>(mebibytes) / seconds; };
    bench.localDownload();  // warm-up, not counted
    bench.remoteDownload(0);
    bench.remoteDownload(1);
    for (int i = 0; i < rounds; ++i) {
      // Each round starts with another of the three, so that none always follows the same one's clean-up.
      for (int step = 0; step < 3; ++step) {
        const int which = (i + step) % 3;
        if (only >= 0 && which != only) {
          down[which].push_back(0);
          continue;
        }
        down[which].push_back(rate(which == 0 ? bench.localDownload() : bench.remoteDownload(which - 1)));
      }
      for (int step = 0; step < 3; ++step) {
        const int which = (i + step) % 3;
        if (only >= 0 && which != only) {
          up[which].push_back(0);
          continue;
        }
        up[which].push_back(rate(which == 0 ? bench.localUpload() : bench.remoteUpload(which - 1)));
      }
      std::printf("round %d: download local %.1f / Chromium %.1f / ours %.1f MiB/s, upload local %.1f / Chromium "
                  "%.1f / ours %.1f MiB/s, load %s\n",
                  i + 1, down[0].back(), down[1].back(), down[2].back(), up[0].back(), up[1].back(), up[2].back(),
                  loadAverage().c_str());
      std::fflush(stdout);
    }
  }
  std::printf("%d rounds, load %s at the end; medians in MiB/s (local file channel / Chromium tablet / our tablet, "
              "ratios to local)\n",
              rounds, loadAverage().c_str());
  std::printf("download %.1f / %.1f / %.1f  %.2f %.2f\n", median(down[0]), median(down[1]), median(down[2]),
              median(down[1]) / median(down[0]), median(down[2]) / median(down[0]));
  std::printf("upload   %.1f / %.1f / %.1f  %.2f %.2f\n", median(up[0]), median(up[1]), median(up[2]),
              median(up[1]) / median(up[0]), median(up[2]) / median(up[0]));
  return 0;
}

}  // namespace
}  // namespace veltrano

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int mebibytes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 64;
  const std::string only = argc > 3 ? argv[3] : "";
  const int path = only == "local" ? 0 : only == "chromium" ? 1 : only == "ours" ? 2 : -1;
  return veltrano::run(rounds, static_cast<std::size_t>(mebibytes), path);
}
