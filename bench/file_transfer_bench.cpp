// File-transfer throughput over loopback, end to end: the real control server and file-channel server in a host
// process of their own (this program started again with --host), and a tablet-like client here that runs the
// real handshakes, takes the hello, binds the file channel and moves one file to or from disk.
//
//   veltrano_bench_file_transfer download --file SRC --out DST
//       the host's user "picks" SRC; the client confirms every frame as it writes it to DST
//   veltrano_bench_file_transfer upload --file SRC --dest DST [--window BYTES]
//       the client offers SRC with up to BYTES unconfirmed (default 32 frames); the host's user "chooses" DST
//
// Each run starts a fresh host process, so the host's CPU time (user + system, all its threads, from wait4) is
// that of one transfer plus its start and stop. The time measured runs from the client's first connect to the
// host's final message ("fileComplete" or "fileUploadStored"), the file fully written. Prints a readable line and
// a "RESULT key=value ..." line for bench/file_transfer_compare.sh.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/continuation.hpp"
#include "base/encoding.hpp"
#include "base/executors.hpp"
#include "control/input_command_handler.hpp"
#include "control/input_controller.hpp"
#include "control/network_host_server.hpp"
#include "core/log_sink.hpp"
#include "core/metrics_store.hpp"
#include "filetransfer/file_panels.hpp"
#include "filetransfer/local_file_transfer_server.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "platform/crypto/signing_key.hpp"
#include "preset_file_panels.hpp"
#include "support/local_file_transfer_client.hpp"

extern char** environ;

namespace {

using namespace veltrano;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kTransferTimeout = std::chrono::seconds(120);
constexpr auto kStepTimeout = std::chrono::seconds(10);

// --- Host process ---


std::optional<std::string> readLine(int fd) {
  std::string line;
  char c = 0;
  while (true) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
}

struct HostParts {
  std::shared_ptr<LocalFileTransferServer> fileServer;
  std::shared_ptr<NetworkHostServer> server;
};

// Starts the file server first and the control server last, reports the control port, waits for `stop`, then
// stops them in the other order.
asio::awaitable<void> hostLifecycle(HostParts host, Continuation<> stop) {
  co_await host.fileServer->start();
  co_await host.server->start();
  std::printf("ready %u\n", static_cast<unsigned>(host.server->listeningPort()));
  std::fflush(stdout);
  co_await stop.wait();
  co_await host.server->stop();
  co_await host.fileServer->stop();
}

// The host side: the account key's seed (hex) comes as the first line on stdin; the end of stdin stops the host.
int runHost(const fs::path& pick, const fs::path& destination) {
  const auto seedText = readLine(STDIN_FILENO);
  const auto seed = seedText ? hexDecode(*seedText) : std::nullopt;
  if (!seed) {
    std::fprintf(stderr, "host: no account key on stdin\n");
    return 2;
  }
  const auto accountKey = platform::SigningKey::fromSeed(*seed);
  setLogSink(nullptr);

  // Left alive on purpose: the shared I/O threads may still post to the main executor until the process's exit
  // joins them, after this function returned.
  asio::io_context& mainContext = *new asio::io_context;
  auto mainGuard = asio::make_work_guard(mainContext);
  setMainExecutor(mainContext.get_executor(), std::this_thread::get_id());

  auto coordinator = RemoteFileTransferCoordinator::create(std::make_shared<bench::PresetPanels>(pick, destination));
  LocalFileTransferServer::Options fileOptions;
  fileOptions.port = 0;
  fileOptions.identityProvider = [accountKey] { return VeltranoIdentity(accountKey); };
  auto fileServer = LocalFileTransferServer::create(std::move(fileOptions));

  auto input = InputController::create(nullptr, [] { return true; });
  auto metrics = std::make_shared<MetricsStore>();
  auto handler = InputCommandHandler::create(input, metrics);
  NetworkHostServer::Options options;
  options.port = 0;
  options.commandHandler = handler;
  options.metrics = metrics;
  options.identityProvider = [accountKey] { return VeltranoIdentity(accountKey); };
  options.fileServer = fileServer;
  options.fileTransfers = coordinator;
  auto server = NetworkHostServer::create(std::move(options));
  handler->setBroadcaster(server);

  // The wiring the host's model does: upload frames to the coordinator, a lost file channel to the control server.
  std::weak_ptr<RemoteFileTransferCoordinator> weakCoordinator = coordinator;
  fileServer->setOnFileData([weakCoordinator](std::string sessionID, Bytes record) -> asio::awaitable<void> {
    if (auto coordinator = weakCoordinator.lock()) {
      co_await coordinator->handleIncomingChunk(std::move(record), std::move(sessionID));
    }
  });
  std::weak_ptr<NetworkHostServer> weakServer = server;
  fileServer->setOnSessionDisconnected([weakServer](std::string sessionID) -> asio::awaitable<void> {
    if (auto server = weakServer.lock()) co_await server->fileChannelLost(std::move(sessionID));
  });

  Continuation<> stop;
  std::thread stdinWatcher([stop] {
    char buffer[256];
    while (true) {
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
    }
    stop.resume();
  });

  std::exception_ptr failure;
  asio::co_spawn(sharedIo().executor(), hostLifecycle(HostParts{fileServer, server}, stop),
                 [&](std::exception_ptr error) {
                   failure = error;
                   asio::post(mainContext, [&] { mainGuard.reset(); });
                 });
  mainContext.run();
  stdinWatcher.join();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "host: %s\n", error.what());
    }
    return 1;
  }
  return 0;
}

