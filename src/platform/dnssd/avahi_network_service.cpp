#include "platform/dnssd/avahi_network_service.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <optional>
#include <utility>

#include "base/executors.hpp"
#include "platform/dnssd/service_name_label.hpp"

namespace veltrano::platform {

namespace {

// Avahi spells types and domains without the final dot, and the default domain as none.
std::string withoutFinalDot(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  return std::string(text);
}

std::optional<std::string> avahiDomain(std::string_view domain) {
  std::string bare = withoutFinalDot(domain);
  if (bare.empty() || bare == "local") return std::nullopt;
  return bare;
}

// Each conflict yields a new name; a daemon that refuses every one of them is broken, not busy.
constexpr int maxRenames = 100;

// The delegate as the main thread sees it. Posted outcomes find it cleared or stopped and then do nothing.
struct DelegateSlot {
  NetworkService::Delegate delegate;
  bool stopped = false;
};

// What the client thread works with. Its fields change only on that thread (or before it starts / after it
// ended); outcomes leave it only as copies posted to the main thread.
struct Registration {
  std::string type;
  std::optional<std::string> domain;
  std::string name;
  std::uint16_t port = 0;
  std::shared_ptr<DelegateSlot> slot;

  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  bool reconnectDue = false;

  void reportPublished() {
    performOnMainRunLoop([slot = slot, name = name] {
      if (slot->stopped || !slot->delegate.didPublish) return;
      auto handler = slot->delegate.didPublish;  // the handler may replace the delegate
      handler(name);
    });
  }

  void reportFailure(int error) {
    performOnMainRunLoop([slot = slot, error] {
      if (slot->stopped || !slot->delegate.didNotPublish) return;
      auto handler = slot->delegate.didNotPublish;
      handler(ServiceErrorDictionary{{serviceErrorCodeKey, error}});
    });
  }

  void rename() {
    char* alternative = avahi_alternative_service_name(name.c_str());
    name = serviceNameLabel(alternative);
    avahi_free(alternative);
  }

  void addService(AvahiClient* owner) {
    if (!group) {
      group = avahi_entry_group_new(owner, &Registration::onGroupState, this);
      if (!group) return reportFailure(avahi_client_errno(owner));
    }
    if (!avahi_entry_group_is_empty(group)) return;
    for (int attempt = 0;; ++attempt) {
      const int added = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                      name.c_str(), type.c_str(),
                                                      domain ? domain->c_str() : nullptr, nullptr, port,
                                                      static_cast<const char*>(nullptr));
      if (added == AVAHI_OK) break;
      // Another service of this daemon holds the name already.
      if (added == AVAHI_ERR_COLLISION && attempt < maxRenames) {
        rename();
        continue;
      }
      return reportFailure(added);
    }
    if (const int committed = avahi_entry_group_commit(group); committed < 0) reportFailure(committed);
  }

  static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
    // Runs inside avahi_client_new as well, before its result is stored: use the argument.
    auto* self = static_cast<Registration*>(userdata);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->addService(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is (re)establishing its host name; the service is added again once it runs.
        if (self->group) avahi_entry_group_reset(self->group);
        break;
      case AVAHI_CLIENT_FAILURE:
        // Only a client that was made can lose its daemon; inside avahi_client_new it failed to reach one.
        if (self->client && avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          self->daemonLost();
        } else {
          self->reportFailure(avahi_client_errno(client));
        }
        break;
      case AVAHI_CLIENT_CONNECTING:
        // A client that waits for its daemon again: what it had published went with the old one.
        if (self->group) self->daemonLost();
        break;
    }
  }

  // The daemon stopped or restarted: say the service is gone, then wait for a daemon and publish again.
  void daemonLost() {
    reportFailure(AVAHI_ERR_DISCONNECTED);
    if (reconnectDue) return;
    timeval now{};
    avahi_elapse_time(&now, 0, 0);
    const AvahiPoll* api = avahi_threaded_poll_get(poll);
    // The client cannot be freed inside its own callback.
    reconnectDue = api->timeout_new(api, &now, &Registration::onReconnectDue, this) != nullptr;
  }

