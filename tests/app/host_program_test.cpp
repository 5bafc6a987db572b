// The program itself, started headless with the test services: it serves a client on the control port, opens its
// open panel when the client asks to download, a second start hands over to it and ends, and it ends cleanly and
// in bounded time on SIGTERM with the panel still open and the picture streaming to a video client; in a tray host,
// its tray menu's quit, chosen with the pointer and the keyboard as a user would, ends it and closes every port,
// and closing its window while a tablet is connected leaves it serving from the tray until that quit ends it cleanly;
// started by scripts/run on a machine without a display, a bus or a DNS-SD daemon (a network namespace of its
// own), it reaches ready and serves a tablet across the network, GNOME's settings changed over the script's session
// bus land where it reads them, and the script leaves nothing running.
#include <QProcess>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string_view>
#include <thread>

#include "base/json.hpp"
#include "media/media_envelope.hpp"
#include "platform/crypto/random.hpp"
#include "platform/events/event_source.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "platform/x11/x11_display.hpp"
#include "platform/x11/xcb_reply.hpp"
#include "support/eventually.hpp"
#include "support/host_fixed_ports.hpp"
#include "support/local_test_client.hpp"
#include "support/network_namespaces.hpp"
#include "support/required_service.hpp"
#include "support/signaling_test_service.hpp"
#include "support/test_https_server.hpp"
#include "support/x11_test_env.hpp"
#include "support/x11_tray_input.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;

// The program's icon window where the tray host embedded it; nothing while it shows none.
std::optional<xcb_window_t> trayIconWindow() {
  std::optional<xcb_window_t> icon;
  FILE* pipe = ::popen("xwininfo -root -tree 2>/dev/null", "r");
  if (!pipe) return icon;
  // A child of the tray host's panel: '0x40000c "veltrano-host": ("veltrano-host" "veltrano-host")  22x22+0+0  +937+1057'
  const std::regex line(R"re((0x[0-9a-f]+) "veltrano-host": \("veltrano-host" "veltrano-host"\)\s+(\d+)x\d+\+)re");
  char text[1024];
  while (std::fgets(text, sizeof(text), pipe)) {
    std::cmatch match;
    const int indent = static_cast<int>(std::strspn(text, " "));
    // The window's own top-level window sits at the root; the icon is embedded deeper, in the panel.
    if (indent > 6 && std::regex_search(text, match, line) && std::stoi(match[2]) < 100) {
      icon = static_cast<xcb_window_t>(std::stoul(match[1], nullptr, 16));
    }
  }
  ::pclose(pipe);
  return icon;
}

// The account's tablet on the control port, once the program takes it; null when it never does within a minute.
std::shared_ptr<testing::LocalTestClient> connectTheAccountsClient(const Bytes& seed) {
  std::shared_ptr<testing::LocalTestClient> client;
  testing::eventually(
      [&] {
        try {
          client = testing::LocalTestClient::connectBlocking(9090, LocalTransportChannel::control,
                                                             platform::SigningKey::fromSeed(seed));
          return true;
        } catch (const std::exception&) {
          return false;
        }
      },
      60s);
  return client;
}

// Opens the program's tray menu with a click on its icon and chooses its last item, the quit, with the keyboard.
void chooseQuitInTheTrayMenu() {
  // The tray host may still be placing the icon: the click finds it wherever it is.
  std::optional<xcb_window_t> icon;
  ASSERT_TRUE(testing::eventually([&] { return (icon = trayIconWindow()).has_value(); }, 30s))
      << "the tray host shows no icon of the program";
  test::KeyboardGrabWatch watch;
  ASSERT_TRUE(watch.ready()) << "the test cannot hold the keyboard focus";
  ASSERT_TRUE(test::clickTrayIcon(*icon))
      << "the tray host never showed the icon, or the X server takes no synthetic input";
  // The menu is down once it holds the keyboard; its last item is the quit.
  ASSERT_TRUE(watch.grabbed(30s)) << "the tray menu never took the keyboard";
  auto input = platform::EventSource::create();
  ASSERT_NE(input, nullptr) << "the X server takes no synthetic input";
  for (const char* key : {"up", "return"}) {
    ASSERT_TRUE(input->postKey(key, platform::Press::down));
    ASSERT_TRUE(input->postKey(key, platform::Press::up));
  }
}

xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name) {
  const platform::XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The program's window while the user can see it: a mapped top-level window of the program's process. Its other
// top-level windows (the client leader, the selection owner) are never mapped, and its tray icon sits in the tray.
std::optional<xcb_window_t> shownWindowOf(const platform::X11Display& display, qint64 pid) {
  xcb_connection_t* connection = display.connection();
  const xcb_atom_t pidAtom = internAtom(connection, "_NET_WM_PID");
  const platform::XcbReply<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(connection, xcb_query_tree(connection, display.rootWindow()), nullptr));
  if (!tree) return std::nullopt;
  const xcb_window_t* windows = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    const platform::XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, windows[i]), nullptr));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
    const platform::XcbReply<xcb_get_property_reply_t> owner(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, windows[i], pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (owner && xcb_get_property_value_length(owner.get()) == sizeof(std::uint32_t) &&
        *static_cast<const std::uint32_t*>(xcb_get_property_value(owner.get())) == pid) {
      return windows[i];
    }
  }
  return std::nullopt;
}

// What a window manager sends when the user clicks a window's close button.
bool askToClose(const platform::X11Display& display, xcb_window_t window) {
  xcb_connection_t* connection = display.connection();
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = internAtom(connection, "WM_PROTOCOLS");
  message.data.data32[0] = internAtom(connection, "WM_DELETE_WINDOW");
  message.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
  return xcb_flush(connection) > 0;
}

// A home of the program's own holding the account key the tablet holds, and an environment that points there.
struct ProgramHome {
  ProgramHome() {
    if (!home.isValid()) return;
    const std::filesystem::path data = home.filePath("data").toStdString();
    platform::AccountKeyFile(data / "veltrano").readOrCreate([&] { return platform::SecureBytes(seed); });
    environment.insert("HOME", home.path());
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
  }
  // For a program that shows its window on the test's display, with its runtime folder in the home.
  void showsItsWindow() {
    environment.insert("XDG_RUNTIME_DIR", home.path());
  }
  // Starts the program in this home, its output on the test's; false when it did not start.
  bool start(QProcess& process) const {
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(VELTRANO_HOST_PROGRAM, {});
    return process.waitForStarted(10000);
  }
  QTemporaryDir home;
  const Bytes seed = platform::randomBytes(platform::AccountKeyFile::seedSize);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};

// A plain TCP connect: a listener would take it whoever asks.
bool portRefuses(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool refused = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0;
  ::close(fd);
  return refused;
}

TEST(HostProgram, ServesAClientOpensAPanelHandsOverASecondStartAndQuitsCleanlyWhileStreaming) {
#if defined(__SANITIZE_THREAD__)
  // The program's Qt threads (QML loader, D-Bus) hand objects over through Qt's uninstrumented futex locks, and
  // starting the program through QProcess leaves the test's own I/O queue reported as racing.
  GTEST_SKIP() << "reports inside uninstrumented Qt under ThreadSanitizer";
#endif
  VELTRANO_REQUIRE_X11();
  const testing::FixedPortsLock ports;  // other runs on this machine use the same ports
  ProgramHome programHome;
  ASSERT_TRUE(programHome.home.isValid());
  const Bytes& seed = programHome.seed;
  programHome.showsItsWindow();
  QProcess program;
  ASSERT_TRUE(programHome.start(program));

  const auto client = connectTheAccountsClient(seed);
  ASSERT_TRUE(client) << "the control port never accepted the account's client";
  const auto hello = client->nextJSONBlocking(10s);
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["type"], "hello");

  client->sendJSONLine({{"type", "filePickerRequest"}});
  std::optional<json::Json> status;
  while ((status = client->nextJSONBlocking(20s)) && (*status)["type"] != "fileStatus") {
  }
  ASSERT_TRUE(status) << "no answer to the download request";
  EXPECT_EQ((*status)["status"], "selecting");

  QProcess second;
  ASSERT_TRUE(programHome.start(second));
  ASSERT_TRUE(second.waitForFinished(30000)) << "a second start must hand over to the first and end";
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(program.state(), QProcess::Running);

  // The primary display's picture streams to a video client while the program is told to end.
  auto video = testing::LocalTestClient::connectBlocking(9100, LocalTransportChannel::video,
                                                         platform::SigningKey::fromSeed(seed));
  bool streaming = false;
  for (int records = 0; !streaming && records < 200; ++records) {
    const auto record = video->nextRecordBlocking(20s);
    if (!record) break;
    const auto envelope = parseMediaEnvelope(*record);
    streaming = envelope && envelope->type == MediaEnvelopeType::videoFrame;
  }
  ASSERT_TRUE(streaming) << "no video frame reached the video client";

  program.terminate();  // SIGTERM
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_TRUE(client->waitUntilClosedBlocking(10s));
  EXPECT_TRUE(video->waitUntilClosedBlocking(10s));
}

