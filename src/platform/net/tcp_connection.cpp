#include "platform/net/tcp_connection.hpp"
#include "base/thread_checks.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <utility>

#include "base/continuation.hpp"
#include "platform/net/network_error.hpp"

namespace veltrano::platform {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {
std::atomic<TcpConnection::ID> gNextConnectionID{1};

bool isAbort(const error_code& error) { return error == asio::error::operation_aborted; }

// The largest read buffer a connection keeps between reads.
constexpr std::size_t kMaximumSpareReadBuffer = 256 * 1024;

// The completion of a read or write the connection's strand started: it runs on that strand, and it continues
// the strand's work, so one that completes at once (the bytes were already there, the kernel took them all)
// runs on the thread that started it, after its handler returns, instead of waking another I/O thread.
template <class Function>
struct StrandCompletion {
  using executor_type = asio::strand<asio::any_io_executor>;
  executor_type strand;
  Function function;

  executor_type get_executor() const noexcept { return strand; }
  template <class... Args>
  void operator()(Args&&... args) {
    function(std::forward<Args>(args)...);
  }
  friend bool asio_handler_is_continuation(StrandCompletion*) { return true; }
};
template <class Function>
StrandCompletion<Function> onStrand(const asio::strand<asio::any_io_executor>& strand, Function function) {
  return StrandCompletion<Function>{strand, std::move(function)};
}
}  // namespace

// Finishes a cancel on the connection's strand. One dropped without running (the I/O threads ended first, as at
// the program's end) still lets go of the pending requests: their completions hold the coroutines waiting on them,
// which hold the connection, a cycle that only the cancel would have broken.
class TcpConnection::CancelStep {
 public:
  explicit CancelStep(std::shared_ptr<TcpConnection> connection) : connection_(std::move(connection)) {}
  CancelStep(CancelStep&&) noexcept = default;
  CancelStep& operator=(CancelStep&&) = delete;
  ~CancelStep() {
    if (connection_) connection_->dropPendingRequests();
  }
  void operator()() { std::exchange(connection_, nullptr)->finishCancel(); }

 private:
  std::shared_ptr<TcpConnection> connection_;
};

TcpConnection::TcpConnection() : id_(gNextConnectionID.fetch_add(1)) {}

TcpConnection::~TcpConnection() {
  // Only a connection that was never started can still hold requests here (a started one is kept alive by its
  // operations): they end as cancelled.
  for (auto& receive : receives_) {
    if (receive.completion) receive.completion(ReceiveResult{{}, false, asio::error::operation_aborted});
  }
  for (auto& send : sends_) {
    if (send.completion) send.completion(asio::error::operation_aborted);
  }
}

std::shared_ptr<TcpConnection> TcpConnection::create(std::string host, std::uint16_t port, TcpParameters parameters) {
  std::shared_ptr<TcpConnection> connection(new TcpConnection());
  connection->host_ = std::move(host);
  connection->port_ = port;
  connection->parameters_ = parameters;
  connection->isClient_ = true;
  return connection;
}

std::shared_ptr<TcpConnection> TcpConnection::adopt(asio::ip::tcp::socket socket) {
  std::shared_ptr<TcpConnection> connection(new TcpConnection());
  connection->nativeHandle_ = socket.is_open() ? socket.native_handle() : -1;
  error_code ec;
  auto local = socket.local_endpoint(ec);
  if (!ec) connection->localPort_ = local.port();
  connection->socket_.emplace(std::move(socket));
  return connection;
}

void TcpConnection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::optional<asio::strand<asio::any_io_executor>> TcpConnection::startedStrand() {
  std::lock_guard lock(mutex_);
  return strand_;
}

void TcpConnection::deliver(const NetworkState& state) {
  StateHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
    // The last state: let the handler (and what it holds) go, as nothing more will be reported.
    if (state.kind == NetworkState::Kind::cancelled) handler_ = nullptr;
  }
  if (handler) handler(state);
}

void TcpConnection::start(const asio::any_io_executor& queue) {
  asio::strand<asio::any_io_executor> strand = asio::make_strand(queue);
  {
    std::lock_guard lock(mutex_);
    if (strand_) return;
    strand_ = strand;
  }
  // Receives and sends issued before now wait in their queues; begin() serves them once ready.
  auto self = shared_from_this();
  asio::post(strand, [self] { self->begin(); });
}

