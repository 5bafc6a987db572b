// The program itself, started as scripts/run starts it, capturing an X server of the test's own with two RandR
// monitors, in a network namespace of its own (so it takes the fixed ports there), watched by a local tablet:
// the video of a display that changes its size, goes away and comes back stays decodable and resumes by itself on
// the retry schedule while the host keeps serving; nothing grabs while nobody is connected; and when the X server
// dies the program ends with status 1, a clear log line, its ports closed and no partial upload left; a file panel
// opened on the second display is reported as on it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/json.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "media/media_envelope.hpp"
#include "platform/capture/capture_stream.hpp"
#include "platform/crypto/random.hpp"
#include "platform/h264/avc_record_reader.hpp"
#include "platform/h264/ffmpeg_decoder.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "support/eventually.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/host_program_process.hpp"
#include "support/local_test_client.hpp"
#include "support/private_network.hpp"
#include "support/temporary_folder.hpp"
#include "support/two_monitor_screen.hpp"

namespace veltrano::test {
namespace {

using namespace std::chrono_literals;
using testing::LocalTestClient;

constexpr Rgb kFirstColour{220, 40, 40};
constexpr Rgb kSecondColour{40, 200, 60};

// One stretch of a display's video: a configuration and the frames after it, as a tablet's decoder gets them.
struct VideoSegment {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  AvcRecord sets;
  std::vector<VideoFramePayload> frames;
};

// The segment decoded as a tablet does (the record's sets ahead of each keyframe): cleanly, every frame.
std::optional<DecodedVideo> decodeSegment(const VideoSegment& segment) {
  std::vector<std::uint8_t> stream;
  for (const auto& frame : segment.frames) {
    if (frame.keyframe) {
      for (const auto& nal : segment.sets.sps) appendAnnexB(stream, nal);
      for (const auto& nal : segment.sets.pps) appendAnnexB(stream, nal);
    }
    for (const auto& nal : splitLengthPrefixed(frame.accessUnit)) appendAnnexB(stream, nal);
  }
  auto video = decodeWithFfmpeg(stream, static_cast<int>(segment.width), static_cast<int>(segment.height));
  if (!video) return std::nullopt;
  EXPECT_EQ(video->errors, "") << segment.width << "x" << segment.height;
  EXPECT_EQ(video->frames.size(), segment.frames.size()) << "frames the decoder could not show";
  return video;
}

bool shows(const DecodedVideo& video, std::size_t frame, Rgb colour) {
  const auto rgb = video.rgbAt(frame, video.width / 2, video.height / 2);
  return std::abs(rgb[0] - colour.r) <= 30 && std::abs(rgb[1] - colour.g) <= 30 && std::abs(rgb[2] - colour.b) <= 30;
}

class HostProgramCaptureTest : public ::testing::Test {
 protected:
  // Each case runs again alone in a network namespace of its own; false here, true in that run.
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    // As for the program's other test: its Qt threads hand objects over through Qt's uninstrumented locks.
    GTEST_SKIP() << "reports inside uninstrumented Qt under ThreadSanitizer";
#endif
  }

  bool inOwnNetwork() {
    if (testing::insidePrivateNetwork()) return true;
    if (auto reason = testing::privateNetworkUnavailable()) {
      if (servicesRequired()) ADD_FAILURE() << *reason;
      return false;
    }
    EXPECT_EQ(testing::runCurrentTestInPrivateNetwork(), 0);
    return false;
  }

  // The program on the private screen with the account's key in its data folder; true once a control client of
  // the account gets its hello.
  bool startProgram() {
    const std::filesystem::path data = home / "data";
    platform::AccountKeyFile(data / "veltrano").readOrCreate([&] { return platform::SecureBytes(seed); });
    std::filesystem::create_directories(home / "runtime");
    std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
    std::map<std::string, std::string> environment{
        {"DISPLAY", screen.name()},
        {"HOME", home.path().string()},
        {"XDG_DATA_HOME", data.string()},
        {"XDG_CONFIG_HOME", (home / "config").string()},
        {"XDG_RUNTIME_DIR", (home / "runtime").string()},
    };
    if (!program.start(VELTRANO_HOST_PROGRAM, environment, home / "program.log")) return false;
    control = connect(9090, LocalTransportChannel::control, 60s);
    if (!control) return false;
    hello = control->nextJSONBlocking(10s);
    return hello && (*hello)["type"] == "hello";
  }

  std::shared_ptr<LocalTestClient> connect(std::uint16_t port, LocalTransportChannel channel,
                                           std::chrono::milliseconds within = 10s) {
    std::shared_ptr<LocalTestClient> client;
    testing::eventually(
        [&] {
          try {
            client = LocalTestClient::connectBlocking(port, channel, platform::SigningKey::fromSeed(seed));
            return true;
          } catch (const std::exception&) {
            return false;
          }
        },
        within);
    return client;
  }

