#include "remote/remote_signaling.hpp"

namespace veltrano {
namespace {

class SignalingClientAdapter final : public RemoteSignaling {
 public:
  explicit SignalingClientAdapter(std::shared_ptr<SignalingClient> client) : client_(std::move(client)) {}
  boost::asio::awaitable<void> start() override { co_await client_->start(); }
  boost::asio::awaitable<void> stop() override { co_await client_->stop(); }
  boost::asio::awaitable<std::uint64_t> networkChanged() override { co_return co_await client_->networkChanged(); }
  void setNetworkPathAvailable(bool available) override { client_->setNetworkPathAvailable(available); }
  boost::asio::awaitable<void> sendSignal(std::string to, std::string sessionID, std::string kind,
                                          Bytes data) override {
    auto operation = client_->sendSignal(std::move(to), std::move(sessionID), std::move(kind), std::move(data));
    co_await std::move(operation);
  }

 private:
  const std::shared_ptr<SignalingClient> client_;
};

}  // namespace

RemoteSignalingFactory signalingClientFactory(platform::WebSocketOptions options) {
  return [options](RemoteSignalingLogin login, SignalingClient::Callbacks callbacks) -> std::shared_ptr<RemoteSignaling> {
    auto client = SignalingClient::create(std::move(login.endpoint), std::move(login.identity),
                                          std::move(login.deviceID), std::move(login.deviceName),
                                          std::move(login.role), std::move(callbacks), systemClock(), options);
    return std::make_shared<SignalingClientAdapter>(std::move(client));
  };
}

}  // namespace veltrano
