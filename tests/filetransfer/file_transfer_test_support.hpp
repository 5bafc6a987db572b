#pragma once
// Helpers for the file-transfer tests: a temporary folder with real files, a client endpoint that records what
// the host sends, and scripted open and save panels.
#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "base/encoding.hpp"
#include "base/executors.hpp"
#include "base/json.hpp"
#include "filetransfer/file_panels.hpp"
#include "filetransfer/file_transfer_message_routing.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "filetransfer/remote_file_transfer_coordinator.hpp"
#include "filetransfer/remote_file_transfer_endpoint.hpp"
#include "platform/crypto/sha256.hpp"
#include "support/run_blocking.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::testing {

// A temporary folder that also lists the hidden (partial) files the transfers leave in it.
class TempFolder : public TemporaryFolder {
 public:
  TempFolder() : TemporaryFolder("veltrano-ft") {}
  // Names in the folder that start with "." (hidden partial files among them).
  std::vector<std::string> hiddenNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path())) {
      auto name = entry.path().filename().string();
      if (name.starts_with(".")) names.push_back(name);
    }
    return names;
  }
};

inline Bytes randomBytes(std::size_t count, unsigned seed = 7) {
  std::mt19937 generator(seed);
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

inline void writeFile(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string sha256Hex(ByteView bytes) { return hexEncode(platform::sha256(bytes)); }

inline std::string upperCase(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The chunk frames that carry `content`, in order.
inline std::vector<Bytes> chunkFrames(const std::string& transferID, ByteView content) {
  std::vector<Bytes> frames;
  for (std::size_t offset = 0; offset < content.size(); offset += maximumChunkPayloadSize) {
    const auto length = std::min(maximumChunkPayloadSize, content.size() - offset);
    frames.push_back(encodeChunkFrame(transferID, offset, content.subspan(offset, length)));
  }
  return frames;
}

inline json::Json uploadOffer(const std::string& transferID, const std::string& name, std::uint64_t size) {
  return json::Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", transferID}, {"name", name},
                    {"size", size}};
}
inline json::Json uploadComplete(const std::string& transferID, std::uint64_t size, const std::string& sha256) {
  return json::Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", transferID}, {"size", size},
                    {"sha256", sha256}};
}
inline json::Json downloadReceipt(const std::string& transferID, std::uint64_t offset) {
  return json::Json{{"type", "fileStatus"}, {"status", "received"}, {"transferID", transferID}, {"offset", offset}};
}

// A client's receipt for a download frame, routed on the main thread as the control server routes it.
inline void confirmOnMain(std::weak_ptr<RemoteFileTransferCoordinator> weakCoordinator, std::string sessionID,
                          std::weak_ptr<RemoteFileTransferEndpoint> weakEndpoint, std::string transferID,
                          std::uint64_t offset) {
  performOnMainRunLoop([=] {
    auto coordinator = weakCoordinator.lock();
    auto endpoint = weakEndpoint.lock();
    if (coordinator && endpoint) {
      routeFileTransferMessage(*coordinator, downloadReceipt(transferID, offset), sessionID, endpoint);
    }
  });
}

// An endpoint that keeps every control message and hands file frames to a replaceable handler. Its state is
// shared with the endpoint's sinks, so a sender that outlives the test object stays safe.
class RecordingClient {
 public:
  using FrameHandler = std::function<boost::asio::awaitable<bool>(Bytes)>;

  RecordingClient() : state_(std::make_shared<State>()) {
    auto state = state_;
    endpoint = std::make_shared<RemoteFileTransferEndpoint>(
        [state](const json::Json& message) {
          std::lock_guard lock(state->mutex);
          state->messages.push_back(message);
        },
        [state](Bytes frame) -> boost::asio::awaitable<bool> {
          FrameHandler handler;
          {
            std::lock_guard lock(state->mutex);
            handler = state->frameHandler;
          }
          if (!handler) co_return false;
          co_return co_await handler(std::move(frame));
        });
  }

  void onFrame(FrameHandler handler) {
    std::lock_guard lock(state_->mutex);
    state_->frameHandler = std::move(handler);
  }
  std::vector<json::Json> messages() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages;
  }
  std::size_t count() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages.size();
  }
  // The first message of this type (and status, when given) at or after index `from`.
  std::optional<json::Json> find(const std::string& type, const std::string& status = {}, std::size_t from = 0) const {
    std::lock_guard lock(state_->mutex);
    for (std::size_t i = from; i < state_->messages.size(); ++i) {
      const auto& m = state_->messages[i];
      if (json::stringMember(m, "type") != type) continue;
      if (!status.empty() && json::stringMember(m, "status") != status) continue;
      return m;
    }
    return std::nullopt;
  }
  // The offsets of the upload receipts, in order.
  std::vector<std::uint64_t> receiptOffsets() const {
    std::vector<std::uint64_t> offsets;
    for (const auto& m : messages()) {
      if (json::stringMember(m, "status") == "received") offsets.push_back(json::uintMember(m, "offset").value_or(0));
    }
    return offsets;
  }
  std::vector<std::string> types() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> types;
    for (const auto& m : state_->messages) types.push_back(json::stringMember(m, "type").value_or("?"));
    return types;
  }

  RemoteFileTransferEndpointPtr endpoint;

 private:
  struct State {
    std::mutex mutex;
    std::vector<json::Json> messages;
    FrameHandler frameHandler;
  };
  std::shared_ptr<State> state_;
};

// Panels that the test closes: each begun panel waits until the test completes or cancels it; the completion
// then runs queued on the main thread, once.
class ScriptedPanels final : public FilePanelPresenter {
 public:
  class Panel final : public FilePanel, public std::enable_shared_from_this<Panel> {
   public:
    Panel(Completion completion, std::optional<std::uint32_t> display, bool isSave, std::string presetName)
        : isSave(isSave), presetName(std::move(presetName)), completion_(std::move(completion)), display_(display) {}
    void cancel() override {
      cancelled = true;
      finish(FilePanelResult{false, std::nullopt});
    }
    void reportDisplay(std::function<void(std::uint32_t)> report) override {
      if (display_) performOnMainRunLoop([report = std::move(report), display = *display_] { report(display); });
    }
    void choose(std::filesystem::path path) { finish(FilePanelResult{true, std::move(path)}); }
    void dismiss() { finish(FilePanelResult{false, std::nullopt}); }

    const bool isSave;
    const std::string presetName;
    bool cancelled = false;

   private:
    void finish(FilePanelResult result) {
      if (!completion_) return;
      auto completion = std::move(completion_);
      completion_ = nullptr;
      performOnMainRunLoop([completion, result] { completion(result); });
    }
    Completion completion_;
    std::optional<std::uint32_t> display_;
  };

  std::shared_ptr<FilePanel> beginOpenPanel(const OpenPanelOptions& options, Completion completion) override {
    lastOpenOptions = options;
    auto panel = std::make_shared<Panel>(std::move(completion), display, false, std::string());
    panels.push_back(panel);
    return panel;
  }
  std::shared_ptr<FilePanel> beginSavePanel(const SavePanelOptions& options, Completion completion) override {
    auto panel = std::make_shared<Panel>(std::move(completion), display, true, options.nameFieldValue);
    panels.push_back(panel);
    return panel;
  }
  void activateApplication() override {}

  std::shared_ptr<Panel> last() const { return panels.empty() ? nullptr : panels.back(); }

  std::optional<std::uint32_t> display = 42;
  std::vector<std::shared_ptr<Panel>> panels;
  OpenPanelOptions lastOpenOptions;
};

}  // namespace veltrano::testing