  std::uint16_t videoPortOf(std::uint32_t displayID) const {
    for (const auto& display : (*hello)["displays"]) {
      if (display["id"] == displayID) return display["videoPort"];
    }
    return 0;
  }

  // Reads `video` into `segments` until `done` holds or `timeout` passes; false on a timeout or a closed stream.
  static bool readVideo(LocalTestClient& video, std::vector<VideoSegment>& segments,
                        const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::optional<Bytes> record;
      try {
        record = video.nextRecordBlocking(500ms);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "the video stream ended: " << e.what();
        return false;
      }
      if (!record) continue;
      const auto envelope = parseMediaEnvelope(*record);
      if (!envelope) {
        ADD_FAILURE() << "a record that is not one media envelope";
        return false;
      }
      if (envelope->type == MediaEnvelopeType::videoConfiguration) {
        const auto configuration = parseVideoConfigurationPayload(envelope->payload);
        if (!configuration) return false;
        VideoSegment segment{configuration->codedWidth, configuration->codedHeight,
                             readAvcRecord(configuration->decoderConfigurationRecord), {}};
        // The same configuration again ahead of a later keyframe continues the stretch.
        if (segments.empty() || segments.back().width != segment.width || segments.back().height != segment.height ||
            segments.back().sets.sps != segment.sets.sps || segments.back().sets.pps != segment.sets.pps) {
          segments.push_back(std::move(segment));
        }
      } else if (envelope->type == MediaEnvelopeType::videoFrame) {
        auto frame = parseVideoFramePayload(envelope->payload);
        if (!frame) return false;
        if (segments.empty()) {
          ADD_FAILURE() << "a frame before any configuration";
          return false;
        }
        if (segments.back().frames.empty() && !frame->keyframe) {
          ADD_FAILURE() << "a stretch that does not begin with a keyframe";
          return false;
        }
        segments.back().frames.push_back(std::move(*frame));
      }
    }
    return true;
  }

  int grabbingThreads() const {
    const auto names = program.threadNames();
    return static_cast<int>(std::count(names.begin(), names.end(), platform::CaptureStream::kCaptureThreadName));
  }

  // The next control message of `type`; the others before it are passed over.
  std::optional<json::Json> nextControl(const std::string& type) {
    for (int messages = 0; messages < 50; ++messages) {
      auto message = control->nextJSONBlocking(10s);
      if (!message || (*message)["type"] == type) return message;
    }
    return std::nullopt;
  }

  // The window that has the keyboard focus on the private screen.
  xcb_window_t keyboardFocus() {
    xcb_connection_t* c = screen.display().connection();
    xcb_get_input_focus_reply_t* reply = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
    const xcb_window_t focus = reply ? reply->focus : XCB_NONE;
    std::free(reply);
    return focus;
  }

  bool pingAnswered() {
    control->sendJSONLine({{"type", "ping"}});
    for (int replies = 0; replies < 20; ++replies) {
      const auto reply = control->nextJSONBlocking(10s);
      if (!reply) return false;
      if ((*reply)["type"] == "pong") return true;
    }
    return false;
  }

  TwoMonitorScreen screen;
  testing::TemporaryFolder home{"veltrano-program-capture"};
  const Bytes seed = platform::randomBytes(platform::AccountKeyFile::seedSize);
  testing::HostProgramProcess program;
  std::shared_ptr<LocalTestClient> control;
  std::optional<json::Json> hello;
};