void TcpConnection::begin() {
  assertOnStrand(*strand_);
  if (cancelRequested_) {
    finishCancel();
    return;
  }
  phase_ = Phase::preparing;
  deliver(NetworkState::preparing());
  if (isClient_) {
    connectClient();
  } else {
    becomeReady();
  }
}

void TcpConnection::connectClient() {
  assertOnStrand(*strand_);
  auto strand = *strand_;
  lookup_.emplace(strand);
  socket_.emplace(strand);
  auto self = shared_from_this();
  lookup_->asyncLookup(
      host_, port_, [self](error_code ec, HostAddresses results) {
        if (self->isTerminal()) return;
        if (ec) {
          self->fail(ec);
          return;
        }
        asio::async_connect(*self->socket_, results, [self](error_code ec, const asio::ip::tcp::endpoint&) {
          if (self->isTerminal()) return;
          if (ec) {
            self->fail(ec);
            return;
          }
          applyTcpParameters(*self->socket_, self->parameters_);
          self->nativeHandle_ = self->socket_->native_handle();
          error_code ignored;
          self->localPort_ = self->socket_->local_endpoint(ignored).port();
          self->becomeReady();
        });
      });
}

void TcpConnection::becomeReady() {
  assertOnStrand(*strand_);
  phase_ = Phase::ready;
  {
    std::lock_guard lock(sendMutex_);
    directWriteHandle_ = socket_->native_handle();
  }
  deliver(NetworkState::ready());
  pumpReceive();
  pumpSend();
}

void TcpConnection::fail(error_code error) {
  assertOnStrand(*strand_);
  if (isTerminal()) return;
  if (cancelRequested_) return;  // the cancel that is on its way ends the connection instead
  phase_ = Phase::failed;
  failure_ = error;
  abortPending(error);
  deliver(NetworkState::failed(error));
}

void TcpConnection::cancel() {
  if (cancelRequested_.exchange(true)) return;
  auto strand = startedStrand();
  if (!strand) return;  // begin() finishes the cancellation once started; else the destructor closes the socket
  asio::post(*strand, CancelStep(shared_from_this()));
}

void TcpConnection::finishCancel() {
  assertOnStrand(*strand_);
  if (phase_ == Phase::cancelled) return;
  phase_ = Phase::cancelled;
  abortPending(asio::error::operation_aborted);
  deliver(NetworkState::cancelled());
}

void TcpConnection::abortPending(error_code error) {
  assertOnStrand(*strand_);
  if (lookup_) lookup_->cancel();
  std::deque<PendingSend> sends;
  {
    // Closed under the send lock: a sendImmediately() on another thread never writes to a closed (or reused)
    // descriptor.
    std::lock_guard lock(sendMutex_);
    directWriteHandle_ = -1;
    sendsEnded_ = error;
    if (socket_ && socket_->is_open()) {
      error_code ignored;
      socket_->close(ignored);
    }
    sends = std::move(sends_);
    sends_.clear();
    queuedBytes_ = 0;
  }
  nativeHandle_ = -1;
  auto receives = std::move(receives_);
  receives_.clear();
  for (auto& receive : receives) {
    if (receive.completion) receive.completion(ReceiveResult{{}, false, error});
  }
  for (auto& send : sends) {
    if (send.completion) send.completion(error);
  }
}

void TcpConnection::dropPendingRequests() {
  auto receives = std::move(receives_);
  receives_.clear();
  std::deque<PendingSend> sends;
  {
    std::lock_guard lock(sendMutex_);
    sends = std::move(sends_);
    sends_.clear();
    queuedBytes_ = 0;
  }
}

void TcpConnection::receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                            ReceiveCompletion completion) {
  maximumLength = std::max<std::size_t>(maximumLength, 1);
  minimumIncompleteLength = std::clamp<std::size_t>(minimumIncompleteLength, 1, maximumLength);
  {
    std::lock_guard lock(mutex_);
    if (!strand_) {
      receives_.push_back(PendingReceive{minimumIncompleteLength, maximumLength, std::move(completion), nullptr, 0});
      return;
    }
  }
  auto self = shared_from_this();
  // Deferred: a request made on an I/O thread (the owner's receive loop) is taken up by that thread once its
  // handler returns, without waking another; from any other thread this is a plain post.
  asio::defer(*startedStrand(), [self, minimumIncompleteLength, maximumLength,
                                 completion = std::move(completion)]() mutable {
    if (self->isTerminal()) {
      auto error = self->phase_ == Phase::failed ? self->failure_ : error_code(asio::error::operation_aborted);
      if (completion) completion(ReceiveResult{{}, false, error});
      return;
    }
    self->receives_.push_back(PendingReceive{minimumIncompleteLength, maximumLength, std::move(completion), nullptr, 0});
    self->pumpReceive();
  });
}

