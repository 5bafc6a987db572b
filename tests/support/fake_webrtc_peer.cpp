#include "support/fake_webrtc_peer.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

namespace veltrano::testing {

FakeNetworkThread::FakeNetworkThread() : guard_(context_.get_executor()), thread_([this] { context_.run(); }) {}

FakeNetworkThread::~FakeNetworkThread() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) stop();
  if (thread_.joinable()) thread_.detach();
}

void FakeNetworkThread::stop() {
  guard_.reset();
  if (thread_.joinable()) thread_.join();
}

void FakeNetworkThread::post(std::function<void()> work) { boost::asio::post(context_, std::move(work)); }

void FakeNetworkThread::flush() { boost::asio::post(context_, boost::asio::use_future).get(); }

FakeDataChannel::FakeDataChannel(std::shared_ptr<FakeNetworkThread> network, std::string label,
                                 webrtc::DataChannelInit init, webrtc::DataChannelState state)
    : network_(std::move(network)), label_(std::move(label)), init_(init), state_(state) {}

webrtc::DataChannelState FakeDataChannel::readyState() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::uint64_t FakeDataChannel::bufferedAmount() const {
  std::lock_guard lock(mutex_);
  return bufferedAmount_;
}

bool FakeDataChannel::send(std::span<const std::byte> message, bool binary) {
  std::lock_guard lock(mutex_);
  if (state_ != webrtc::DataChannelState::open || !binary) return false;
  if (sendsLeft_) {
    if (*sendsLeft_ == 0) return false;
    --*sendsLeft_;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
  sent_.emplace_back(bytes, bytes + message.size());
  return true;
}

void FakeDataChannel::close() {
  std::lock_guard lock(mutex_);
  state_ = webrtc::DataChannelState::closed;
}

void FakeDataChannel::setObserver(std::weak_ptr<webrtc::DataChannelObserver> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void FakeDataChannel::open() {
  std::weak_ptr<webrtc::DataChannelObserver> observer;
  {
    std::lock_guard lock(mutex_);
    state_ = webrtc::DataChannelState::open;
    observer = observer_;
  }
  network_->post([observer] {
    if (const auto o = observer.lock()) o->onStateChange();
  });
}

void FakeDataChannel::deliver(std::vector<std::uint8_t> message) {
  std::weak_ptr<webrtc::DataChannelObserver> observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  network_->post([observer, message = std::move(message)] {
    if (const auto o = observer.lock()) o->onMessage(std::as_bytes(std::span(message)), true);
  });
}

void FakeDataChannel::setBufferedAmount(std::uint64_t amount) {
  std::lock_guard lock(mutex_);
  bufferedAmount_ = amount;
}

void FakeDataChannel::refuseSendsAfter(std::size_t accepted) {
  std::lock_guard lock(mutex_);
  sendsLeft_ = accepted;
}

std::vector<std::vector<std::uint8_t>> FakeDataChannel::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

bool FakeDataChannel::isClosed() const { return readyState() == webrtc::DataChannelState::closed; }

FakePeerConnection::FakePeerConnection(std::shared_ptr<FakeNetworkThread> network,
                                       webrtc::PeerConfiguration configuration,
                                       std::weak_ptr<webrtc::PeerConnectionObserver> observer)
    : network_(std::move(network)), observer_(std::move(observer)) {
  record_.configuration = std::move(configuration);
}

void FakePeerConnection::createOffer(webrtc::DescriptionCompletion done) {
  std::lock_guard lock(mutex_);
  const int number = ++record_.offersCreated;
  network_->post([done = std::move(done), number] {
    done(webrtc::SessionDescription{webrtc::SdpType::offer, "fake offer " + std::to_string(number)}, "");
  });
}

void FakePeerConnection::createAnswer(webrtc::DescriptionCompletion done) {
  std::lock_guard lock(mutex_);
  const int number = ++record_.answersCreated;
  network_->post([done = std::move(done), number] {
    done(webrtc::SessionDescription{webrtc::SdpType::answer, "fake answer " + std::to_string(number)}, "");
  });
}

void FakePeerConnection::setLocalDescription(webrtc::SessionDescription description, webrtc::StepCompletion done) {
  std::lock_guard lock(mutex_);
  record_.localDescriptions.push_back(std::move(description));
  complete(done, std::nullopt);
}

void FakePeerConnection::setRemoteDescription(webrtc::SessionDescription description, webrtc::StepCompletion done) {
  std::lock_guard lock(mutex_);
  record_.remoteDescriptions.push_back(std::move(description));
  if (holdRemote_) {
    heldRemote_.push_back(std::move(done));
    return;
  }
  complete(done, std::exchange(nextRemoteError_, std::nullopt));
}

void FakePeerConnection::addIceCandidate(webrtc::IceCandidate candidate, webrtc::StepCompletion done) {
  std::lock_guard lock(mutex_);
  record_.addedCandidates.push_back(std::move(candidate));
  complete(done, std::nullopt);
}

void FakePeerConnection::restartIce() {
  std::lock_guard lock(mutex_);
  ++record_.restarts;
}

webrtc::PeerConfiguration FakePeerConnection::configuration() const {
  std::lock_guard lock(mutex_);
  return record_.configuration;
}

bool FakePeerConnection::setConfiguration(const webrtc::PeerConfiguration& configuration) {
  std::lock_guard lock(mutex_);
  if (rejectConfigurations_) return false;
  record_.configuration = configuration;
  return true;
}

std::shared_ptr<webrtc::DataChannel> FakePeerConnection::createDataChannel(const std::string& label,
                                                                           const webrtc::DataChannelInit& init) {
  std::lock_guard lock(mutex_);
  if (record_.closed) return nullptr;
  auto channel = std::make_shared<FakeDataChannel>(network_, label, init, webrtc::DataChannelState::connecting);
  record_.createdChannels.push_back(channel);
  return channel;
}

void FakePeerConnection::getStatistics(webrtc::StatisticsCompletion done) {
  std::lock_guard lock(mutex_);
  ++record_.statisticsRequests;
  network_->post([done = std::move(done), report = statistics_] { done(report); });
}

void FakePeerConnection::close() {
  std::lock_guard lock(mutex_);
  record_.closed = true;
}

FakePeerConnection::Record FakePeerConnection::record() const {
  std::lock_guard lock(mutex_);
  return record_;
}

void FakePeerConnection::failNextRemoteDescription(std::string error) {
  std::lock_guard lock(mutex_);
  nextRemoteError_ = std::move(error);
}

void FakePeerConnection::holdRemoteDescriptions() {
  std::lock_guard lock(mutex_);
  holdRemote_ = true;
}

void FakePeerConnection::releaseHeldRemoteDescription() {
  std::lock_guard lock(mutex_);
  holdRemote_ = false;
  for (const auto& done : std::exchange(heldRemote_, {})) complete(done, std::nullopt);
}

void FakePeerConnection::rejectConfigurations() {
  std::lock_guard lock(mutex_);
  rejectConfigurations_ = true;
}

void FakePeerConnection::answerStatisticsWith(webrtc::StatisticsReport report) {
  std::lock_guard lock(mutex_);
  statistics_ = std::move(report);
}

void FakePeerConnection::emitCandidate(webrtc::IceCandidate candidate) {
  network_->post([observer = observer_, candidate = std::move(candidate)] {
    if (const auto o = observer.lock()) o->onIceCandidate(candidate);
  });
}

void FakePeerConnection::emitConnectionState(webrtc::PeerConnectionState state) {
  network_->post([observer = observer_, state] {
    if (const auto o = observer.lock()) o->onConnectionStateChange(state);
  });
}

std::shared_ptr<FakeDataChannel> FakePeerConnection::emitDataChannel(const std::string& label,
                                                                     webrtc::DataChannelState state) {
  auto channel = std::make_shared<FakeDataChannel>(network_, label, webrtc::DataChannelInit{}, state);
  network_->post([observer = observer_, channel] {
    if (const auto o = observer.lock()) o->onDataChannel(channel);
  });
  return channel;
}

void FakePeerConnection::complete(const webrtc::StepCompletion& done, std::optional<std::string> error) {
  network_->post([done, error = std::move(error)] { done(error); });
}

FakePeerFactory::FakePeerFactory() : network_(std::make_shared<FakeNetworkThread>()) {}

// The fakes it made may outlive it in queued work; their network thread ends here, on the test's thread.
FakePeerFactory::~FakePeerFactory() { network_->stop(); }

std::function<std::shared_ptr<webrtc::PeerConnection>(const webrtc::PeerConfiguration&,
                                                      std::weak_ptr<webrtc::PeerConnectionObserver>)>
FakePeerFactory::function() {
  return [this](const webrtc::PeerConfiguration& configuration,
                std::weak_ptr<webrtc::PeerConnectionObserver> observer) -> std::shared_ptr<webrtc::PeerConnection> {
    std::lock_guard lock(mutex_);
    if (refuse_) return nullptr;
    auto peer = std::make_shared<FakePeerConnection>(network_, configuration, std::move(observer));
    made_.push_back(peer);
    return peer;
  };
}

std::shared_ptr<FakePeerConnection> FakePeerFactory::last() const {
  std::lock_guard lock(mutex_);
  return made_.empty() ? nullptr : made_.back();
}

}  // namespace veltrano::testing
