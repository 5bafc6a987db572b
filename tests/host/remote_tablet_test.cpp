// The whole host on its real services, reached by aiortc tablets through a local signaling service: the hello,
// commands carried out on the X server with their replies, the video of a display decoded to the colours painted
// there (also for a viewer that joins later), and the audio with its configuration first. ICE runs on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/encoding.hpp"
#include "base/executors.hpp"
#include "base/uuid.hpp"
#include "filetransfer/file_transfer_test_support.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/sha256.hpp"
#include "core/metrics_store.hpp"
#include "host/host_view_model.hpp"
#include "host/real_host_services.hpp"
#include "media/media_envelope.hpp"
#include "platform/crypto/signing_key.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/peer_process.hpp"
#include "support/run_blocking.hpp"
#include "support/local_test_client.hpp"
#include "support/scoped_environment.hpp"
#include "support/signaling_test_service.hpp"
#include "support/temporary_folder.hpp"
#include "support/two_monitor_screen.hpp"
#include "support/x11_event_window.hpp"
#include "support/x11_test_env.hpp"
#include "transport/veltrano_identity.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::PeerProcess;

constexpr Rgb kLeftColour{220, 40, 40};
constexpr Rgb kRightColour{40, 40, 220};

bool near(const json& rgb, Rgb colour) {
  if (!rgb.is_array() || rgb.size() != 3) return false;
  const int expected[] = {colour.r, colour.g, colour.b};
  for (int i = 0; i < 3; ++i) {
    if (std::abs(rgb[i].get<int>() - expected[i]) > 40) return false;
  }
  return true;
}

class RemoteTabletTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELTRANO_REQUIRE_X11();
    VELTRANO_START_TWO_MONITOR_SCREEN(screen);
    screen.fill({0, 0, 320, 480}, kLeftColour);
    screen.fill({320, 0, 320, 480}, kRightColour);
    // Capture, input and the test's event window all use the private screen.
    environment.set("DISPLAY", screen.name().c_str());
    authority = folder.path() / "ca.pem";
    std::ofstream(authority) << signaling.authorityPem();
    environment.set("SSL_CERT_FILE", authority.c_str());
    signalingURL = "wss://localhost:" + std::to_string(signaling.port()) + "/veltrano/v1/signal";
    environment.set("VELTRANO_SIGNALING_URL", signalingURL.c_str());
    environment.set("VELTRANO_ICE_LOOPBACK", "1");

    RealHostServiceOptions services;
    services.identityProvider = [key = accountKey] { return VeltranoIdentity(key); };
    services.captureEnvironment.xDisplayName = screen.name();
    HostViewModel::Options options;
    options.services = makeRealHostServiceFactory(services);
    options.computerName = [] { return std::string("Remote tablet test"); };
    options.filePanels = panels;
    model = HostViewModel::create(std::move(options));
    testing::awaitOn(loop, model->refreshPermissions());
    model->startServer();
    loop.runUntil([&] { return !model->startupTask().get(); }, 30s);
    ASSERT_TRUE(model->metrics->isRunning.get()) << model->metrics->lastError.get();
  }
  void TearDown() override {
    tablets.clear();
    if (!model) return;
    model->stopServer(false);
    const Task shutdown = model->shutdownTask().get().task;
    loop.runUntil([&] { return !shutdown || shutdown.isFinished(); }, 30s);
  }

  // A tablet of the account that offers `session` and waits until its control channel has its hello.
  PeerProcess& connectTablet(const std::string& session) {
    const std::string seed = base64urlEncode(accountKey.seed());
    auto& tablet = tablets.emplace_back(std::make_unique<PeerProcess>(
        "/usr/bin/python3 " VELTRANO_TEST_PEERS "/aiortc_remote_tablet.py " + signalingURL + " " +
        authority.string() + " " + seed + " ipad-" + session + " " + session));
    return *tablet;
  }
  // Turns the main loop until the tablet reports a message that `matches`.
  std::optional<json> next(PeerProcess& tablet, const std::function<bool(const json&)>& matches,
                           std::chrono::milliseconds timeout = 20s) {
    std::optional<json> found;
    loop.runUntil([&] { return (found = tablet.take(matches, 0ms)).has_value(); }, timeout);
    return found;
  }
  std::optional<json> nextOn(PeerProcess& tablet, const std::string& label, std::chrono::milliseconds timeout = 20s) {
    return next(tablet, [&](const json& m) { return m["type"] == "message" && m["label"] == label; }, timeout);
  }
  void sendOn(PeerProcess& tablet, const std::string& label, const json& command) {
    tablet.send({{"type", "send"}, {"label", label}, {"text", command.dump()}});
  }
  // The next control message of `type` (and of `status`, when given).
  std::optional<json> nextControl(PeerProcess& tablet, const std::string& type, const std::string& status = {}) {
    const auto found = next(tablet, [&](const json& m) {
      if (m["type"] != "message" || m["label"] != "veltrano.control") return false;
      const json message = json::parse(m["text"].get<std::string>());
      return message["type"] == type && (status.empty() || message.value("status", "") == status);
    });
    if (!found) return std::nullopt;
    return json::parse(found->at("text").get<std::string>());
  }
  std::shared_ptr<testing::ScriptedPanels::Panel> nextPanel(std::size_t before) {
    loop.runUntil([&] { return panels->panels.size() > before; }, 20s);
    return panels->panels.size() > before ? panels->panels.back() : nullptr;
  }
  static std::string sha256Of(ByteView data) { return hexEncode(platform::sha256(data)); }
  // The first decoded frame of `display` that shows `colour`; the frames before it are counted in `before`.
  bool seesColour(PeerProcess& tablet, std::uint32_t display, Rgb colour, int* before = nullptr) {
    for (int frames = 0; frames < 300; ++frames) {
      const auto frame = next(tablet, [&](const json& m) {
        return m["type"] == "video" && m["kind"] == "frame" && m["display"] == display;
      });
      if (!frame) return false;
      if (near((*frame)["rgb"], colour)) {
        if (before) *before = frames;
        return true;
      }
    }
    return false;
  }

  testing::FixedPortsLock portsLock;
  const std::shared_ptr<void> networkThread = webrtc::startNetworkThread();  // the program holds one too
  TwoMonitorScreen screen;
  testing::ScopedEnvironment environment;
  testing::TemporaryFolder folder{"veltrano-remote-tablet"};
  std::filesystem::path authority;
  testing::SignalingTestService signaling;
  std::string signalingURL;
  MainLoopForTests loop;
  platform::SigningKey accountKey = platform::SigningKey::generate();
  std::shared_ptr<testing::ScriptedPanels> panels = std::make_shared<testing::ScriptedPanels>();
  std::shared_ptr<HostViewModel> model;
  std::vector<std::unique_ptr<PeerProcess>> tablets;
};

