// A tablet built on our own data-channel peer (platform/webrtc), for the benchmarks: it speaks the JSON lines of
// tests/peers/chromium_tablet.mjs on its standard input and output, so that the benchmarks run it where they run
// the Chromium tablet (in the peer's network namespace) and measure the host's share apart from the browser's.
// Everything it does runs on its network thread, where the channels report: a chunk is confirmed and an upload's
// next frame goes out from inside the report that allows it, with no hop to another thread.
//
// Understood: "start" ({"channels", "answerer", "echo", "report", "vlc1"}), "offer", "answer", "candidate",
// "expect", "blast", "ping", "receipts" ({"size"}: each whole message is answered with that many bytes instead
// of an echo), "download" and "upload" as the Chromium tablet takes them. It reports "offer", "answer",
// "candidate", "state", "open", "received", "blasted", "pings", "downloaded", "uploaded" and, with "report",
// each whole control message it does not take itself ({"type": "message", "label", "text"}).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/webrtc/network_thread.hpp"
#include "platform/webrtc/peer_connection.hpp"
#include "remote/chunk_reassembly.hpp"
#include "remote/data_channel_chunks.hpp"

namespace veltrano {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::mutex outputMutex;

void emit(const json& message) {
  const std::string line = message.dump() + "\n";
  std::lock_guard lock(outputMutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::uint64_t readBigEndian(const Bytes& bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes[at + i];
  return value;
}

void writeBigEndian(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

std::span<const std::byte> asSpan(const Bytes& bytes) { return std::as_bytes(std::span(bytes)); }

class Tablet;

class Channel final : public webrtc::DataChannelObserver {
 public:
  Channel(Tablet& tablet, std::shared_ptr<webrtc::DataChannel> channel)
      : tablet_(tablet), channel(std::move(channel)), label(this->channel->label()) {}
  void onStateChange() override;
  void onMessage(std::span<const std::byte> message, bool binary) override;
  void onBufferedAmountChange() override;

  Tablet& tablet_;
  const std::shared_ptr<webrtc::DataChannel> channel;
  const std::string label;
  bool openReported = false;
};

// Lives on the network thread, apart from its construction.
class Tablet final : public webrtc::PeerConnectionObserver, public std::enable_shared_from_this<Tablet> {
 public:
  void handle(const json& message) {
    const std::string type = message.value("type", "");
    if (type == "start") return start(message);
    if (type == "offer") {
      return peer_->setRemoteDescription({webrtc::SdpType::offer, message["sdp"]}, [self = shared_from_this()](auto) {
        self->peer_->createAnswer([self](std::optional<webrtc::SessionDescription> answer, std::string) {
          if (!answer) return;
          self->peer_->setLocalDescription(*answer, [](auto) {});
          emit({{"type", "answer"}, {"sdp", answer->sdp}});
        });
      });
    }
    if (type == "answer") return peer_->setRemoteDescription({webrtc::SdpType::answer, message["sdp"]}, [](auto) {});
    if (type == "candidate") {
      return peer_->addIceCandidate(
          {message["candidate"], message.value("sdpMLineIndex", 0), message.value("sdpMid", std::string("0"))},
          [](auto) {});
    }
    if (type == "expect") {
      sink_ = true;
      received_ = 0;
      expected_ = message["bytes"];
      return count(0);
    }
    if (type == "receipts") {
      receiptSize_ = message["size"];
      return;
    }
    if (type == "blast") {
      blast_ = {find(message["label"]), message["bytes"], message["size"], 0};
      return pumpBlast();
    }
    if (type == "ping") {
      ping_ = {find(message["label"]), message["size"], message["count"], {}, {}};
      return sendPing();
    }
    if (type == "download") {
      transfer_ = Transfer{};
      transfer_.kind = Transfer::Kind::download;
      return sendControl({{"type", "filePickerRequest"}});
    }
    if (type == "upload") {
      transfer_ = Transfer{};
      transfer_.kind = Transfer::Kind::upload;
      transfer_.transferID = message["transferID"];
      transfer_.size = message["size"];
      transfer_.sha256 = message["sha256"];
      transfer_.content.resize(transfer_.size);
      for (std::size_t i = 0; i < transfer_.size; ++i) {
        transfer_.content[i] = static_cast<std::uint8_t>((i ^ (i >> 8) ^ (i >> 16)) * 31);
      }
      return sendControl({{"type", "fileUploadOffer"}, {"flow", "upload"}, {"transferID", transfer_.transferID},
                          {"name", "bench.bin"}, {"size", transfer_.size}});
    }
  }

  // PeerConnectionObserver.
  void onIceCandidate(const webrtc::IceCandidate& candidate) override {
    emit({{"type", "candidate"}, {"candidate", candidate.sdp}, {"sdpMid", candidate.sdpMid.value_or("0")},
          {"sdpMLineIndex", candidate.sdpMLineIndex}});
  }
  void onConnectionStateChange(webrtc::PeerConnectionState state) override {
    static const char* const names[] = {"new", "connecting", "connected", "disconnected", "failed", "closed"};
    emit({{"type", "state"}, {"state", names[static_cast<int>(state)]}});
  }
  void onDataChannel(std::shared_ptr<webrtc::DataChannel> channel) override { wire(std::move(channel)); }

  void opened(Channel& channel) {
    if (channel.openReported || channel.channel->readyState() != webrtc::DataChannelState::open) return;
    channel.openReported = true;
    emit({{"type", "open"}, {"label", channel.label}});
  }

  void receive(Channel& channel, std::span<const std::byte> data) {
    if (ping_.channel && ping_.awaiting) {
      ping_.awaiting = false;
      ping_.rtts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - ping_.start).count());
      return sendPing();
    }
    if (sink_) return count(data.size());
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    const auto whole = assemblies_.receive(channel.label, bytes, Clock::now());
    if (!whole) return;
    if (report_) return reportMessage(channel, *whole);
    if (receiptSize_) {
      send(channel, Bytes(*receiptSize_, 0x52));
      return;
    }
    if (echo_) send(channel, *whole);
  }

  void drained(Channel& channel) {
    if (blast_.channel == &channel) pumpBlast();
    if (transfer_.kind == Transfer::Kind::upload && channel.label == "veltrano.file") pumpUpload();
  }

 private:
  struct Transfer {
    enum class Kind { none, download, upload } kind = Kind::none;
    std::string transferID;
    std::uint64_t size = 0;
    std::string sha256;
    Bytes content;
    std::uint64_t sent = 0;
    bool sending = false;
  };
  struct Blast {
    Channel* channel = nullptr;
    std::uint64_t bytes = 0;
    std::uint64_t size = 0;
    std::uint64_t sent = 0;
  };
  struct Ping {
    Channel* channel = nullptr;
    std::size_t size = 0;
    int left = 0;
    std::vector<double> rtts;
    Clock::time_point start;
    bool awaiting = false;
  };
  static constexpr std::uint64_t unconfirmedLimit = 4 << 20;  // as the Chromium tablet keeps

  void start(const json& message) {
    echo_ = message.value("echo", true);
    report_ = message.value("report", false);
    vlc1_ = message.value("vlc1", false);
    peer_ = webrtc::createPeerConnection({}, weak_from_this());
    if (!peer_) {
      std::fputs("webrtc tablet: no peer connection\n", stderr);
      std::exit(1);
    }
    for (const std::string label : message["channels"]) wire(peer_->createDataChannel(label, {}));
    if (message.value("answerer", false)) return;
    peer_->createOffer([self = shared_from_this()](std::optional<webrtc::SessionDescription> offer, std::string) {
      if (!offer) return;
      self->peer_->setLocalDescription(*offer, [](auto) {});
      emit({{"type", "offer"}, {"sdp", offer->sdp}});
    });
  }

  void wire(std::shared_ptr<webrtc::DataChannel> dataChannel) {
    if (!dataChannel) return;
    auto channel = std::make_shared<Channel>(*this, std::move(dataChannel));
    channels_[channel->label] = channel;
    channel->channel->setObserver(channel);
    opened(*channel);
  }

  Channel* find(const std::string& label) {
    const auto found = channels_.find(label);
    return found == channels_.end() ? nullptr : found->second.get();
  }

  // Whole messages go out as "VLC1" chunks when the tablet speaks it, else as they are.
  bool send(Channel& channel, const Bytes& message) {
    if (!vlc1_ && !report_) return channel.channel->send(asSpan(message), true);
    bool sent = true;
    for (const Bytes& chunk : makeChunks(message, ++nextMessageID_)) sent = channel.channel->send(asSpan(chunk), true) && sent;
    return sent;
  }
  void sendControl(const json& message) {
    const std::string text = message.dump();
    if (Channel* control = find("veltrano.control")) send(*control, Bytes(text.begin(), text.end()));
  }

  void count(std::size_t bytes) {
    received_ += bytes;
    if (received_ < expected_) return;
    sink_ = false;
    emit({{"type", "received"}, {"bytes", received_}});
  }

  void pumpBlast() {
    if (!blast_.channel) return;
    const Bytes message(blast_.size, 0);
    while (blast_.sent < blast_.bytes && blast_.channel->channel->bufferedAmount() <= unconfirmedLimit) {
      if (!blast_.channel->channel->send(asSpan(message), true)) return;  // the next drain goes on
      blast_.sent += blast_.size;
    }
    if (blast_.sent < blast_.bytes) return;
    blast_ = {};
    emit({{"type", "blasted"}});
  }

  void sendPing() {
    if (ping_.left-- == 0) {
      emit({{"type", "pings"}, {"rtts", ping_.rtts}});
      ping_ = {};
      return;
    }
    ping_.awaiting = true;
    ping_.start = Clock::now();
    ping_.channel->channel->send(asSpan(Bytes(ping_.size, 0x33)), true);
  }

  void reportMessage(Channel& channel, const Bytes& message) {
    if (moveFile(channel, message)) return;
    if (channel.label != "veltrano.control" && channel.label != "veltrano.input") return;
    emit({{"type", "message"}, {"label", channel.label}, {"text", std::string(message.begin(), message.end())}});
  }

  // The transfer's own messages; false for the others.
  bool moveFile(Channel& channel, const Bytes& message) {
    if (transfer_.kind == Transfer::Kind::none) return false;
    if (channel.label == "veltrano.file" && transfer_.kind == Transfer::Kind::download) {
      if (message.size() < 56) return true;
      const std::uint64_t end = readBigEndian(message, 44, 8) + readBigEndian(message, 52, 4);
      sendControl({{"type", "fileStatus"}, {"status", "received"}, {"transferID", transfer_.transferID},
                   {"offset", end}});
      return true;
    }
    if (channel.label != "veltrano.control") return false;
    const json command = json::parse(message.begin(), message.end(), nullptr, false);
    if (!command.is_object()) return false;
    const std::string type = command.value("type", "");
    if (transfer_.kind == Transfer::Kind::download && type == "fileOffer") {
      transfer_.transferID = command["transferID"];
      sendControl({{"type", "fileAccept"}, {"transferID", transfer_.transferID}});
    } else if (transfer_.kind == Transfer::Kind::download && type == "fileComplete") {
      emit({{"type", "downloaded"}, {"size", command["size"]}, {"sha256", command["sha256"]}});
      transfer_ = {};
    } else if (transfer_.kind == Transfer::Kind::upload && type == "fileUploadAccept") {
      transfer_.sending = true;
      pumpUpload();
    } else if (transfer_.kind == Transfer::Kind::upload && type == "fileStatus" &&
               command.value("status", "") == "received") {
      if (command.value("offset", std::uint64_t{0}) == transfer_.size) {
        sendControl({{"type", "fileComplete"}, {"flow", "upload"}, {"transferID", transfer_.transferID},
                     {"size", transfer_.size}, {"sha256", transfer_.sha256}});
      }
    } else if (transfer_.kind == Transfer::Kind::upload && type == "fileUploadStored") {
      emit({{"type", "uploaded"}});
      transfer_ = {};
    } else if (type != "fileStatus") {
      return false;
    }
    return true;
  }

  // Frames of 49152 bytes while less than the limit is unconfirmed; a drain of the file channel goes on.
  void pumpUpload() {
    Channel* file = find("veltrano.file");
    if (!file || !transfer_.sending) return;
    while (transfer_.sent < transfer_.size && file->channel->bufferedAmount() <= unconfirmedLimit) {
      const std::uint64_t length = std::min<std::uint64_t>(49152, transfer_.size - transfer_.sent);
      Bytes frame(56 + length, 0);
      std::copy_n("VLF1", 4, frame.begin());
      frame[4] = 1;
      std::copy(transfer_.transferID.begin(), transfer_.transferID.end(), frame.begin() + 8);
      writeBigEndian(frame, 44, transfer_.sent, 8);
      writeBigEndian(frame, 52, length, 4);
      std::copy_n(transfer_.content.begin() + static_cast<std::ptrdiff_t>(transfer_.sent), length, frame.begin() + 56);
      if (!send(*file, frame)) return;
      transfer_.sent += length;
    }
  }

  std::shared_ptr<webrtc::PeerConnection> peer_;
  std::map<std::string, std::shared_ptr<Channel>> channels_;
  ChunkReassembly assemblies_;
  std::uint32_t nextMessageID_ = 0;
  bool echo_ = true;
  bool report_ = false;
  bool vlc1_ = false;
  bool sink_ = false;
  std::uint64_t received_ = 0;
  std::uint64_t expected_ = 0;
  std::optional<std::size_t> receiptSize_;
  Blast blast_;
  Ping ping_;
  Transfer transfer_;
};

void Channel::onStateChange() { tablet_.opened(*this); }
void Channel::onMessage(std::span<const std::byte> message, bool) { tablet_.receive(*this, message); }
void Channel::onBufferedAmountChange() { tablet_.drained(*this); }

int run() {
  const auto token = webrtc::startNetworkThread();
  const auto thread = webrtc::NetworkThread::running();
  const auto tablet = std::make_shared<Tablet>();
  std::string line;
  while (std::getline(std::cin, line)) {
    json message = json::parse(line, nullptr, false);
    if (!message.is_object()) continue;
    thread->post([tablet, message = std::move(message)] { tablet->handle(message); });
  }
  // Input closed: the benchmark is done with this tablet.
  std::_Exit(0);
}

}  // namespace
}  // namespace veltrano

int main() { return veltrano::run(); }