  static void onReconnectDue(AvahiTimeout* timeout, void* userdata) {
    auto* self = static_cast<Registration*>(userdata);
    const AvahiPoll* api = avahi_threaded_poll_get(self->poll);
    api->timeout_free(timeout);
    self->reconnectDue = false;
    if (self->client) avahi_client_free(std::exchange(self->client, nullptr));
    self->group = nullptr;  // freed with its client
    // This client waits for a daemon to appear instead of failing, and adds the service once one runs.
    int error = AVAHI_OK;
    self->client = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, &Registration::onClientState, self, &error);
    if (!self->client) self->reportFailure(error);
  }

  static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
    auto* self = static_cast<Registration*>(userdata);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->reportPublished();
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        // Another host on the network holds the name.
        self->rename();
        avahi_entry_group_reset(group);
        self->addService(avahi_entry_group_get_client(group));
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        self->reportFailure(avahi_client_errno(avahi_entry_group_get_client(group)));
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  // Connecting makes blocking D-Bus calls, so it runs on the client thread rather than the caller's.
  static void onConnectDue(AvahiTimeout* timeout, void* userdata) {
    auto* self = static_cast<Registration*>(userdata);
    const AvahiPoll* api = avahi_threaded_poll_get(self->poll);
    api->timeout_free(timeout);
    int error = AVAHI_OK;
    self->client = avahi_client_new(api, AvahiClientFlags(0), &Registration::onClientState, self, &error);
    if (!self->client) self->reportFailure(error);
  }
};

class AvahiNetworkService final : public NetworkService {
 public:
  AvahiNetworkService(const std::string& domain, const std::string& type, const std::string& name,
                      std::uint16_t port)
      : slot_(std::make_shared<DelegateSlot>()) {
    registration_.type = withoutFinalDot(type);
    registration_.domain = avahiDomain(domain);
    registration_.name = serviceNameLabel(name);
    registration_.port = port;
    registration_.slot = slot_;
  }

  ~AvahiNetworkService() override { stop(); }

  void setDelegate(Delegate delegate) override { slot_->delegate = std::move(delegate); }
  void removeDelegate() override { slot_->delegate = Delegate{}; }

  void publish() override {
    if (published_ || slot_->stopped) return;
    published_ = true;
    registration_.poll = avahi_threaded_poll_new();
    if (!registration_.poll) return registration_.reportFailure(AVAHI_ERR_NO_MEMORY);
    timeval now{};
    avahi_elapse_time(&now, 0, 0);
    const AvahiPoll* api = avahi_threaded_poll_get(registration_.poll);
    if (!api->timeout_new(api, &now, &Registration::onConnectDue, &registration_) ||
        avahi_threaded_poll_start(registration_.poll) < 0) {
      return registration_.reportFailure(AVAHI_ERR_FAILURE);
    }
  }

  void stop() override {
    slot_->stopped = true;
    if (!registration_.poll) return;
    // Ends the client thread first, so nothing below races with a callback; freeing the client withdraws
    // the service from the daemon.
    avahi_threaded_poll_stop(registration_.poll);
    if (registration_.client) avahi_client_free(registration_.client);
    registration_.client = nullptr;
    registration_.group = nullptr;  // freed with its client
    avahi_threaded_poll_free(std::exchange(registration_.poll, nullptr));
  }

  std::uint16_t port() const override { return registration_.port; }

 private:
  std::shared_ptr<DelegateSlot> slot_;
  Registration registration_;
  bool published_ = false;
};

}  // namespace

std::shared_ptr<NetworkService> makeAvahiNetworkService(const std::string& domain, const std::string& type,
                                                        const std::string& name, std::uint16_t port) {
  return std::make_shared<AvahiNetworkService>(domain, type, name, port);
}

}  // namespace veltrano::platform