void TcpConnection::pumpReceive() {
  assertOnStrand(*strand_);
  while (phase_ == Phase::ready && !reading_ && !receives_.empty()) {
    if (endOfStream_) {
      completeReceive(true);
      continue;
    }
    auto& head = receives_.front();
    if (!head.buffer) head.buffer = takeReadBuffer(head.maximum);
    reading_ = true;
    auto self = shared_from_this();
    // Accepted sockets belong to the listener's executor: completions are bound to this connection's strand.
    socket_->async_read_some(asio::buffer(head.buffer->data() + head.filled, head.maximum - head.filled),
                             onStrand(*strand_, [self, keep = head.buffer](error_code ec, std::size_t count) {
                               self->reading_ = false;
                               if (self->isTerminal() || self->receives_.empty()) return;
                               auto& head = self->receives_.front();
                               head.filled += count;
                               if (ec == asio::error::eof) {
                                 self->endOfStream_ = true;
                                 self->completeReceive(true);
                               } else if (ec) {
                                 if (!isAbort(ec)) self->fail(ec);
                                 return;
                               } else if (head.filled >= head.minimum) {
                                 self->completeReceive(false);
                               }
                               self->pumpReceive();
                             }));
  }
}

std::shared_ptr<Bytes> TcpConnection::takeReadBuffer(std::size_t size) {
  assertOnStrand(*strand_);
  std::shared_ptr<Bytes> buffer = std::move(spareReadBuffer_);
  if (!buffer) return std::make_shared<Bytes>(size);
  if (buffer->size() < size) buffer->resize(size);
  return buffer;
}

void TcpConnection::completeReceive(bool isComplete) {
  assertOnStrand(*strand_);
  auto head = std::move(receives_.front());
  receives_.pop_front();
  Bytes content;
  if (head.buffer) {
    // A mostly full buffer is handed over as it is; a few bytes are copied out and the buffer kept for the
    // next read, so that small messages do not each cost a large, zero-filled allocation.
    if (head.filled * 2 >= head.buffer->size()) {
      content = std::move(*head.buffer);
      content.resize(head.filled);
    } else {
      content.assign(head.buffer->begin(), head.buffer->begin() + static_cast<std::ptrdiff_t>(head.filled));
      if (head.buffer->size() <= kMaximumSpareReadBuffer) spareReadBuffer_ = std::move(head.buffer);
    }
  }
  if (head.completion) head.completion(ReceiveResult{std::move(content), isComplete, {}});
}

void TcpConnection::send(Bytes data, SendCompletion completion) {
  sendMade([&data] { return std::move(data); }, SendPath::queued, unlimitedQueue, std::move(completion));
}

void TcpConnection::sendImmediately(Bytes data, SendCompletion completion) {
  sendMade([&data] { return std::move(data); }, SendPath::immediate, unlimitedQueue, std::move(completion));
}

std::size_t TcpConnection::queuedSendBytes() {
  std::lock_guard lock(sendMutex_);
  return queuedBytes_;
}

