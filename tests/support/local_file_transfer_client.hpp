#pragma once
// A tablet-like file-transfer client of the local host: the control channel (hello, JSON messages) and the file
// channel bound to the hello's file session, both through the real handshake. Downloads to and uploads from files
// on disk. Uploads keep up to `window` bytes unconfirmed (the host takes one channel's frames strictly in order);
// "fileComplete" goes out after the last byte's receipt, since on the other channel it could overtake the frames.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/awaitable.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/encoding.hpp"
#include "base/json.hpp"
#include "base/uuid.hpp"
#include "filetransfer/file_system.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/crypto/signing_key.hpp"
#include "support/local_test_client.hpp"

namespace veltrano::testing {

struct FileTransferOutcome {
  std::string transferID;
  std::uint64_t size = 0;
  std::string sha256;  // as the host confirmed it
};

class LocalFileTransferClient {
 public:
  // Connects the control channel, takes the hello, connects the file channel and binds it to the hello's file
  // session. Throws when the host offers no file session.
  static boost::asio::awaitable<std::shared_ptr<LocalFileTransferClient>> connect(
      std::uint16_t controlPort, platform::SigningKey accountKey,
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    // Named arguments: GCC 12 destroys a braced temporary inside a co_await expression twice.
    const LocalTestClientOptions options;
    auto control = co_await LocalTestClient::connect(controlPort, LocalTransportChannel::control, accountKey, options);
    std::optional<json::Json> hello = co_await control->nextJSON(timeout);
    if (!hello || json::stringMember(*hello, "type") != "hello") throw std::runtime_error("no hello from the host");
    const auto filePort = json::uintMember(*hello, "filePort");
    const auto sessionID = json::stringMember(*hello, "fileSessionID");
    if (!filePort || *filePort > 65535 || !sessionID) throw std::runtime_error("the hello offers no file session");
    auto file = co_await LocalTestClient::connect(static_cast<std::uint16_t>(*filePort), LocalTransportChannel::file,
                                                  accountKey, options);
    file->sendJSONLine(json::Json{{"type", "bindFileChannel"}, {"sessionID", *sessionID}});
    co_return std::shared_ptr<LocalFileTransferClient>(
        new LocalFileTransferClient(std::move(control), std::move(file), timeout));
  }

  // Asks for a file (the host's user picks it), accepts the offer and writes the frames to `destination`
  // (created or truncated), confirming each one as it arrives. Checks the host's size and SHA-256 against what arrived.
  boost::asio::awaitable<FileTransferOutcome> download(std::filesystem::path destination) {
    control_->sendJSONLine(json::Json{{"type", "filePickerRequest"}});
    const json::Json offer = co_await nextOfType("fileOffer");
    const std::string transferID = requiredString(offer, "transferID");
    const std::uint64_t size = requiredUInt(offer, "size");

    FileDescriptor out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out) throwErrno("open download destination");
    control_->sendJSONLine(json::Json{{"type", "fileAccept"}, {"transferID", transferID}});

    platform::Sha256 hasher;
    std::uint64_t received = 0;
    while (received < size) {
      std::optional<Bytes> record = co_await file_->nextRecord(timeout_);
      if (!record) throw std::runtime_error("no download frame in time");
      const RemoteFileChunk chunk = decodeChunkFrame(*record);
      if (chunk.transferID != transferID || chunk.offset != received || chunk.payload.empty() ||
          chunk.payload.size() > size - received) {
        throw std::runtime_error("unexpected download frame");
      }
      // Confirmed once held, as a tablet does: the host reads the next piece while this one goes to disk.
      const std::uint64_t at = received;
      received += chunk.payload.size();
      control_->sendJSONLine(json::Json{
          {"type", "fileStatus"}, {"status", "received"}, {"transferID", transferID}, {"offset", received}});
      writeAllAt(out.get(), chunk.payload, at);
      hasher.update(chunk.payload);
    }
    out.closeChecked();

    const json::Json complete = co_await nextOfType("fileComplete");
    FileTransferOutcome outcome{transferID, requiredUInt(complete, "size"), requiredString(complete, "sha256")};
    if (outcome.size != size || outcome.sha256 != hexEncode(hasher.finish())) {
      throw std::runtime_error("download does not match the host's size or checksum");
    }
    co_return outcome;
  }

