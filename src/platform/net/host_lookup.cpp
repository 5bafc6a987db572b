#include "platform/net/host_lookup.hpp"

#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/query.hpp>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

namespace veltrano::platform {

namespace asio = boost::asio;
using boost::system::error_code;

struct HostLookup::Pending {
  std::shared_ptr<Registry> registry;
  Deliver deliver;  // under the registry's lock; empty once delivered, cancelled or dropped at shut-down
};

// What the lookups of one execution context share with their threads, which may outlive the context.
struct HostLookup::Registry {
  std::mutex mutex;
  bool closed = false;  // the context is shutting down: its executors take nothing more
  std::set<std::shared_ptr<HostLookup::Pending>> pending;

  // Takes the pending delivery, if it is still there, and hands it `error` and `addresses`, under the lock so that
  // the context cannot shut down in between.
  void finish(const std::shared_ptr<HostLookup::Pending>& lookup, error_code error, HostAddresses addresses) {
    Deliver deliver;
    {
      std::lock_guard lock(mutex);
      if (closed || !lookup->deliver) return;
      deliver = std::move(lookup->deliver);
      lookup->deliver = nullptr;
      pending.erase(lookup);
      deliver(error, std::move(addresses));
    }
    // Released unlocked: the handler may hold the last reference to the lookup's owner, whose end cancels.
  }
};

namespace {

// One per execution context. At shut-down the handlers still waiting are destroyed there, as Asio destroys every
// other pending handler, and a lookup that ends later delivers nothing.
class LookupService : public asio::execution_context::service {
 public:
  static asio::execution_context::id id;

  explicit LookupService(asio::execution_context& context)
      : asio::execution_context::service(context), registry(std::make_shared<HostLookup::Registry>()) {}

  void shutdown() override {
    std::set<std::shared_ptr<HostLookup::Pending>> dropped;
    std::vector<HostLookup::Deliver> handlers;  // destroyed after the lock, for the same reason as in finish()
    {
      std::lock_guard lock(registry->mutex);
      registry->closed = true;
      dropped.swap(registry->pending);
      for (const auto& lookup : dropped) handlers.push_back(std::exchange(lookup->deliver, nullptr));
    }
  }

  const std::shared_ptr<HostLookup::Registry> registry;
};

asio::execution_context::id LookupService::id;

error_code lookupError(int code) {
  switch (code) {
    case EAI_AGAIN: return asio::error::host_not_found_try_again;
    case EAI_FAIL: return asio::error::no_recovery;
    case EAI_FAMILY: return asio::error::address_family_not_supported;
    case EAI_MEMORY: return asio::error::no_memory;
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY: return asio::error::host_not_found;
    case EAI_SYSTEM: return {errno, boost::system::system_category()};
    default: return asio::error::invalid_argument;
  }
}

// getaddrinfo with the flags Asio's resolver uses: addresses of the families this machine has configured.
error_code lookUp(const std::string& host, std::uint16_t port, HostAddresses& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int code = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (code != 0) return lookupError(code);
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    asio::ip::tcp::endpoint endpoint;
    std::memcpy(endpoint.data(), entry->ai_addr, entry->ai_addrlen);
    addresses.push_back(endpoint);
  }
  ::freeaddrinfo(found);
  return addresses.empty() ? error_code(asio::error::host_not_found) : error_code();
}

}  // namespace

HostLookup::HostLookup(asio::any_io_executor executor) : executor_(std::move(executor)) {}

HostLookup::~HostLookup() { cancel(); }

void HostLookup::start(std::string host, std::uint16_t port, Deliver deliver) {
  cancel();
  error_code notNumeric;
  const auto address = asio::ip::make_address(host, notNumeric);
  if (!notNumeric) {
    deliver({}, {asio::ip::tcp::endpoint(address, port)});
    return;
  }
  auto& service = asio::use_service<LookupService>(asio::query(executor_, asio::execution::context));
  auto lookup = std::make_shared<Pending>();
  lookup->registry = service.registry;
  {
    std::lock_guard lock(service.registry->mutex);
    if (service.registry->closed) return;  // dropped, as at shut-down
    lookup->deliver = std::move(deliver);
    service.registry->pending.insert(lookup);
  }
  pending_ = lookup;
  try {
    std::thread([lookup, host = std::move(host), port] {
      ::pthread_setname_np(::pthread_self(), "host lookup");
      HostAddresses addresses;
      const error_code error = lookUp(host, port, addresses);
      lookup->registry->finish(lookup, error, std::move(addresses));
    }).detach();
  } catch (const std::system_error&) {
    lookup->registry->finish(lookup, asio::error::no_memory, {});
  }
}

void HostLookup::cancel() {
  const auto lookup = std::exchange(pending_, nullptr);
  if (lookup) lookup->registry->finish(lookup, asio::error::operation_aborted, {});
}

}  // namespace veltrano::platform
