#pragma once
// A stand-in for the data-channel peer of platform/webrtc: peer connections and channels that record what they
// are asked to do and answer on a network thread of their own, as the real peer does. Tests drive the other side
// (candidates, state changes, channels the tablet opens, arriving messages, statistics) through them.
#include <boost/asio/io_context.hpp>
#include <boost/asio/executor_work_guard.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/webrtc/peer_connection.hpp"

namespace veltrano::testing {

// The network thread the fakes answer on.
class FakeNetworkThread {
 public:
  FakeNetworkThread();
  ~FakeNetworkThread();
  // Runs what is queued and ends the thread; work posted later is dropped.
  void stop();
  void post(std::function<void()> work);
  // Waits until everything posted so far has run.
  void flush();

 private:
  boost::asio::io_context context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::thread thread_;
};

class FakeDataChannel final : public webrtc::DataChannel {
 public:
  FakeDataChannel(std::shared_ptr<FakeNetworkThread> network, std::string label, webrtc::DataChannelInit init,
                  webrtc::DataChannelState state);

  std::string label() const override { return label_; }
  webrtc::DataChannelState readyState() const override;
  std::uint64_t bufferedAmount() const override;
  bool send(std::span<const std::byte> message, bool binary) override;
  void close() override;
  void setObserver(std::weak_ptr<webrtc::DataChannelObserver> observer) override;

  const webrtc::DataChannelInit& init() const { return init_; }
  // The other side: the channel opens, a message arrives (each reported on the network thread).
  void open();
  void deliver(std::vector<std::uint8_t> message);
  void setBufferedAmount(std::uint64_t amount);
  // Sends after the next `accepted` ones are refused.
  void refuseSendsAfter(std::size_t accepted);
  std::vector<std::vector<std::uint8_t>> sent() const;
  bool isClosed() const;

 private:
  const std::shared_ptr<FakeNetworkThread> network_;
  const std::string label_;
  const webrtc::DataChannelInit init_;
  mutable std::mutex mutex_;
  webrtc::DataChannelState state_;
  std::uint64_t bufferedAmount_ = 0;
  std::optional<std::size_t> sendsLeft_;
  std::vector<std::vector<std::uint8_t>> sent_;
  std::weak_ptr<webrtc::DataChannelObserver> observer_;
};

class FakePeerConnection final : public webrtc::PeerConnection {
 public:
  FakePeerConnection(std::shared_ptr<FakeNetworkThread> network, webrtc::PeerConfiguration configuration,
                     std::weak_ptr<webrtc::PeerConnectionObserver> observer);

  void createOffer(webrtc::DescriptionCompletion done) override;
  void createAnswer(webrtc::DescriptionCompletion done) override;
  void setLocalDescription(webrtc::SessionDescription description, webrtc::StepCompletion done) override;
  void setRemoteDescription(webrtc::SessionDescription description, webrtc::StepCompletion done) override;
  void addIceCandidate(webrtc::IceCandidate candidate, webrtc::StepCompletion done) override;
  void restartIce() override;
  webrtc::PeerConfiguration configuration() const override;
  bool setConfiguration(const webrtc::PeerConfiguration& configuration) override;
  std::shared_ptr<webrtc::DataChannel> createDataChannel(const std::string& label,
                                                         const webrtc::DataChannelInit& init) override;
  void getStatistics(webrtc::StatisticsCompletion done) override;
  void close() override;

  // What the session asked for.
  struct Record {
    std::vector<webrtc::SessionDescription> remoteDescriptions;
    std::vector<webrtc::SessionDescription> localDescriptions;
    std::vector<webrtc::IceCandidate> addedCandidates;
    std::vector<std::shared_ptr<FakeDataChannel>> createdChannels;
    webrtc::PeerConfiguration configuration;
    int offersCreated = 0;
    int answersCreated = 0;
    int restarts = 0;
    int statisticsRequests = 0;
    bool closed = false;
  };
  Record record() const;

  // How it answers. Remote descriptions may be held until released, to see what arrives meanwhile.
  void failNextRemoteDescription(std::string error);
  void holdRemoteDescriptions();
  void releaseHeldRemoteDescription();
  void rejectConfigurations();
  void answerStatisticsWith(webrtc::StatisticsReport report);

  // The other side, reported on the network thread.
  void emitCandidate(webrtc::IceCandidate candidate);
  void emitConnectionState(webrtc::PeerConnectionState state);
  std::shared_ptr<FakeDataChannel> emitDataChannel(const std::string& label, webrtc::DataChannelState state);

 private:
  void complete(const webrtc::StepCompletion& done, std::optional<std::string> error);

  const std::shared_ptr<FakeNetworkThread> network_;
  const std::weak_ptr<webrtc::PeerConnectionObserver> observer_;
  mutable std::mutex mutex_;
  Record record_;
  std::optional<std::string> nextRemoteError_;
  bool holdRemote_ = false;
  std::vector<webrtc::StepCompletion> heldRemote_;
  bool rejectConfigurations_ = false;
  webrtc::StatisticsReport statistics_;
};

// Makes fake peer connections and keeps them for the test.
class FakePeerFactory {
 public:
  FakePeerFactory();
  ~FakePeerFactory();
  FakePeerFactory(const FakePeerFactory&) = delete;
  FakePeerFactory& operator=(const FakePeerFactory&) = delete;
  std::function<std::shared_ptr<webrtc::PeerConnection>(const webrtc::PeerConfiguration&,
                                                        std::weak_ptr<webrtc::PeerConnectionObserver>)>
  function();
  void refuse() {
    std::lock_guard lock(mutex_);
    refuse_ = true;
  }
  std::shared_ptr<FakePeerConnection> last() const;
  FakeNetworkThread& network() { return *network_; }

 private:
  const std::shared_ptr<FakeNetworkThread> network_;
  mutable std::mutex mutex_;
  bool refuse_ = false;
  std::vector<std::shared_ptr<FakePeerConnection>> made_;
};

}  // namespace veltrano::testing