TEST_F(RemoteTabletTest, ATabletGetsTheHelloAndItsCommandsActOnTheScreenWithRepliesOnlyOnTheControlChannel) {
  auto event = X11EventWindow::open();
  ASSERT_TRUE(event);
  PeerProcess& tablet = connectTablet("S1");
  const auto hello = nextOn(tablet, "veltrano.control", 40s);
  ASSERT_TRUE(hello) << "no hello";
  ASSERT_NE(hello->at("text").get<std::string>().back(), '\n');
  const json greeting = json::parse(hello->at("text").get<std::string>());
  EXPECT_EQ(greeting["type"], "hello");
  EXPECT_EQ(greeting["status"], "ok");
  EXPECT_EQ(greeting["transport"], "p2p");
  EXPECT_EQ(greeting["audioPort"], 0);
  EXPECT_EQ(greeting["videoPort"], 0);
  EXPECT_EQ(greeting["capabilities"], json::array({"fileDownloadV1", "fileTransferV2"}));
  EXPECT_FALSE(greeting.contains("filePort") || greeting.contains("fileSessionID"));
  EXPECT_EQ(greeting["width"], model->metrics->hostWidth.get());
  EXPECT_EQ(greeting["activeDisplayID"], model->metrics->activeDisplayID.get());
  ASSERT_EQ(greeting["displays"].size(), 2u);
  EXPECT_TRUE(loop.runUntil([&] { return model->remoteConnectedClientCount().get() == 1; }, 10s));

  // Moves and clicks reach the X server; only the click on the control channel is answered, and the ping.
  event->discard();
  sendOn(tablet, "veltrano.control", {{"type", "mouseMove"}, {"x", 100}, {"y", 120}});
  sendOn(tablet, "veltrano.input", {{"type", "leftClick"}});
  sendOn(tablet, "veltrano.control", {{"type", "scroll"}, {"dx", 0}, {"dy", 2}});
  sendOn(tablet, "veltrano.control", {{"type", "rightClick"}});
  sendOn(tablet, "veltrano.control", {{"type", "ping"}});
  const auto reply = nextOn(tablet, "veltrano.control");
  ASSERT_TRUE(reply);
  EXPECT_EQ(json::parse(reply->at("text").get<std::string>())["type"], "rightClick");
  const auto pong = nextOn(tablet, "veltrano.control");
  ASSERT_TRUE(pong);
  EXPECT_EQ(json::parse(pong->at("text").get<std::string>())["type"], "pong");
  EXPECT_FALSE(nextOn(tablet, "veltrano.control", 1s)) << "moves, scrolls and the input channel get no reply";

  bool moved = false, leftClicked = false, rightClicked = false;
  for (const RecordedEvent& e : event->until([](const RecordedEvent& e) { return e.type == XCB_BUTTON_RELEASE && e.detail == 3; })) {
    if (e.type == XCB_MOTION_NOTIFY && e.rootX == 100 && e.rootY == 120) moved = true;
    if (e.type == XCB_BUTTON_PRESS && e.detail == 1) leftClicked = moved;  // after the move, in order
    if (e.type == XCB_BUTTON_PRESS && e.detail == 3) rightClicked = leftClicked;
  }
  EXPECT_TRUE(moved && leftClicked && rightClicked);
}

// A drag of a phone pointer sent as fast as the tablet can: every step reaches the X server, in the order sent.
TEST_F(RemoteTabletTest, ABurstOfPhonePointerCommandsReachesTheScreenInOrderWithNoneLost) {
  auto event = X11EventWindow::open();
  ASSERT_TRUE(event);
  PeerProcess& tablet = connectTablet("S1");
  ASSERT_TRUE(nextOn(tablet, "veltrano.control", 40s));
  event->discard();
  constexpr int kSteps = 120;
  auto phone = [sequence = 0](json command) mutable {
    command["phonePointer"] = true;
    command["pointerSession"] = "drag-1";
    command["pointerSequence"] = ++sequence;
    return command;
  };
  sendOn(tablet, "veltrano.input", phone({{"type", "mouseDown"}, {"x", 20}, {"y", 30}}));
  for (int step = 1; step <= kSteps; ++step) {
    sendOn(tablet, "veltrano.input", phone({{"type", "mouseDrag"}, {"x", 20 + step * 4}, {"y", 30 + step * 3}}));
  }
  sendOn(tablet, "veltrano.input", phone({{"type", "mouseUp"}, {"x", 20 + kSteps * 4}, {"y", 30 + kSteps * 3}}));

  // The host injects on the main thread: the loop turns while the events are collected.
  std::vector<RecordedEvent> seen;
  const bool released = loop.runUntil(
      [&] {
        while (const auto e = event->next(0ms)) {
          seen.push_back(*e);
          if (e->type == XCB_BUTTON_RELEASE && e->detail == 1) return true;
        }
        return false;
      },
      20s);
  ASSERT_TRUE(released) << "the drag never ended on the screen; " << seen.size() << " events";
  std::vector<std::pair<int, int>> path;
  bool pressed = false;
  for (const RecordedEvent& e : seen) {
    if (e.type == XCB_BUTTON_PRESS && e.detail == 1) pressed = true;
    // Motion with the button held; the press itself comes after the move to its point.
    if (e.type == XCB_MOTION_NOTIFY && pressed && (e.state & XCB_BUTTON_MASK_1)) path.emplace_back(e.rootX, e.rootY);
  }
  ASSERT_TRUE(pressed);
  // The release moves to its own point, the drag's last one: the same place again is not a step.
  path.erase(std::unique(path.begin(), path.end()), path.end());
  std::vector<std::pair<int, int>> expected;
  for (int step = 1; step <= kSteps; ++step) expected.emplace_back(20 + step * 4, 30 + step * 3);
  const auto differs = std::mismatch(path.begin(), path.end(), expected.begin(), expected.end());
  EXPECT_TRUE(differs.first == path.end() && differs.second == expected.end())
      << path.size() << " of " << expected.size() << " steps seen; the first that differs is step "
      << (differs.second - expected.begin() + 1) << (differs.first == path.end() ? "" : ", seen at x=")
      << (differs.first == path.end() ? "" : std::to_string(differs.first->first));
  EXPECT_EQ(seen.back().rootX, 20 + kSteps * 4);
  EXPECT_FALSE(nextOn(tablet, "veltrano.input", 500ms)) << "the input channel answers nothing";
}