TcpConnection::SendAdmission TcpConnection::sendLocked(std::unique_lock<std::mutex>& lock, Bytes data, SendPath path,
                                                       std::size_t queueLimit, SendCompletion completion) {
  using Outcome = SendAdmission::Outcome;
  SendAdmission admission{Outcome::accepted, data.size(), queuedBytes_ + data.size()};
  if (sendsEnded_) {
    admission.outcome = Outcome::ended;
    completeRefused(lock, *sendsEnded_, std::move(completion));
    return admission;
  }
  if (admission.queuedBytes > queueLimit) {
    admission.outcome = Outcome::overLimit;
    sendsEnded_ = asio::error::no_buffer_space;
    completeRefused(lock, *sendsEnded_, std::move(completion));
    return admission;
  }
  if (path == SendPath::immediate && directWriteHandle_ >= 0 && !writing_ && sends_.empty()) {
    const ssize_t written = ::send(directWriteHandle_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (written >= 0 && static_cast<std::size_t>(written) == data.size()) {
      admission.queuedBytes = 0;
      lock.unlock();
      if (completion) completion({});
      return admission;
    }
    // A full socket buffer, a partial write or an error: the strand's write takes the rest and reports what
    // stops it.
    if (written > 0) data.erase(data.begin(), data.begin() + written);
  }
  queuedBytes_ += data.size();
  admission.queuedBytes = queuedBytes_;
  sends_.push_back(PendingSend{std::make_shared<const Bytes>(std::move(data)), std::move(completion)});
  const bool pump = !writing_;
  lock.unlock();
  const auto strand = startedStrand();
  if (!strand || !pump) return admission;  // begin() serves the queue once started, or the write in flight does
  auto self = shared_from_this();
  if (path == SendPath::immediate) {
    asio::post(*strand, [self] { self->pumpSend(); });
  } else {
    // Deferred: a send made on an I/O thread is written by that thread once its handler returns, without
    // waking another; from any other thread this is a plain post.
    asio::defer(*strand, [self] { self->pumpSend(); });
  }
  return admission;
}

void TcpConnection::completeRefused(std::unique_lock<std::mutex>& lock, error_code error, SendCompletion completion) {
  lock.unlock();
  if (!completion) return;
  if (const auto strand = startedStrand()) {
    asio::defer(*strand, [error, completion = std::move(completion)] { completion(error); });
  } else {
    completion(error);
  }
}

void TcpConnection::pumpSend() {
  assertOnStrand(*strand_);
  std::shared_ptr<const Bytes> data;
  {
    std::lock_guard lock(sendMutex_);
    if (phase_ != Phase::ready || writing_ || sends_.empty()) return;
    writing_ = true;
    data = sends_.front().data;
  }
  auto self = shared_from_this();
  asio::async_write(*socket_, asio::buffer(*data), onStrand(*strand_, [self, data](error_code ec, std::size_t) {
    self->finishWrite(ec);
  }));
}

void TcpConnection::finishWrite(error_code error) {
  assertOnStrand(*strand_);
  SendCompletion completion;
  {
    std::lock_guard lock(sendMutex_);
    writing_ = false;
    if (isTerminal() || sends_.empty()) return;  // the end of the connection completed the queue
    if (!error) {
      completion = std::move(sends_.front().completion);
      queuedBytes_ -= sends_.front().data->size();
      sends_.pop_front();
    }
  }
  if (error) {
    if (!isAbort(error)) fail(error);  // completes this send and the rest with the error
    return;
  }
  if (completion) completion({});
  pumpSend();
}

// --- Awaitable forms ---

asio::awaitable<std::shared_ptr<TcpConnection>> TcpConnection::connect(std::string host, std::uint16_t port,
                                                                       TcpParameters parameters,
                                                                       asio::any_io_executor queue) {
  auto connection = create(std::move(host), port, parameters);
  Continuation<> outcome;
  connection->setStateHandler([outcome](const NetworkState& state) {
    if (state.kind == NetworkState::Kind::ready) {
      outcome.resume();
    } else if (state.kind == NetworkState::Kind::failed) {
      outcome.resumeThrowing(std::make_exception_ptr(NetworkError(state.error)));
    } else if (state.kind == NetworkState::Kind::cancelled) {
      outcome.resumeThrowing(std::make_exception_ptr(NetworkError(asio::error::operation_aborted)));
    }
  });
  connection->start(queue);
  try {
    co_await outcome.wait();
  } catch (...) {
    connection->setStateHandler(nullptr);
    connection->cancel();
    throw;
  }
  connection->setStateHandler(nullptr);
  co_return connection;
}

asio::awaitable<TcpConnection::ReceiveResult> TcpConnection::receiveAsync(std::size_t minimumIncompleteLength,
                                                                          std::size_t maximumLength) {
  Continuation<ReceiveResult> result;
  receive(minimumIncompleteLength, maximumLength, [result](ReceiveResult r) { result.resume(std::move(r)); });
  // Only the request holds the wait: one the connection drops unanswered frees this frame and its callers.
  co_return co_await std::move(result).waitLettingGo();
}

asio::awaitable<std::optional<Bytes>> TcpConnection::receiveExactly(std::size_t count) {
  if (count == 0) co_return Bytes{};
  auto result = co_await receiveAsync(count, count);
  if (result.error) throw NetworkError(result.error);
  if (result.content.size() < count) co_return std::nullopt;
  co_return std::move(result.content);
}

asio::awaitable<void> TcpConnection::sendAsync(Bytes data) {
  Continuation<> done;
  send(std::move(data), [done](error_code ec) {
    if (ec) {
      done.resumeThrowing(std::make_exception_ptr(NetworkError(ec)));
    } else {
      done.resume();
    }
  });
  co_await std::move(done).waitLettingGo();
}

}  // namespace veltrano::platform
