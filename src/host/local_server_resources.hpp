#pragma once
// The host view model's records: one display's capture service, encoder and video server, and the bundle of
// servers one start-up built.
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "base/task.hpp"
#include "host/host_services.hpp"

namespace veltrano {

struct DisplaySession {
  std::uint32_t displayID = 0;
  std::uint16_t videoPort = 0;
  std::shared_ptr<HostCaptureService> capture;
  std::shared_ptr<HostVideoEncoder> encoder;
  std::shared_ptr<HostVideoServer> videoServer;
};

using DisplaySessions = std::map<std::uint32_t, DisplaySession>;

// Runs one closing at most once: a stop's shutdown and a start-up's failure path may both close the same
// bundle; the second caller waits for the first closing instead of closing a second time, so that whoever
// waits for it knows the ports are free. Main thread.
class TeardownOnce {
 public:
  asio::awaitable<void> run(std::function<asio::awaitable<void>()> teardown);

 private:
  Task teardown_;
};

struct LocalServerResources {
  std::uint64_t generation = 0;
  std::shared_ptr<HostControlServer> server;
  std::shared_ptr<HostAudioServer> audioServer;
  std::shared_ptr<HostFileServer> fileServer;
  DisplaySessions displaySessions;
  // Shared by every copy of the bundle.
  std::shared_ptr<TeardownOnce> teardown = std::make_shared<TeardownOnce>();
};

}  // namespace veltrano