// A long text is typed in slices with the main loop free in between; the key sent after it on the same channel
// still reaches the X server after every typed character.
TEST_F(RemoteTabletTest, AKeySentAfterALongTextReachesTheScreenAfterAllOfIt) {
  auto event = X11EventWindow::open();
  ASSERT_TRUE(event);
  PeerProcess& tablet = connectTablet("S1");
  ASSERT_TRUE(nextOn(tablet, "veltrano.control", 40s));
  event->discard();
  constexpr int kCharacters = 600;
  sendOn(tablet, "veltrano.control", {{"type", "text"}, {"value", std::string(kCharacters, 'x')}});
  sendOn(tablet, "veltrano.control", {{"type", "keyDown"}, {"key", "return"}});
  sendOn(tablet, "veltrano.control", {{"type", "keyUp"}, {"key", "return"}});

  constexpr std::uint32_t kReturn = 0xff0d;
  std::map<std::uint8_t, bool> isReturn;  // by keycode, as the server maps it
  bool returned = false;
  int typedBeforeReturn = 0, typedAfterReturn = 0;
  const bool done = loop.runUntil(
      [&] {
        while (const auto e = event->next(0ms)) {
          if (e->type != XCB_KEY_PRESS) continue;
          if (!isReturn.contains(e->detail)) isReturn[e->detail] = event->keysymAtLevel0(e->detail) == kReturn;
          if (isReturn[e->detail]) {
            returned = true;
          } else {
            ++(returned ? typedAfterReturn : typedBeforeReturn);
          }
        }
        return returned && typedBeforeReturn + typedAfterReturn == kCharacters;
      },
      20s);
  ASSERT_TRUE(done) << "return pressed: " << returned << ", characters typed " << typedBeforeReturn << " + "
                    << typedAfterReturn;
  EXPECT_EQ(typedAfterReturn, 0) << "the key overtook the text after " << typedBeforeReturn << " characters";
}

TEST_F(RemoteTabletTest, AFilePanelAskedForAfterALongTextOpensOnlyOnceAllOfItIsTyped) {
  PeerProcess& tablet = connectTablet("S1");
  ASSERT_TRUE(nextOn(tablet, "veltrano.control", 40s));
  sendOn(tablet, "veltrano.control", {{"type", "text"}, {"value", std::string(600, 'x')}});
  sendOn(tablet, "veltrano.control", {{"type", "filePickerRequest"}});

  // The text's reply leaves once all of it is typed, the panel's status once the panel is begun.
  const auto first = next(tablet, [](const json& m) {
    if (m["type"] != "message" || m["label"] != "veltrano.control") return false;
    const std::string type = json::parse(m["text"].get<std::string>()).value("type", "");
    return type == "text" || type == "fileStatus";
  });
  ASSERT_TRUE(first);
  EXPECT_EQ(json::parse(first->at("text").get<std::string>()).value("type", ""), "text")
      << "the panel was begun while the text was still being typed";
  ASSERT_TRUE(nextControl(tablet, "fileStatus", "selecting"));
  auto picker = nextPanel(0);
  ASSERT_TRUE(picker);
  picker->dismiss();
}