TEST(HostProgram, QuitChosenInTheRealTrayMenuEndsTheProgramAndClosesEveryPort) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "reports inside uninstrumented Qt under ThreadSanitizer";
#endif
  VELTRANO_REQUIRE_X11();
  VELTRANO_REQUIRE_SERVICE("tray host", test::trayHostProblem());
  const testing::FixedPortsLock ports;  // other runs on this machine use the same ports
  ProgramHome programHome;
  ASSERT_TRUE(programHome.home.isValid());
  const Bytes& seed = programHome.seed;
  programHome.showsItsWindow();
  QProcess program;
  ASSERT_TRUE(programHome.start(program));

  // Ready: it serves the account's tablet.
  const auto client = connectTheAccountsClient(seed);
  ASSERT_TRUE(client) << "the control port never accepted the account's client";
  const auto hello = client->nextJSONBlocking(10s);
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["type"], "hello");

  ASSERT_NO_FATAL_FAILURE(chooseQuitInTheTrayMenu());
  ASSERT_TRUE(program.waitForFinished(30000)) << "the menu's quit did not end the program";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_TRUE(client->waitUntilClosedBlocking(10s));
  // Control, audio, file and the first display's video port.
  for (const std::uint16_t port : {9090, 9092, 9093, 9100}) {
    EXPECT_TRUE(portRefuses(port)) << "port " << port << " still takes connections";
  }
}

TEST(HostProgram, ClosingTheWindowLeavesItServingFromTheTrayAndItsLaterEndClean) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "reports inside uninstrumented Qt under ThreadSanitizer";
#endif
  VELTRANO_REQUIRE_X11();
  VELTRANO_REQUIRE_SERVICE("tray host", test::trayHostProblem());
  const testing::FixedPortsLock ports;  // other runs on this machine use the same ports
  ProgramHome programHome;
  ASSERT_TRUE(programHome.home.isValid());
  programHome.showsItsWindow();
  QProcess program;
  ASSERT_TRUE(programHome.start(program));
  const auto client = connectTheAccountsClient(programHome.seed);
  ASSERT_TRUE(client) << "the control port never accepted the account's client";
  ASSERT_TRUE(client->nextJSONBlocking(10s));

  // Closed while the tablet is connected, the window goes; the program stays in the tray, serving the tablet.
  const auto display = platform::X11Display::open();
  ASSERT_NE(display, nullptr);
  std::optional<xcb_window_t> window;
  ASSERT_TRUE(testing::eventually([&] { return (window = shownWindowOf(*display, program.processId())).has_value(); },
                                  30s))
      << "the program never showed its window";
  ASSERT_TRUE(askToClose(*display, *window));
  EXPECT_TRUE(testing::eventually([&] { return !shownWindowOf(*display, program.processId()); }, 10s))
      << "the window stayed on screen";
  EXPECT_FALSE(program.waitForFinished(1000)) << "closing the window ended the program";
  client->sendJSONLine({{"type", "ping"}});
  std::optional<json::Json> reply;
  while ((reply = client->nextJSONBlocking(10s)) && (*reply)["type"] != "pong") {
  }
  EXPECT_TRUE(reply) << "no pong once the window was closed";

  // The tray menu's quit then ends it cleanly (under the address sanitizer: with nothing left allocated).
  ASSERT_NO_FATAL_FAILURE(chooseQuitInTheTrayMenu());
  ASSERT_TRUE(program.waitForFinished(30000)) << "the menu's quit did not end the program";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_TRUE(client->waitUntilClosedBlocking(10s));
}

TEST(HostProgram, ReportsAnalyticsWithTheDeviceIdentifierRemoteAccessSignsInWith) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "reports inside uninstrumented Qt under ThreadSanitizer";
#endif
  VELTRANO_REQUIRE_X11();
  VELTRANO_REQUIRE_SERVICE("network namespaces", testing::NetworkNamespaces::unavailable());
  // The collector, the signaling service and the program share a namespace of their own.
  testing::NetworkNamespaces network;
  testing::TestHttpsServer collector(testing::TestHttpsServer::Mode::respond);
  testing::SignalingTestService signaling;
  ProgramHome programHome;
  ASSERT_TRUE(programHome.home.isValid());
  programHome.showsItsWindow();
  const QString authorities = programHome.home.filePath("ca.pem");
  std::ofstream(authorities.toStdString()) << collector.certificatePem() << signaling.authorityPem();
  programHome.environment.insert("SSL_CERT_FILE", authorities);
  programHome.environment.insert("VELTRANO_ANALYTICS_URL",
                                 QString("https://localhost:%1/veltrano/v1/metrics").arg(collector.port()));
  programHome.environment.insert("VELTRANO_SIGNALING_URL",
                                 QString("wss://localhost:%1/veltrano/v1/signal").arg(signaling.port()));
  QProcess program;
  ASSERT_TRUE(programHome.start(program));

  const auto authenticated = signaling.waitForEvent("authenticated ", 0, 60s);
  ASSERT_TRUE(authenticated) << "the program never signed in to the signaling service";
  const std::string signedInAs = authenticated->substr(std::string("authenticated ").size());
  ASSERT_TRUE(collector.waitForRequests(2, 30s));
  for (const auto& request : collector.requests()) {
    EXPECT_EQ(request.target, "/veltrano/v1/metrics");
    EXPECT_EQ(json::Json::parse(request.body)["deviceId"], signedInAs) << request.body;
  }
  const QSettings kept(programHome.home.filePath("config/veltrano/veltrano-host.conf"), QSettings::IniFormat);
  EXPECT_EQ(kept.value("veltrano.deviceID.mac").toString().toStdString(), signedInAs);

  program.terminate();
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitCode(), 0);
}

