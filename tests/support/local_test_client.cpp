#include "support/local_test_client.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_future.hpp>

#include <stdexcept>

#include "base/executors.hpp"
#include "platform/net/network_error.hpp"
#include "transport/local_transport_security_error.hpp"

namespace veltrano::testing {

namespace asio = boost::asio;
using Code = LocalTransportSecurityError::Code;

namespace {

constexpr std::size_t kReadSize = 65536;

template <class T>
T runOnSharedIo(asio::awaitable<T> operation) {
  return asio::co_spawn(sharedIo().executor(), std::move(operation), asio::use_future).get();
}

}  // namespace

asio::awaitable<std::shared_ptr<LocalTestClient>> LocalTestClient::connect(std::uint16_t port,
                                                                           LocalTransportChannel channel,
                                                                           platform::SigningKey accountKey,
                                                                           Options options) {
  auto connection = co_await platform::TcpConnection::connect(options.host, port, platform::TcpParameters{},
                                                              sharedIo().executor());
  std::shared_ptr<LocalTransportSession> session;
  try {
    session = co_await clientHandshake(connection, channel, std::move(accountKey), options.stepTimeout);
  } catch (...) {
    connection->cancel();
    throw;
  }
  std::shared_ptr<LocalTestClient> client(new LocalTestClient(connection, session));
  client->receiveNext();
  co_return client;
}

std::shared_ptr<LocalTestClient> LocalTestClient::connectBlocking(std::uint16_t port, LocalTransportChannel channel,
                                                                  platform::SigningKey accountKey, Options options) {
  return runOnSharedIo(connect(port, channel, std::move(accountKey), std::move(options)));
}

LocalTestClient::LocalTestClient(std::shared_ptr<platform::TcpConnection> connection,
                                 std::shared_ptr<LocalTransportSession> session)
    : connection_(std::move(connection)), session_(std::move(session)) {}

LocalTestClient::~LocalTestClient() { connection_->cancel(); }

void LocalTestClient::close() { connection_->cancel(); }

void LocalTestClient::sendRecord(ByteView plaintext) { connection_->send(session_->seal(plaintext)); }

void LocalTestClient::sendJSONLine(const json::Json& message) {
  std::string line = json::dump(message);
  line.push_back('\n');
  sendRecord(asBytes(line));
}

void LocalTestClient::sendRaw(Bytes bytes) { connection_->send(std::move(bytes)); }

void LocalTestClient::receiveNext() {
  std::weak_ptr<LocalTestClient> weakClient = weak_from_this();
  connection_->receive(1, kReadSize, [weakClient](platform::TcpConnection::ReceiveResult result) {
    auto client = weakClient.lock();
    if (!client) return;
    if (result.error) {
      client->deliver({}, true, std::make_exception_ptr(platform::NetworkError(result.error)));
      return;
    }
    std::vector<Bytes> records;
    if (!result.content.empty()) {
      try {
        records = client->session_->open(result.content);
      } catch (...) {
        client->deliver({}, true, std::current_exception());
        return;
      }
    }
    const bool ended = result.isComplete;
    client->deliver(std::move(records), ended,
                    ended ? std::make_exception_ptr(LocalTransportSecurityError(Code::connectionClosed)) : nullptr);
    if (!ended) client->receiveNext();
  });
}

void LocalTestClient::deliver(std::vector<Bytes> records, bool ended, std::exception_ptr endError) {
  std::vector<Continuation<>> waiters;
  {
    std::lock_guard lock(mutex_);
    for (auto& record : records) records_.push_back(std::move(record));
    if (ended && !ended_) {
      ended_ = true;
      endError_ = endError;
    }
    waiters.swap(waiters_);
  }
  changed_.notify_all();
  for (auto& waiter : waiters) waiter.resume();
}

bool LocalTestClient::takeLocked(std::optional<Bytes>& record) {
  if (!records_.empty()) {
    record = std::move(records_.front());
    records_.pop_front();
    return true;
  }
  if (ended_) std::rethrow_exception(endError_);
  return false;
}

asio::awaitable<std::optional<Bytes>> LocalTestClient::nextRecord(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto executor = co_await asio::this_coro::executor;
  while (true) {
    std::optional<Bytes> record;
    Continuation<> changed;
    {
      std::lock_guard lock(mutex_);
      if (takeLocked(record)) co_return record;
      if (std::chrono::steady_clock::now() >= deadline) co_return std::nullopt;
      waiters_.push_back(changed);
    }
    asio::steady_timer timer(executor, deadline);
    timer.async_wait([changed](boost::system::error_code) { changed.resume(); });
    co_await changed.wait();
    timer.cancel();
  }
}

std::optional<Bytes> LocalTestClient::nextRecordBlocking(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return !records_.empty() || ended_; })) return std::nullopt;
  std::optional<Bytes> record;
  takeLocked(record);  // throws at the end of the stream
  return record;
}

json::Json parseJSONRecord(ByteView record) {
  if (record.empty() || record.back() != '\n') throw std::runtime_error("record does not end in a line feed");
  auto parsed = json::parseObjectOrArray(asString(record.first(record.size() - 1)));
  if (!parsed.value) throw std::runtime_error("record is not JSON: " + parsed.error);
  return *parsed.value;
}

asio::awaitable<std::optional<json::Json>> LocalTestClient::nextJSON(std::chrono::milliseconds timeout) {
  auto record = co_await nextRecord(timeout);
  if (!record) co_return std::nullopt;
  co_return parseJSONRecord(*record);
}

std::optional<json::Json> LocalTestClient::nextJSONBlocking(std::chrono::milliseconds timeout) {
  auto record = nextRecordBlocking(timeout);
  if (!record) return std::nullopt;
  return parseJSONRecord(*record);
}

asio::awaitable<bool> LocalTestClient::waitUntilClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto executor = co_await asio::this_coro::executor;
  while (true) {
    Continuation<> changed;
    {
      std::lock_guard lock(mutex_);
      if (ended_) co_return true;
      if (std::chrono::steady_clock::now() >= deadline) co_return false;
      waiters_.push_back(changed);
    }
    asio::steady_timer timer(executor, deadline);
    timer.async_wait([changed](boost::system::error_code) { changed.resume(); });
    co_await changed.wait();
    timer.cancel();
  }
}

bool LocalTestClient::waitUntilClosedBlocking(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return ended_; });
}

}  // namespace veltrano::testing