TEST_F(RemoteTabletTest, SubscribedVideoDecodesToThePaintedColoursAlsoForALaterViewerAndStopsWhenUnsubscribed) {
  PeerProcess& first = connectTablet("S1");
  ASSERT_TRUE(nextOn(first, "veltrano.control", 40s));
  const std::uint32_t left = screen.left().id, right = screen.right().id;
  sendOn(first, "veltrano.control", {{"type", "setVideoSubscriptions"}, {"displayIDs", {left, right, 4242}}});
  EXPECT_TRUE(seesColour(first, left, kLeftColour));
  EXPECT_TRUE(seesColour(first, right, kRightColour));

  // A second viewer of a display already watched starts at a keyframe asked for it, not at the periodic one.
  PeerProcess& second = connectTablet("S2");
  ASSERT_TRUE(nextOn(second, "veltrano.control", 40s));
  sendOn(second, "veltrano.control", {{"type", "setVideoSubscriptions"}, {"displayIDs", {left}}});
  int framesBefore = -1;
  EXPECT_TRUE(seesColour(second, left, kLeftColour, &framesBefore));
  EXPECT_LE(framesBefore, 5) << "frames it could not decode before its first picture";
  EXPECT_FALSE(next(second, [&](const json& m) { return m["type"] == "video" && m["display"] == right; }, 1s));

  sendOn(first, "veltrano.control", {{"type", "setVideoSubscriptions"}, {"displayIDs", json::array()}});
  sendOn(first, "veltrano.control", {{"type", "ping"}});
  ASSERT_TRUE(next(first, [](const json& m) {
    return m["type"] == "message" && m["label"] == "veltrano.control" &&
           json::parse(m["text"].get<std::string>()).value("type", "") == "pong";
  }));
  // The pong left after the unsubscription was taken in: nothing captured from now on may reach this tablet. What
  // was on its way before may still come, however late; its presentation time tells it apart.
  const auto takenIn = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
  EXPECT_FALSE(next(
      first,
      [&](const json& m) { return m["type"] == "video" && m["kind"] == "frame" && m["pts"].get<std::int64_t>() > takenIn; },
      2s))
      << "video after unsubscribing";
  EXPECT_TRUE(seesColour(second, left, kLeftColour)) << "the other viewer goes on";
}

// A tablet that says nothing for a while after its hello is not a path gone: the association's heartbeats keep it
// heard (the first one came up to 5 s late, and the host took the quiet for a lost path and ended the session).
TEST_F(RemoteTabletTest, ATabletQuietAfterItsHelloStaysConnectedAndGetsItsVideo) {
  PeerProcess& tablet = connectTablet("S1");
  ASSERT_TRUE(nextOn(tablet, "veltrano.control", 40s));
  ASSERT_TRUE(loop.runUntil([&] { return model->remoteConnectedClientCount().get() == 1; }, 10s));
  const bool dropped = loop.runUntil([&] { return model->remoteConnectedClientCount().get() != 1; }, 6s);
  EXPECT_FALSE(dropped) << "the host ended the quiet session";
  sendOn(tablet, "veltrano.control", {{"type", "setVideoSubscriptions"}, {"displayIDs", {screen.left().id}}});
  EXPECT_TRUE(seesColour(tablet, screen.left().id, kLeftColour));
}

TEST_F(RemoteTabletTest, AudioStartsWithItsConfiguration) {
  PeerProcess& tablet = connectTablet("S1");
  ASSERT_TRUE(nextOn(tablet, "veltrano.control", 40s));
  sendOn(tablet, "veltrano.control", {{"type", "setVideoSubscriptions"}, {"displayIDs", {screen.left().id}}});
  sendOn(tablet, "veltrano.control", {{"type", "setAudioStreaming"}, {"enabled", true}});
  const auto first = next(tablet, [](const json& m) { return m["type"] == "audio"; }, 30s);
  ASSERT_TRUE(first) << "no audio";
  EXPECT_EQ((*first)["kind"], "configuration");
  EXPECT_TRUE(next(tablet, [](const json& m) { return m["type"] == "audio" && m["kind"] == "frame"; }, 10s));
}