// --- Client side ---

struct HostProcess {
  pid_t pid = -1;
  int input = -1;   // the host's stdin
  int output = -1;  // the host's stdout
};

HostProcess spawnHost(const fs::path& pick, const fs::path& destination) {
  int toHost[2];
  int fromHost[2];
  if (::pipe2(toHost, O_CLOEXEC) != 0 || ::pipe2(fromHost, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toHost[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromHost[1], STDOUT_FILENO);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<std::string> arguments = {self, "--host", "--pick", pick.string(), "--save", destination.string()};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  HostProcess host;
  const int spawned = ::posix_spawn(&host.pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toHost[0]);
  ::close(fromHost[1]);
  if (spawned != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawned));
  host.input = toHost[1];
  host.output = fromHost[0];
  return host;
}

std::uint16_t awaitHostReady(const HostProcess& host) {
  pollfd readable{host.output, POLLIN, 0};
  if (::poll(&readable, 1, static_cast<int>(std::chrono::milliseconds(kStepTimeout).count())) != 1) {
    throw std::runtime_error("the host did not start in time");
  }
  const auto line = readLine(host.output);
  unsigned port = 0;
  if (!line || std::sscanf(line->c_str(), "ready %u", &port) != 1 || port == 0 || port > 65535) {
    throw std::runtime_error("the host did not start");
  }
  return static_cast<std::uint16_t>(port);
}

// Ends the host (end of its stdin) and returns its CPU seconds; kills it if it does not exit in time.
double stopHost(HostProcess& host) {
  if (host.input >= 0) ::close(host.input);
  host.input = -1;
  const auto deadline = SteadyClock::now() + kStepTimeout;
  int status = 0;
  rusage usage{};
  while (true) {
    const pid_t done = ::wait4(host.pid, &status, WNOHANG, &usage);
    if (done == host.pid) break;
    if (done < 0) throw std::runtime_error("wait4 failed");
    if (SteadyClock::now() > deadline) {
      ::kill(host.pid, SIGKILL);
      ::wait4(host.pid, &status, 0, &usage);
      throw std::runtime_error("the host did not stop in time");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::close(host.output);
  if (WIFSIGNALED(status)) throw std::runtime_error("the host died of signal " + std::to_string(WTERMSIG(status)));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("the host failed with status " + std::to_string(WEXITSTATUS(status)));
  }
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

asio::awaitable<testing::FileTransferOutcome> runClient(std::uint16_t port, platform::SigningKey key,
                                                        std::string direction, fs::path file, fs::path local,
                                                        std::uint64_t window) {
  auto client = co_await testing::LocalFileTransferClient::connect(port, key);
  testing::FileTransferOutcome outcome;
  if (direction == "download") {
    outcome = co_await client->download(local);
  } else {
    const std::string name = file.filename().string();
    outcome = co_await client->upload(file, name, window);
  }
  client->close();
  co_return outcome;
}

std::map<std::string, std::string> parseOptions(int argc, char** argv, int first) {
  std::map<std::string, std::string> options;
  for (int i = first; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    if (!key.starts_with("--")) throw std::runtime_error("unexpected argument " + key);
    options[key.substr(2)] = argv[i + 1];
  }
  return options;
}

int usage() {
  std::fprintf(stderr,
               "usage: veltrano_bench_file_transfer download --file SRC --out DST\n"
               "       veltrano_bench_file_transfer upload --file SRC --dest DST [--window BYTES]\n");
  return 2;
}

int runMeasurement(const std::string& direction, const std::map<std::string, std::string>& options) {
  const auto option = [&](const std::string& key) -> std::optional<std::string> {
    auto it = options.find(key);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  };
  const auto source = option("file");
  const auto target = direction == "download" ? option("out") : option("dest");
  if (!source || !target) return usage();
  const std::uint64_t window = option("window") ? std::stoull(*option("window")) : 32 * maximumChunkPayloadSize;
  const fs::path file = fs::absolute(*source);
  const fs::path local = fs::absolute(*target);
  const std::uint64_t size = fs::file_size(file);

  const auto key = platform::SigningKey::generate();
  // The host picks `file` for a download, and stores an upload at `local`.
  HostProcess host = spawnHost(direction == "download" ? file : fs::path(), direction == "upload" ? local : fs::path());
  double hostCpu = 0;
  double seconds = 0;
  std::exception_ptr failure;
  try {
    const std::string seedLine = hexEncode(key.seed()) + "\n";
    if (::write(host.input, seedLine.data(), seedLine.size()) != static_cast<ssize_t>(seedLine.size())) {
      throw std::runtime_error("cannot reach the host");
    }
    const std::uint16_t port = awaitHostReady(host);
    const auto start = SteadyClock::now();
    auto future = asio::co_spawn(sharedIo().executor(), runClient(port, key, direction, file, local, window),
                                 asio::use_future);
    if (future.wait_for(kTransferTimeout) != std::future_status::ready) throw std::runtime_error("transfer timed out");
    future.get();
    seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    hostCpu = stopHost(host);
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);

  const double megabytesPerSecond = static_cast<double>(size) / 1e6 / seconds;
  const double gibibytes = static_cast<double>(size) / (1024.0 * 1024.0 * 1024.0);
  const double cpuPerGiB = hostCpu / gibibytes;
  std::printf("%-8s %.1f MiB in %.3f s: %.1f MB/s; host CPU %.3f s (%.3f s/GiB)%s\n", direction.c_str(),
              static_cast<double>(size) / (1024.0 * 1024.0), seconds, megabytesPerSecond, hostCpu, cpuPerGiB,
              direction == "upload" ? (", window " + std::to_string(window) + " B").c_str() : "");
  std::printf("RESULT direction=%s bytes=%llu seconds=%.6f mbps=%.2f host_cpu_s=%.4f host_cpu_s_per_gib=%.4f\n",
              direction.c_str(), static_cast<unsigned long long>(size), seconds, megabytesPerSecond, hostCpu,
              cpuPerGiB);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  veltrano::ThreadPools pools;
  try {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    const auto options = parseOptions(argc, argv, 2);
    if (mode == "--host") return runHost(options.at("pick"), options.at("save"));
    if (mode == "download" || mode == "upload") return runMeasurement(mode, options);
    return usage();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "file_transfer_bench: %s\n", error.what());
    return 1;
  }
}