TEST(HostProgram, StartedByTheRunScriptOnAMachineWithoutServicesReachesReadyAndServesATabletAcrossTheNetwork) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "reports inside uninstrumented Qt under ThreadSanitizer";
#endif
  VELTRANO_REQUIRE_SERVICE("network namespaces", testing::NetworkNamespaces::unavailable());
  testing::NetworkNamespaces network;
  ProgramHome programHome;
  QTemporaryDir avahiRun;
  ASSERT_TRUE(programHome.home.isValid() && avahiRun.isValid());
  const Bytes& seed = programHome.seed;

  // Nothing of the test's services: no display, no reachable system bus or sound server, no runtime folder.
  auto& environment = programHome.environment;
  for (const char* name : {"DISPLAY", "VELTRANO_TEST_TRAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
    environment.remove(name);
  }
  environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/veltrano/system_bus_socket");
  environment.insert("PULSE_SERVER", "unix:/nonexistent/veltrano/pulse");
  environment.insert("VELTRANO_BUILD_DIR", VELTRANO_BUILD_ROOT);
  const QString runEnv = programHome.home.filePath("run.env");
  environment.insert("VELTRANO_RUN_ENV", runEnv);
  QProcess run;
  run.setProcessEnvironment(environment);
  run.setProcessChannelMode(QProcess::ForwardedChannels);
  // avahi-daemon keeps its pid file in /run/avahi-daemon: in the namespace's own mount namespace that folder is
  // the test's, so the daemon the script starts meets no other.
  run.start("ip", {"netns", "exec", QString::fromStdString(network.peerNamespace()), "sh", "-c",
                   "mount --bind \"$0\" /run/avahi-daemon && exec bash \"$1\"", avahiRun.path(),
                   QStringLiteral(VELTRANO_SOURCE_ROOT "/scripts/run")});
  ASSERT_TRUE(run.waitForStarted(10000));

  // A tablet on the network, holding the account key.
  std::shared_ptr<testing::LocalTestClient> client;
  const bool connected = testing::eventually(
      [&] {
        if (run.state() != QProcess::Running) return true;
        try {
          client = testing::LocalTestClient::connectBlocking(9090, LocalTransportChannel::control,
                                                             platform::SigningKey::fromSeed(seed),
                                                             {.host = testing::NetworkNamespaces::kPeerAddress});
          return true;
        } catch (const std::exception&) {
          return false;
        }
      },
      120s);
  ASSERT_TRUE(connected && client) << "the program never accepted the tablet";
  const auto hello = client->nextJSONBlocking(10s);
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["type"], "hello");

  // A desktop tool turning GNOME's animations off over the script's session bus: dconf is started there and
  // writes where the program reads. Without the script's bus, the tool must find none.
  QProcess settings;
  auto settingsEnvironment = environment;
  settingsEnvironment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/veltrano/session_bus_socket");
  settings.setProcessEnvironment(settingsEnvironment);
  settings.start("bash", {"-c",
                          "source \"$0\" && gsettings set org.gnome.desktop.interface enable-animations false && "
                          "gsettings get org.gnome.desktop.interface enable-animations",
                          runEnv});
  ASSERT_TRUE(settings.waitForFinished(30000));
  EXPECT_EQ(settings.readAllStandardOutput().trimmed().toStdString(), "false")
      << settings.readAllStandardError().toStdString();

  // Ended, the script stops the program and every service it started.
  run.terminate();
  ASSERT_TRUE(run.waitForFinished(60000));
  EXPECT_TRUE(client->waitUntilClosedBlocking(10s));
  QProcess left;
  left.start("ip", {"netns", "pids", QString::fromStdString(network.peerNamespace())});
  ASSERT_TRUE(left.waitForFinished(10000));
  EXPECT_EQ(left.readAllStandardOutput().trimmed().toStdString(), "") << "processes left in the namespace";
}

}  // namespace
}  // namespace veltrano
