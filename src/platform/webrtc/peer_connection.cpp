#include "platform/webrtc/peer_connection.hpp"

#include <limits>
#include <mutex>

#include "platform/webrtc/descriptor_headroom.hpp"
#include "platform/webrtc/ice_servers.hpp"
#include "platform/webrtc/peer_connection_core.hpp"

namespace veltrano::webrtc {
namespace {

// The connection callers hold: every call hops to the network thread, where the core lives and dies.
class ThreadedPeerConnection final : public PeerConnection {
 public:
  ThreadedPeerConnection(std::shared_ptr<NetworkThread> thread, std::shared_ptr<PeerConnectionCore> core,
                         PeerConfiguration configuration)
      : thread_(std::move(thread)), core_(std::move(core)), configuration_(std::move(configuration)) {}

  ~ThreadedPeerConnection() override {
    thread_->post([core = std::move(core_)] { core->close(); });
  }

  void createOffer(DescriptionCompletion done) override {
    onCore([done = std::move(done)](PeerConnectionCore& core) mutable { core.createOffer(std::move(done)); });
  }
  void createAnswer(DescriptionCompletion done) override {
    onCore([done = std::move(done)](PeerConnectionCore& core) mutable { core.createAnswer(std::move(done)); });
  }
  void setLocalDescription(SessionDescription description, StepCompletion done) override {
    onCore([description = std::move(description), done = std::move(done)](PeerConnectionCore& core) mutable {
      core.setLocalDescription(description, std::move(done));
    });
  }
  void setRemoteDescription(SessionDescription description, StepCompletion done) override {
    onCore([description = std::move(description), done = std::move(done)](PeerConnectionCore& core) mutable {
      core.setRemoteDescription(description, std::move(done));
    });
  }
  void addIceCandidate(IceCandidate candidate, StepCompletion done) override {
    onCore([candidate = std::move(candidate), done = std::move(done)](PeerConnectionCore& core) mutable {
      core.addIceCandidate(candidate, std::move(done));
    });
  }
  void restartIce() override {
    onCore([](PeerConnectionCore& core) { core.restartIce(); });
  }
  PeerConfiguration configuration() const override {
    std::lock_guard lock(mutex_);
    return configuration_;
  }
  bool setConfiguration(const PeerConfiguration& configuration) override {
    if (!iceServersValid(configuration.iceServers)) return false;
    {
      std::lock_guard lock(mutex_);
      configuration_ = configuration;
    }
    onCore([servers = configuration.iceServers, relayOnly = configuration.iceTransportPolicy == IceTransportPolicy::relay](
               PeerConnectionCore& core) mutable { core.setServers(std::move(servers), relayOnly); });
    return true;
  }
  std::shared_ptr<DataChannel> createDataChannel(const std::string& label, const DataChannelInit& init) override {
    if (closed_ || label.size() > std::numeric_limits<std::uint16_t>::max()) return nullptr;
    auto channel = std::make_shared<ThreadedDataChannel>(thread_, label, core_->remoteMaxMessageSize());
    onCore([channel, init](PeerConnectionCore& core) { core.openChannel(channel, init); });
    return channel;
  }
  void getStatistics(StatisticsCompletion done) override {
    onCore([done = std::move(done)](PeerConnectionCore& core) { done(core.statistics()); });
  }
  void close() override {
    closed_ = true;
    onCore([](PeerConnectionCore& core) { core.close(); });
  }

 private:
  template <class F>
  void onCore(F work) {
    thread_->post([core = core_, work = std::move(work)]() mutable { work(*core); });
  }

  std::shared_ptr<NetworkThread> thread_;
  std::shared_ptr<PeerConnectionCore> core_;
  mutable std::mutex mutex_;
  PeerConfiguration configuration_;
  std::atomic<bool> closed_ = false;
};

}  // namespace

std::shared_ptr<void> startNetworkThread() { return NetworkThread::start(); }

std::shared_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                     std::weak_ptr<PeerConnectionObserver> observer) {
  if (!iceServersValid(configuration.iceServers)) return nullptr;
  if (!hasDescriptorHeadroom()) return nullptr;
  std::shared_ptr<const DtlsIdentity> identity;
  try {
    identity = DtlsIdentity::generate();
  } catch (const std::exception&) {
    return nullptr;
  }
  auto thread = NetworkThread::running();
  if (!thread) return nullptr;
  auto core = std::make_shared<PeerConnectionCore>(thread, std::move(identity), configuration.iceServers,
                                                   configuration.iceTransportPolicy == IceTransportPolicy::relay,
                                                   configuration.serverLookupLimit, std::move(observer));
  thread->post([core] { core->start(); });
  return std::make_shared<ThreadedPeerConnection>(std::move(thread), std::move(core), configuration);
}

}  // namespace veltrano::webrtc
