#pragma once
// The program itself, started as scripts/run starts it, in a network namespace of its own with a local signaling
// service, serving a headless Chromium tablet that sits in another namespace across a veth link; and another device
// of the account that floods it with offers. For the program's tests and benchmarks. One fixture per process: the
// namespace is entered before the I/O threads start. The including target defines VELTRANO_HOST_PROGRAM and
// VELTRANO_TEST_PEERS.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "base/executors.hpp"
#include "base/json.hpp"
#include "platform/crypto/random.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "support/host_program_process.hpp"
#include "support/network_namespaces.hpp"
#include "support/signaling_tablet.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano::testing {

inline std::string networkNamespaceOfThisThread() {
  return std::filesystem::read_symlink("/proc/thread-self/ns/net").string();
}

class RemoteTabletProgramTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the program reports inside uninstrumented Qt under ThreadSanitizer, as in its own test";
#endif
    VELTRANO_REQUIRE_X11();
    if (auto reason = NetworkNamespaces::unavailable()) GTEST_SKIP() << *reason;
    // From here this thread, the signaling service it starts, the I/O threads (first used below) and the program
    // live in the host's namespace; only the tablet's browser is across the link.
    namespaces.emplace();
    if (GetParam() == "tcp") namespaces->dropUdp();
    const std::string ours = networkNamespaceOfThisThread();
    const std::string io =
        boost::asio::post(sharedIo().executor(), boost::asio::use_future([] { return networkNamespaceOfThisThread(); }))
            .get();
    ASSERT_EQ(io, ours) << "the I/O threads started before the namespace: run this test in a process of its own";
    service.emplace();

    const std::filesystem::path root = home.path();
    std::ofstream(root / "ca.pem") << service->authorityPem();
    const Bytes seed = platform::randomBytes(platform::AccountKeyFile::seedSize);
    platform::AccountKeyFile(root / "data" / "veltrano").readOrCreate([&] { return platform::SecureBytes(seed); });
    accountKey = platform::SigningKey::fromSeed(seed);
    std::filesystem::create_directory(root / "runtime");
    std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
    std::map<std::string, std::string> environment = {
        {"HOME", root.string()},
        {"XDG_DATA_HOME", (root / "data").string()},
        {"XDG_CONFIG_HOME", (root / "config").string()},
        {"XDG_RUNTIME_DIR", (root / "runtime").string()},
        {"SSL_CERT_FILE", (root / "ca.pem").string()},
        {"VELTRANO_SIGNALING_URL", "wss://localhost:" + std::to_string(service->port()) + "/veltrano/v1/signal"},
    };
    ASSERT_TRUE(program.start(VELTRANO_HOST_PROGRAM, environment, root / "program.log"));

    const auto authenticated = service->waitForEvent("authenticated ", 0, std::chrono::seconds(60));
    ASSERT_TRUE(authenticated) << "the program never signed in to the signaling service:\n" << program.output();
    hostDevice = authenticated->substr(std::string("authenticated ").size());
    tablet.emplace(*service, accountKey, "ipad-chromium");
    ASSERT_TRUE(tablet->connected.waitForCount(1, std::chrono::seconds(30)));
    tablet->offer(namespaces->inPeer() + "node " VELTRANO_TEST_PEERS "/chromium_tablet.mjs", hostDevice, "S1", true);
  }
  // The program quits with its remote tablet still connected, as a user quits it.
  void TearDown() override {
    if (program.pid() > 0) {
      program.signal(SIGTERM);
      const auto status = program.waitForExit(std::chrono::seconds(30));
      EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "the program did not end cleanly";
      if (HasFailure()) std::cout << program.output();
    }
    tablet.reset();
    service.reset();
    namespaces.reset();
  }
  PeerProcess& browser() { return *tablet->peer(); }
  void send(const std::string& label, const nlohmann::json& command) {
    browser().send({{"type", "send"}, {"label", label}, {"text", command.dump()}});
  }
  // The next control message of `type` (and `status`, when given); other messages before it are passed over.
  std::optional<nlohmann::json> nextControl(const std::string& type, const std::string& status = {},
                                            std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto found = browser().take(
        [&](const nlohmann::json& m) {
          const nlohmann::json message = controlMessage(m);
          return message.is_object() && message["type"] == type &&
                 (status.empty() || message.value("status", "") == status);
        },
        timeout);
    if (!found) return std::nullopt;
    return controlMessage(*found);
  }
  // What the tablet reported as a message of the control channel, or null.
  static nlohmann::json controlMessage(const nlohmann::json& reported) {
    if (reported["type"] != "message" || reported["label"] != "veltrano.control") return nullptr;
    nlohmann::json message = nlohmann::json::parse(reported["text"].get<std::string>(), nullptr, false);
    return message.is_object() ? message : nullptr;
  }
  // A ping on the control channel to its pong, in milliseconds; none when no pong came within 30 s (a pong that
  // long in coming is lost, not slow: how fast they come is measured in bench/).
  std::optional<double> ping(int timestamp) {
    const auto start = std::chrono::steady_clock::now();
    send("veltrano.control", {{"type", "ping"}, {"timestamp", timestamp}});
    const auto pong = browser().take(
        [&](const nlohmann::json& m) {
          const nlohmann::json message = controlMessage(m);
          return message.is_object() && message["type"] == "pong" && message["clientTimestamp"] == timestamp;
        },
        std::chrono::seconds(30));
    if (!pong) return std::nullopt;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }

  TemporaryFolder home{"veltrano-remote-program"};
  std::optional<NetworkNamespaces> namespaces;
  std::optional<SignalingTestService> service;
  platform::SigningKey accountKey = platform::SigningKey::generate();
  HostProgramProcess program;
  std::string hostDevice;
  std::optional<SignalingTablet> tablet;
};

// An offer as a tablet's browser makes one: every new session it asks for gathers, answers and waits to connect.
inline std::string floodOffer() {
  std::string fingerprint;
  for (int i = 0; i < 32; ++i) fingerprint += (i ? ":" : "") + std::string("AB");
  return "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\n"
         "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=ice-ufrag:flood\r\n"
         "a=ice-pwd:floodfloodfloodfloodflood\r\na=ice-options:trickle\r\na=fingerprint:sha-256 " +
         fingerprint + "\r\na=setup:actpass\r\na=mid:0\r\na=sctp-port:5000\r\na=max-message-size:262144\r\n";
}

// Another device of the account offering new sessions to `host` as fast as its signaling takes them, on a thread of
// its own, each with a session ID of its own ("<prefix><n>").
class OfferFlood {
 public:
  OfferFlood(SignalingTablet& from, const std::string& host, int offers, const std::string& prefix = "F") {
    from.aim(host, prefix + "0");
    thread_ = std::thread([&from, offers, prefix, offer = floodOffer(), this] {
      for (int i = 0; i < offers; ++i) {
        from.send("offer", {{"sdp", offer}, {"type", "offer"}}, prefix + std::to_string(i));
      }
      running_ = false;
    });
  }
  ~OfferFlood() { join(); }
  OfferFlood(const OfferFlood&) = delete;
  OfferFlood& operator=(const OfferFlood&) = delete;

  bool running() const { return running_; }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> running_ = true;
  std::thread thread_;
};

}  // namespace veltrano::testing