  // Offers `source` under `name`, waits for the host's user to choose a destination, then sends the file with up
  // to `window` bytes unconfirmed (at least one frame), and completes it once every byte is confirmed.
  boost::asio::awaitable<FileTransferOutcome> upload(std::filesystem::path source, std::string name,
                                                    std::uint64_t window) {
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) throwErrno("open upload source");
    struct stat status {};
    if (::fstat(in.get(), &status) != 0) throwErrno("fstat upload source");
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const std::string transferID = Uuid::random().text();
    window = std::max<std::uint64_t>(window, maximumChunkPayloadSize);

    control_->sendJSONLine(json::Json{{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", transferID},
                                      {"name", name}, {"size", size}});
    co_await nextOfType("fileUploadAccept");

    platform::Sha256 hasher;
    Bytes buffer(maximumChunkPayloadSize);
    std::uint64_t sent = 0;
    std::uint64_t confirmed = 0;
    while (confirmed < size) {
      while (sent < size && sent - confirmed < window) {
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(maximumChunkPayloadSize, size - sent));
        readAllAt(in.get(), std::span<std::uint8_t>(buffer.data(), length), sent);
        const ByteView payload(buffer.data(), length);
        hasher.update(payload);
        file_->sendRecord(encodeChunkFrame(transferID, sent, payload));
        sent += length;
      }
      const json::Json receipt = co_await nextOfType("fileStatus");
      if (json::stringMember(receipt, "status") != "received") continue;
      confirmed = std::max(confirmed, requiredUInt(receipt, "offset"));
    }

    const std::string sha256 = hexEncode(hasher.finish());
    control_->sendJSONLine(json::Json{{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", transferID},
                                      {"size", size}, {"sha256", sha256}});
    const json::Json stored = co_await nextOfType("fileUploadStored");
    FileTransferOutcome outcome{transferID, requiredUInt(stored, "size"), requiredString(stored, "sha256")};
    if (outcome.size != size || outcome.sha256 != sha256) throw std::runtime_error("the host stored something else");
    co_return outcome;
  }

  void close() {
    file_->close();
    control_->close();
  }

  LocalTestClient& control() { return *control_; }
  LocalTestClient& file() { return *file_; }

 private:
  LocalFileTransferClient(std::shared_ptr<LocalTestClient> control, std::shared_ptr<LocalTestClient> file,
                          std::chrono::milliseconds timeout)
      : control_(std::move(control)), file_(std::move(file)), timeout_(timeout) {}

  // The next control message of `type`, skipping progress messages; a "fileError" or "fileCancel" throws.
  boost::asio::awaitable<json::Json> nextOfType(std::string_view type) {
    while (true) {
      std::optional<json::Json> message = co_await control_->nextJSON(timeout_);
      if (!message) throw std::runtime_error("no \"" + std::string(type) + "\" from the host in time");
      const auto messageType = json::stringMember(*message, "type");
      if (messageType == type) co_return *message;
      if (messageType == "fileError" || messageType == "fileCancel") {
        throw std::runtime_error("the host ended the transfer: " + json::dump(*message));
      }
    }
  }

  static std::string requiredString(const json::Json& message, std::string_view key) {
    auto value = json::stringMember(message, key);
    if (!value) throw std::runtime_error("message without \"" + std::string(key) + "\": " + json::dump(message));
    return *value;
  }
  static std::uint64_t requiredUInt(const json::Json& message, std::string_view key) {
    auto value = json::uintMember(message, key);
    if (!value) throw std::runtime_error("message without \"" + std::string(key) + "\": " + json::dump(message));
    return *value;
  }

  static void writeAllAt(int fd, ByteView bytes, std::uint64_t offset) {
    while (!bytes.empty()) {
      const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throwErrno("pwrite");
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      offset += static_cast<std::uint64_t>(n);
    }
  }
  static void readAllAt(int fd, std::span<std::uint8_t> bytes, std::uint64_t offset) {
    while (!bytes.empty()) {
      const ssize_t n = ::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throwErrno("pread");
      if (n == 0) throw std::runtime_error("upload source shrank");
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      offset += static_cast<std::uint64_t>(n);
    }
  }

  std::shared_ptr<LocalTestClient> control_;
  std::shared_ptr<LocalTestClient> file_;
  const std::chrono::milliseconds timeout_;
};

}  // namespace veltrano::testing
