// Idle connected data-channel peers: resident memory and thread wake-ups per peer, ours (two of our peers per pair
// in this process, over loopback) beside aiortc's (bench/idle_aiortc_pairs.py, the same pairs in a Python
// process), in turn, twice. Wake-ups are the voluntary context switches of the threads that run the peers: our one
// network thread, every thread of the Python process.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/memory/allocator.hpp"
#include "platform/webrtc/network_thread.hpp"
#include "platform/webrtc/peer_connection.hpp"

namespace {

using namespace veltrano::webrtc;
using Clock = std::chrono::steady_clock;
constexpr int kPairs = 10;
constexpr auto kSettle = std::chrono::seconds(6);  // ICE keeps checking pairs for 5 s after its last check
constexpr auto kWindow = std::chrono::seconds(5);

std::uint64_t statusField(const std::string& path, const std::string& field) {
  std::ifstream status(path);
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field + ":")) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

std::uint64_t wakeUps(pid_t process, std::optional<pid_t> thread = std::nullopt) {
  const std::string tasks = "/proc/" + std::to_string(process) + "/task";
  if (thread) return statusField(tasks + "/" + std::to_string(*thread) + "/status", "voluntary_ctxt_switches");
  std::uint64_t total = 0;
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    total += statusField(task.path().string() + "/status", "voluntary_ctxt_switches");
  }
  return total;
}

class Side final : public PeerConnectionObserver {
 public:
  void onIceCandidate(const IceCandidate& candidate) override {
    std::lock_guard lock(mutex_);
    candidates_.push_back(candidate);
  }
  void onConnectionStateChange(PeerConnectionState state) override {
    std::lock_guard lock(mutex_);
    connected_ = connected_ || state == PeerConnectionState::connected;
    changed_.notify_all();
  }
  void onDataChannel(std::shared_ptr<DataChannel> channel) override {
    std::lock_guard lock(mutex_);
    channels_.push_back(std::move(channel));
    changed_.notify_all();
  }
  std::vector<IceCandidate> takeCandidates() {
    std::lock_guard lock(mutex_);
    return std::exchange(candidates_, {});
  }
  bool waitConnected(bool withChannel) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return connected_ && (!withChannel || !channels_.empty()); });
  }
  std::shared_ptr<PeerConnection> peer;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<IceCandidate> candidates_;
  std::vector<std::shared_ptr<DataChannel>> channels_;
  bool connected_ = false;
};

SessionDescription describe(PeerConnection& peer, bool offer) {
  std::promise<SessionDescription> result;
  auto done = [&](std::optional<SessionDescription> d, std::string) { result.set_value(d.value_or(SessionDescription{})); };
  offer ? peer.createOffer(done) : peer.createAnswer(done);
  return result.get_future().get();
}

void apply(PeerConnection& peer, const SessionDescription& description, bool local) {
  std::promise<void> result;
  auto done = [&](std::optional<std::string>) { result.set_value(); };
  local ? peer.setLocalDescription(description, done) : peer.setRemoteDescription(description, done);
  result.get_future().wait();
}

struct Pair {
  std::shared_ptr<Side> offerer = std::make_shared<Side>();
  std::shared_ptr<Side> answerer = std::make_shared<Side>();
  std::shared_ptr<DataChannel> channel;
};

bool connect(Pair& pair) {
  for (const auto& side : {pair.offerer, pair.answerer}) side->peer = createPeerConnection({{IceServer{}}, {}}, side);
  pair.channel = pair.offerer->peer->createDataChannel("ctl", {});
  const auto offer = describe(*pair.offerer->peer, true);
  apply(*pair.offerer->peer, offer, true);
  apply(*pair.answerer->peer, offer, false);
  const auto answer = describe(*pair.answerer->peer, false);
  apply(*pair.answerer->peer, answer, true);
  apply(*pair.offerer->peer, answer, false);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    for (auto [from, to] : {std::pair(pair.offerer, pair.answerer), std::pair(pair.answerer, pair.offerer)}) {
      for (const auto& candidate : from->takeCandidates()) to->peer->addIceCandidate(candidate, [](auto) {});
    }
    if (pair.answerer->waitConnected(true) && pair.offerer->waitConnected(false)) return true;
  }
  return false;
}

