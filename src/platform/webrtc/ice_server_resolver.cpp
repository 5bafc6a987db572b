#include "platform/webrtc/ice_server_resolver.hpp"

#include <gio/gio.h>

#include <optional>
#include <string>

namespace veltrano::webrtc {

struct IceServerResolver::Batch {
  struct Lookup {
    std::shared_ptr<Batch> batch;
    std::size_t index;
  };
  struct Entry {
    IceServerUrl url;
    std::string username;
    std::string credential;
    std::optional<std::string> address;
  };

  ~Batch() { g_object_unref(cancellable); }

  void finishOne() {
    if (--pending > 0 || !done) return;
    ResolvedIceServers resolved;
    for (const auto& entry : entries) {
      if (!entry.address) continue;
      if (entry.url.scheme == IceServerUrl::Scheme::stun) {
        resolved.stun.push_back({*entry.address, entry.url.port});
      } else {
        resolved.turn.push_back({*entry.address, entry.url.port, entry.url.transport, entry.username, entry.credential});
      }
    }
    auto completion = std::move(done);
    done = nullptr;
    completion(std::move(resolved));
  }

  std::vector<Entry> entries;
  std::size_t pending = 0;
  Completion done;
  GCancellable* cancellable = g_cancellable_new();
};

IceServerResolver::~IceServerResolver() {
  sequence_.check();
  if (batch_) {
    batch_->done = nullptr;
    g_cancellable_cancel(batch_->cancellable);
  }
}

void IceServerResolver::resolve(const std::vector<IceServer>& servers, Completion done) {
  sequence_.check();
  if (batch_) {
    batch_->done = nullptr;
    g_cancellable_cancel(batch_->cancellable);
  }
  auto batch = std::make_shared<Batch>();
  batch_ = batch;
  for (const auto& server : servers) {
    for (const auto& text : server.urls) {
      auto url = parseIceServerUrl(text);
      if (!url) continue;
      batch->entries.push_back({std::move(*url), server.username.value_or(""), server.credential.value_or(""), {}});
    }
  }
  batch->done = std::move(done);
  // One count for the loop below, so that lookups answered at once cannot finish the batch before all started.
  batch->pending = batch->entries.size() + 1;
  GResolver* resolver = g_resolver_get_default();
  for (std::size_t index = 0; index < batch->entries.size(); ++index) {
    auto& entry = batch->entries[index];
    if (g_hostname_is_ip_address(entry.url.host.c_str())) {
      entry.address = entry.url.host;
      batch->finishOne();
      continue;
    }
    g_resolver_lookup_by_name_async(
        resolver, entry.url.host.c_str(), batch->cancellable,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Batch::Lookup> lookup(static_cast<Batch::Lookup*>(data));
          GList* addresses = g_resolver_lookup_by_name_finish(G_RESOLVER(source), result, nullptr);
          if (addresses != nullptr) {
            gchar* text = g_inet_address_to_string(G_INET_ADDRESS(addresses->data));
            lookup->batch->entries[lookup->index].address = text;
            g_free(text);
            g_resolver_free_addresses(addresses);
          }
          lookup->batch->finishOne();
        },
        new Batch::Lookup{batch, index});
  }
  g_object_unref(resolver);
  batch->finishOne();
}

}  // namespace veltrano::webrtc