TEST_F(RemoteTabletTest, AFileGoesEachWayWithItsChecksumAndACutUploadLeavesNothingBehind) {
  PeerProcess& tablet = connectTablet("S1");
  ASSERT_TRUE(nextOn(tablet, "veltrano.control", 40s));

  // Download: the computer's user picks the file; the tablet confirms every chunk it gets.
  const Bytes original = platform::randomBytes(300000);
  const auto source = folder.path() / "photo.bin";
  std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(original.data()), original.size());
  sendOn(tablet, "veltrano.control", {{"type", "filePickerRequest"}});
  auto picker = nextPanel(0);
  ASSERT_TRUE(picker);
  picker->choose(source);
  const auto offer = nextControl(tablet, "fileOffer");
  ASSERT_TRUE(offer);
  const std::string transferID = (*offer)["transferID"];
  EXPECT_EQ((*offer)["size"], original.size());
  sendOn(tablet, "veltrano.control", {{"type", "fileAccept"}, {"transferID", transferID}});
  Bytes downloaded;
  while (downloaded.size() < original.size()) {
    const auto frame = next(tablet, [](const json& m) { return m["type"] == "binary"; });
    ASSERT_TRUE(frame) << "after " << downloaded.size() << " bytes";
    const auto chunk = decodeChunkFrame(*base64urlDecode((*frame)["data"].get<std::string>()));
    ASSERT_EQ(chunk.offset, downloaded.size());
    downloaded.insert(downloaded.end(), chunk.payload.begin(), chunk.payload.end());
    sendOn(tablet, "veltrano.control", {{"type", "fileStatus"}, {"status", "received"}, {"transferID", transferID},
                                        {"offset", downloaded.size()}});
  }
  const auto complete = nextControl(tablet, "fileComplete");
  ASSERT_TRUE(complete);
  EXPECT_EQ((*complete)["sha256"], sha256Of(original));
  EXPECT_EQ(sha256Of(downloaded), sha256Of(original));

  // Upload: the user picks where it goes; the frames come on the file channel.
  const auto sendUpload = [&](const std::string& id, const Bytes& content, std::size_t upTo, std::size_t from = 0) {
    for (std::size_t offset = from; offset < upTo; offset += maximumChunkPayloadSize) {
      const std::size_t length = std::min(maximumChunkPayloadSize, upTo - offset);
      const Bytes frame = encodeChunkFrame(id, offset, ByteView(content).subspan(offset, length));
      tablet.send({{"type", "sendBase64"}, {"label", "veltrano.file"}, {"data", base64urlEncode(frame)}});
    }
  };
  const auto offerUpload = [&](const std::string& id, const std::filesystem::path& destination, std::size_t size) {
    const std::size_t panelsBefore = panels->panels.size();
    sendOn(tablet, "veltrano.control", {{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", id},
                                        {"name", destination.filename().string()}, {"size", size}});
    auto save = nextPanel(panelsBefore);
    if (!save) return false;
    save->choose(destination);
    return nextControl(tablet, "fileUploadAccept").has_value();
  };
  const Bytes upload = platform::randomBytes(200000);
  const std::string uploadID = Uuid::random().text();
  const auto stored = folder.path() / "uploaded.bin";
  ASSERT_TRUE(offerUpload(uploadID, stored, upload.size()));
  // The completion travels on the control channel and may overtake the last chunks: here it is sent before them.
  const std::size_t lastChunk = (upload.size() - 1) / maximumChunkPayloadSize * maximumChunkPayloadSize;
  sendUpload(uploadID, upload, lastChunk);
  std::optional<json> receipt;
  while ((receipt = nextControl(tablet, "fileStatus", "received")) && (*receipt)["offset"] != lastChunk) {
  }
  ASSERT_TRUE(receipt);
  sendOn(tablet, "veltrano.control", {{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", uploadID},
                                      {"size", upload.size()}, {"sha256", sha256Of(upload)}});
  const auto early = next(
      tablet,
      [](const json& m) {
        if (m["type"] != "message" || m["label"] != "veltrano.control") return false;
        const std::string type = json::parse(m["text"].get<std::string>()).value("type", "");
        return type == "fileError" || type == "fileUploadStored";
      },
      500ms);
  EXPECT_FALSE(early) << "the host answered a completion whose last chunk it had not got: " << early->dump();
  sendUpload(uploadID, upload, upload.size(), lastChunk);
  const auto storedMessage = nextControl(tablet, "fileUploadStored");
  ASSERT_TRUE(storedMessage);
  std::ifstream file(stored, std::ios::binary);
  const Bytes onDisk((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(sha256Of(onDisk), sha256Of(upload));

  // An upload cut off half way by the tablet going away leaves no file, whole or partial.
  const auto uploads = folder.path() / "cut";
  std::filesystem::create_directory(uploads);
  const std::string cutID = Uuid::random().text();
  ASSERT_TRUE(offerUpload(cutID, uploads / "cut.bin", upload.size()));
  sendUpload(cutID, upload, upload.size() / 2);
  ASSERT_TRUE(nextControl(tablet, "fileStatus", "received")) << "the first half is being written";
  tablet.send({{"type", "close"}});
  EXPECT_TRUE(loop.runUntil([&] { return model->remoteConnectedClientCount().get() == 0; }, 30s));
  EXPECT_TRUE(loop.runUntil([&] { return std::filesystem::is_empty(uploads); }, 10s))
      << std::filesystem::directory_iterator(uploads)->path();
}

// A local tablet on one display and a remote one on the other; then the remote one stops reading for a while.
TEST_F(RemoteTabletTest, ALocalAndARemoteTabletAtOnceAndASlowRemoteOneDoesNotHoldUpTheLocalVideo) {
  const std::uint32_t left = screen.left().id, right = screen.right().id;
  auto control = testing::awaitOn(loop, testing::LocalTestClient::connect(9090, LocalTransportChannel::control,
                                                                         accountKey, {}));
  ASSERT_TRUE(testing::awaitOn(loop, control->nextJSON(10s)));
  auto video = testing::awaitOn(loop, testing::LocalTestClient::connect(
                                          model->displaySession(right)->videoPort, LocalTransportChannel::video,
                                          accountKey, {}));
  const auto localFrames = [&](int wanted) {
    int frames = 0;
    for (int attempt = 0; attempt < wanted * 20 && frames < wanted; ++attempt) {
      const auto record = testing::awaitOn(loop, video->nextRecord(500ms));
      const auto envelope = record ? parseMediaEnvelope(*record) : std::nullopt;
      if (envelope && envelope->type == MediaEnvelopeType::videoFrame) ++frames;
    }
    return frames;
  };
  ASSERT_EQ(localFrames(3), 3);

  PeerProcess& tablet = connectTablet("S1");
  ASSERT_TRUE(nextOn(tablet, "veltrano.control", 40s));
  sendOn(tablet, "veltrano.control", {{"type", "setVideoSubscriptions"}, {"displayIDs", {left}}});
  EXPECT_TRUE(seesColour(tablet, left, kLeftColour));
  EXPECT_TRUE(loop.runUntil(
      [&] {
        return model->localControlClientCount().get() == 1 && model->remoteConnectedClientCount().get() == 1 &&
               model->metrics->videoClients.get() == 2;
      },
      10s));
  EXPECT_EQ(model->connectionRouteSummary(), "LAN (TCP) + LAN (P2P)");

  // While the remote tablet reads nothing, the local one keeps getting its frames of a changing picture.
  std::atomic<bool> painting{true};
  std::thread painter([&] {
    for (std::uint8_t shade = 0; painting; shade += 8) {
      screen.fill({320, 0, 320, 480}, Rgb{40, shade, 220});
      std::this_thread::sleep_for(20ms);
    }
  });
  tablet.send({{"type", "stall"}, {"seconds", 8}});
  EXPECT_EQ(localFrames(30), 30);
  painting = false;
  painter.join();
  EXPECT_FALSE(tablet.take("stalled", 0ms)) << "the stall ended before the local frames came";
  ASSERT_TRUE(next(tablet, [](const json& m) { return m["type"] == "stalled"; }, 30s));
  EXPECT_TRUE(seesColour(tablet, left, kLeftColour)) << "the remote tablet recovers";
}

}  // namespace
}  // namespace veltrano::test