// A display that changes its size restarts at the new size; one that goes away is retried until it is back. The
// tablet's video connection stays open throughout, and each stretch it receives decodes cleanly from a keyframe.
TEST_F(HostProgramCaptureTest, AWatchedDisplayThatChangesItsSizeOrGoesAwayAndComesBackStaysDecodableAndResumes) {
  VELTRANO_REQUIRE_FFMPEG();
  if (!inOwnNetwork()) return;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  ASSERT_TRUE(startProgram()) << program.output();
  screen.raise();  // over the program's window
  screen.fill({0, 0, 640, 480}, kFirstColour);
  const std::uint32_t right = screen.right().id;
  const std::string id = std::to_string(right);
  auto video = connect(videoPortOf(right), LocalTransportChannel::video);
  ASSERT_TRUE(video);
  std::vector<VideoSegment> segments;
  ASSERT_TRUE(readVideo(*video, segments, [&] { return segments.size() == 1 && segments[0].frames.size() >= 2; }));
  EXPECT_EQ(segments[0].width, 320u);
  EXPECT_EQ(segments[0].height, 480u);

  // A capture failure: the display's size changes under the running capture (RandR replaces a monitor without an
  // output only by removing it first).
  ASSERT_EQ(screen.runXrandr("--delmonitor VL-RIGHT"), 0);
  ASSERT_EQ(screen.runXrandr("--setmonitor VL-RIGHT 320/85x240/63+320+0 none"), 0);
  ASSERT_TRUE(readVideo(*video, segments, [&] { return segments.size() == 2 && !segments[1].frames.empty(); }))
      << program.output();
  EXPECT_EQ(segments[1].height, 240u);
  EXPECT_TRUE(program.wrote("Capture stream stopped display=" + id + ": Display " + id));
  EXPECT_TRUE(testing::eventually([&] { return program.wrote("Captura recuperada display=" + id + " intento=1"); },
                                  10s))
      << program.output();

  // The display goes away: its capture is retried while the host goes on serving, and the first attempt after it
  // is back restarts it.
  ASSERT_EQ(screen.runXrandr("--delmonitor VL-RIGHT"), 0);
  const std::string failedRetry = "capture retry 2 failed for display " + id;
  ASSERT_TRUE(testing::eventually([&] { return program.wrote(failedRetry); }, 20s)) << program.output();
  EXPECT_TRUE(pingAnswered()) << "the control channel is served while the display is away";
  screen.fill({320, 0, 320, 480}, kSecondColour);
  ASSERT_EQ(screen.runXrandr("--setmonitor VL-RIGHT 320/85x480/127+320+0 none"), 0);
  const std::size_t failuresWhileAway = program.count("failed for display " + id);
  ASSERT_TRUE(readVideo(*video, segments, [&] { return segments.size() == 3 && segments[2].frames.size() >= 2; }))
      << program.output();
  EXPECT_EQ(segments[2].height, 480u);
  // A failure logged just as the monitor came back is the only slack the schedule leaves.
  const std::size_t failures = program.count("failed for display " + id);
  EXPECT_LE(failures, failuresWhileAway + 1);
  const std::string recovered = "Captura recuperada display=" + id + " intento=" + std::to_string(failures + 1);
  EXPECT_TRUE(testing::eventually([&] { return program.wrote(recovered); }, 10s)) << program.output();
  EXPECT_TRUE(pingAnswered());

  const auto first = decodeSegment(segments[0]);
  const auto resized = decodeSegment(segments[1]);
  const auto back = decodeSegment(segments[2]);
  ASSERT_TRUE(first && resized && back) << "ffmpeg did not run";
  EXPECT_TRUE(shows(*first, 0, kFirstColour));
  EXPECT_TRUE(shows(*resized, 0, kFirstColour));
  EXPECT_TRUE(shows(*back, back->frames.size() - 1, kSecondColour));

  program.signal(SIGTERM);
  const auto status = program.waitForExit(30s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

// Capture runs only while a control client is connected: two seconds after it left no capture thread is left,
// and a display that comes back while nobody is connected is not captured again.
TEST_F(HostProgramCaptureTest, NoCaptureThreadGrabsWhileNobodyIsConnected) {
  if (!inOwnNetwork()) return;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  ASSERT_TRUE(startProgram()) << program.output();
  EXPECT_TRUE(testing::eventually([&] { return grabbingThreads() == 2; }, 20s)) << "one per display";

  control->close();
  EXPECT_TRUE(testing::eventually([&] { return grabbingThreads() == 0; }, 10s));
  EXPECT_TRUE(testing::eventually([&] { return program.wrote("Captura en pausa: sin dispositivos conectados"); }, 5s));

  control = connect(9090, LocalTransportChannel::control);
  ASSERT_TRUE(control && control->nextJSONBlocking(10s));
  ASSERT_TRUE(testing::eventually([&] { return grabbingThreads() == 2; }, 20s));
  const std::string id = std::to_string(screen.right().id);
  ASSERT_EQ(screen.runXrandr("--delmonitor VL-RIGHT"), 0);
  ASSERT_TRUE(testing::eventually([&] { return program.wrote("capture retry 1 failed for display " + id); }, 20s));
  EXPECT_TRUE(testing::eventually([&] { return grabbingThreads() == 1; }, 10s)) << "the other display's goes on";
  control->close();
  ASSERT_EQ(screen.runXrandr("--setmonitor VL-RIGHT 320/85x480/127+320+0 none"), 0);
  EXPECT_TRUE(testing::eventually([&] { return grabbingThreads() == 0; }, 10s));
  // Past the retry's next attempts (1 s, then 2 s): nothing starts again.
  for (int check = 0; check < 40; ++check) {
    ASSERT_EQ(grabbingThreads(), 0) << "a capture thread while nobody is connected";
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(program.wrote("Captura recuperada display=" + id));
}

// An open or a save panel opens where the pointer is, here on the second display: the tablet is told which.
TEST_F(HostProgramCaptureTest, APanelOpenedOnTheSecondDisplayIsReportedAsOnIt) {
  if (!inOwnNetwork()) return;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  ASSERT_TRUE(startProgram()) << program.output();
  const std::uint32_t right = screen.right().id;
  control->sendJSONLine({{"type", "mouseMove"}, {"x", 160}, {"y", 240}, {"displayID", right}});
  ASSERT_TRUE(pingAnswered());  // moves are not answered
  control->sendJSONLine({{"type", "filePickerRequest"}});
  EXPECT_EQ(nextControl("filePickerDisplay"), (json::Json{{"type", "filePickerDisplay"}, {"displayID", right}}));
  control->sendJSONLine({{"type", "fileCancel"}});
  control->sendJSONLine({{"type", "fileUploadOffer"}, {"flow", "upload"},
                         {"transferID", "0b7e3c55-2f4a-4d7e-8c1a-6a9b2d4e5f60"}, {"name", "photo.bin"}, {"size", 10}});
  EXPECT_EQ(nextControl("filePickerDisplay"),
            (json::Json{{"type", "filePickerDisplay"}, {"flow", "upload"}, {"displayID", right}}));
}

// The X server dies under a host that streams and stores an upload: the program ends as an X client does, with
// status 1, after one clear line, its clients' connections and its ports closed and the upload's partial file gone.
TEST_F(HostProgramCaptureTest, WhenTheXServerDiesTheProgramEndsWithStatusOneAndAClearLine) {
  if (!inOwnNetwork()) return;
  VELTRANO_START_TWO_MONITOR_SCREEN(screen);
  ASSERT_TRUE(startProgram()) << program.output();
  auto video = connect(videoPortOf(screen.left().id), LocalTransportChannel::video);
  ASSERT_TRUE(video);
  std::vector<VideoSegment> segments;
  ASSERT_TRUE(readVideo(*video, segments, [&] { return !segments.empty() && !segments[0].frames.empty(); }));

  // An upload half way: the computer's user names its destination in the save panel (typed by the tablet).
  auto file = connect(static_cast<std::uint16_t>((*hello)["filePort"].get<int>()), LocalTransportChannel::file);
  ASSERT_TRUE(file);
  file->sendJSONLine({{"type", "bindFileChannel"}, {"sessionID", (*hello)["fileSessionID"]}});
  const auto uploads = home / "uploads";
  std::filesystem::create_directory(uploads);
  const std::string transferID = "5d0c1a52-4f7e-4c1b-9a55-1f3f6b7e2c10";
  const Bytes content = platform::randomBytes(1'000'000);
  const xcb_window_t before = keyboardFocus();
  control->sendJSONLine({{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", transferID},
                         {"name", "photo.bin"}, {"size", content.size()}});
  control->sendJSONLine({{"type", "mouseMove"}, {"x", 320}, {"y", 240}});
  // The panel opens and takes the keyboard; a round trip through the program's main loop lets it take in that it
  // has.
  ASSERT_TRUE(testing::eventually(
      [&] {
        const xcb_window_t now = keyboardFocus();
        return now != before && now != XCB_NONE && now != XCB_INPUT_FOCUS_POINTER_ROOT;
      },
      30s))
      << "the save panel never took the keyboard";
  ASSERT_TRUE(pingAnswered());
  control->sendJSONLine({{"type", "text"}, {"value", (uploads / "photo.bin").string()}});
  control->sendJSONLine({{"type", "keyDown"}, {"key", "return"}});
  control->sendJSONLine({{"type", "keyUp"}, {"key", "return"}});
  ASSERT_TRUE(nextControl("fileUploadAccept")) << program.output();
  const std::size_t half = 10 * maximumChunkPayloadSize;
  for (std::size_t offset = 0; offset < half; offset += maximumChunkPayloadSize) {
    file->sendRecord(encodeChunkFrame(transferID, offset, ByteView(content).subspan(offset, maximumChunkPayloadSize)));
  }
  ASSERT_TRUE(nextControl("fileStatus"));
  ASSERT_FALSE(std::filesystem::is_empty(uploads)) << "the partial file";

  screen.kill();
  const auto status = program.waitForExit(20s);
  ASSERT_TRUE(status) << "the program outlived its X server:\n" << program.output();
  ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status) << ":\n" << program.output();
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_EQ(program.count("The connection to the X server broke"), 1u) << program.output();
  EXPECT_TRUE(control->waitUntilClosedBlocking(5s));
  EXPECT_TRUE(video->waitUntilClosedBlocking(5s));
  for (const auto port : testing::kHostPorts) EXPECT_FALSE(testing::acceptsConnections(port)) << port;
  EXPECT_TRUE(std::filesystem::is_empty(uploads)) << std::filesystem::directory_iterator(uploads)->path();
}

}  // namespace
}  // namespace veltrano::test