struct Figures {
  double kibPerPeer;
  double wakeUpsPerPeerSecond;
};

Figures measureOurs(pid_t networkThread) {
  const auto before = veltrano::platform::residentBytes();
  std::vector<Pair> pairs(kPairs);
  for (auto& pair : pairs) {
    if (!connect(pair)) std::fprintf(stderr, "a pair of ours did not connect\n");
  }
  std::this_thread::sleep_for(kSettle);
  const auto after = veltrano::platform::residentBytes();
  const auto woken = wakeUps(::getpid(), networkThread);
  std::this_thread::sleep_for(kWindow);
  const auto wokenAfter = wakeUps(::getpid(), networkThread);
  for (auto& pair : pairs) {
    pair.offerer->peer->close();
    pair.answerer->peer->close();
  }
  pairs.clear();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return {static_cast<double>(after - before) / 1024 / (2 * kPairs),
          static_cast<double>(wokenAfter - woken) / std::chrono::duration<double>(kWindow).count() / (2 * kPairs)};
}

Figures measureAiortc(const std::string& script) {
  int toChild[2];
  int fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::abort();
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    for (const int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
    ::execl("/usr/bin/python3", "python3", script.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  FILE* out = ::fdopen(fromChild[0], "r");
  char line[64];
  const auto expect = [&](const char* word) {
    if (!std::fgets(line, sizeof line, out) || std::string(line).find(word) != 0) {
      std::fprintf(stderr, "aiortc did not say %s\n", word);
    }
  };
  const std::string status = "/proc/" + std::to_string(child) + "/status";
  expect("base");
  const auto before = statusField(status, "VmRSS");
  const std::string count = std::to_string(kPairs) + "\n";
  (void)::write(toChild[1], count.data(), count.size());
  expect("ready");
  std::this_thread::sleep_for(kSettle);
  const auto after = statusField(status, "VmRSS");
  const auto woken = wakeUps(child);
  std::this_thread::sleep_for(kWindow);
  const auto wokenAfter = wakeUps(child);
  ::close(toChild[1]);
  std::fclose(out);
  ::waitpid(child, nullptr, 0);
  return {static_cast<double>(after - before) / (2 * kPairs),
          static_cast<double>(wokenAfter - woken) / std::chrono::duration<double>(kWindow).count() / (2 * kPairs)};
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("VELTRANO_ICE_LOOPBACK", "1", 1);
  const std::string script = argc > 1 ? argv[1] : VELTRANO_BENCH_SOURCE "/idle_aiortc_pairs.py";
  const auto token = startNetworkThread();
  std::promise<pid_t> thread;
  NetworkThread::running()->post([&] { thread.set_value(static_cast<pid_t>(::gettid())); });
  const pid_t networkThread = thread.get_future().get();
  // A first pair loads and initializes the libraries, so that the rounds count the peers only.
  {
    Pair warmUp;
    connect(warmUp);
    warmUp.offerer->peer->close();
    warmUp.answerer->peer->close();
  }
  std::printf("%d idle connected pairs each; per peer: resident KiB, wake-ups per second\n", kPairs);
  std::printf("round  ours KiB  aiortc KiB  ratio  |  ours wake/s  aiortc wake/s  ratio\n");
  for (int round = 1; round <= 2; ++round) {
    const auto ours = measureOurs(networkThread);
    const auto theirs = measureAiortc(script);
    std::printf("%5d  %8.0f  %10.0f  %5.2f  |  %11.2f  %13.2f  %5.2f\n", round, ours.kibPerPeer, theirs.kibPerPeer,
                ours.kibPerPeer / theirs.kibPerPeer, ours.wakeUpsPerPeerSecond, theirs.wakeUpsPerPeerSecond,
                ours.wakeUpsPerPeerSecond / theirs.wakeUpsPerPeerSecond);
    std::fflush(stdout);
  }
  return 0;
}
