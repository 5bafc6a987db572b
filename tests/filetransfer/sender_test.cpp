#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <condition_variable>
#include <thread>

#include "base/clock.hpp"
#include "base/task.hpp"
#include "filetransfer/download_source.hpp"
#include "filetransfer/remote_file_chunk.hpp"
#include "filetransfer/remote_file_sender.hpp"
#include "filetransfer/file_transfer_test_support.hpp"
#include "support/eventually.hpp"

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;
namespace asio = boost::asio;

namespace {

const std::string transferID = "6b1d3c9e-2f44-4c1a-9a57-0c4b2e7d8f10";

// One sender over a real file, with a client that records frames and answers as the test says.
class SenderRun {
 public:
  enum class Receipts { afterSinkReturns, insideSink, never };

  SenderRun(const std::filesystem::path& path, Receipts receipts) : receipts_(receipts) {
    auto source = openDownloadSource(path);
    if (!source) throw std::runtime_error("source did not open");
    RemoteFileSenderTiming timing;
    timing.clock = &clock;  // no time passes unless the test says so
    sender = RemoteFileSender::create(std::move(*source), transferID, client.endpoint,
                                      [this](const RemoteFileSender::Result& result) {
                                        std::lock_guard lock(mutex_);
                                        results_.push_back(result);
                                        changed_.notify_all();
                                      },
                                      timing);
    client.onFrame([this](Bytes frame) { return receive(std::move(frame)); });
  }

  void start() {
    Task::spawn(sharedIo().executor(), [sender = sender](TaskToken) -> asio::awaitable<void> { co_await sender->start(); });
  }

  std::optional<RemoteFileSender::Result> waitResult(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return !results_.empty(); })) return std::nullopt;
    return results_.front();
  }
  std::size_t resultCount() {
    std::lock_guard lock(mutex_);
    return results_.size();
  }
  std::vector<RemoteFileChunk> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  Bytes receivedBytes() {
    std::lock_guard lock(mutex_);
    Bytes all;
    for (auto& f : frames_) all.insert(all.end(), f.payload.begin(), f.payload.end());
    return all;
  }
  // Refuses the next `count` offers.
  void refuse(int count) {
    std::lock_guard lock(mutex_);
    refusals_ = count;
  }
  std::function<void(const RemoteFileChunk&)> afterFrame;

  VirtualClock clock;
  RecordingClient client;
  std::shared_ptr<RemoteFileSender> sender;

 private:
  asio::awaitable<bool> receive(Bytes frame) {
    auto chunk = decodeChunkFrame(frame);
    {
      std::lock_guard lock(mutex_);
      if (refusals_ > 0) {
        --refusals_;
        co_return false;
      }
      frames_.push_back(chunk);
    }
    const auto end = chunk.offset + chunk.payload.size();
    if (afterFrame) afterFrame(chunk);
    switch (receipts_) {
      case Receipts::insideSink:
        // The receipt reaches the sender before the sink has answered: it must still count.
        sender->acknowledge(end);
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        break;
      case Receipts::afterSinkReturns: {
        auto s = sender;
        asio::post(sharedIo().executor(), [s, end] { s->acknowledge(end); });
        break;
      }
      case Receipts::never:
        break;
    }
    co_return true;
  }

  Receipts receipts_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RemoteFileSender::Result> results_;
  std::vector<RemoteFileChunk> frames_;
  int refusals_ = 0;
};

const RemoteFileSendCompletion* success(const std::optional<RemoteFileSender::Result>& result) {
  return result ? std::get_if<RemoteFileSendCompletion>(&*result) : nullptr;
}

std::optional<RemoteFileSendError::Code> failure(const std::optional<RemoteFileSender::Result>& result) {
  if (!result) return std::nullopt;
  auto* error = std::get_if<RemoteFileSendError>(&*result);
  return error ? std::optional(error->code()) : std::nullopt;
}

}  // namespace

TEST(RemoteFileSender, SendsFilesOfEverySizeWithTheirDigest) {
  TempFolder folder;
  // (Ten megabytes: the loopback download.)
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{49152}, std::size_t{49153}}) {
    SCOPED_TRACE(size);
    const auto content = randomBytes(size, static_cast<unsigned>(size));
    const auto path = folder / ("file-" + std::to_string(size));
    writeFile(path, content);
    SenderRun run(path, SenderRun::Receipts::afterSinkReturns);
    run.start();
    run.start();  // runs once
    auto result = run.waitResult(30s);
    ASSERT_TRUE(success(result));
    EXPECT_EQ(success(result)->size, size);
    EXPECT_EQ(success(result)->sha256, sha256Hex(content));
    EXPECT_EQ(run.receivedBytes(), content);
    const auto frames = run.frames();
    EXPECT_EQ(frames.size(), (size + 49151) / 49152);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].offset, i * 49152);
      EXPECT_EQ(frames[i].transferID, transferID);
    }
    if (size == 49153) {
      EXPECT_EQ(frames[1].payload.size(), 1u);
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(run.resultCount(), 1u);  // and reports once
  }
}

TEST(RemoteFileSender, ReceiptThatArrivesBeforeTheSinkAnswersCounts) {
  TempFolder folder;
  const auto content = randomBytes(3 * 49152 + 5);
  writeFile(folder / "f", content);
  SenderRun run(folder / "f", SenderRun::Receipts::insideSink);
  run.start();
  // Without the receipt being kept, the sender would wait for 30 s of (virtual) time that never passes.
  auto result = run.waitResult(10s);
  ASSERT_TRUE(success(result));
  EXPECT_EQ(success(result)->sha256, sha256Hex(content));
  EXPECT_EQ(run.frames().size(), 4u);
}

TEST(RemoteFileSender, ReceiptsOnlyReleaseTheCurrentChunk) {
  TempFolder folder;
  const auto content = randomBytes(2 * 49152 + 1);
  writeFile(folder / "f", content);
  SenderRun run(folder / "f", SenderRun::Receipts::never);
  run.start();
  ASSERT_TRUE(eventually([&] { return run.frames().size() == 1 && run.clock.sleeperCount() == 1; }));

  run.sender->acknowledge(49153);  // beyond the chunk sent: ignored
  run.sender->acknowledge(100);    // short of it: recorded, does not release
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(run.frames().size(), 1u);

  run.sender->acknowledge(49152);
  ASSERT_TRUE(eventually([&] { return run.frames().size() == 2 && run.clock.sleeperCount() == 1; }));
  run.sender->acknowledge(49152);  // a receipt for the earlier chunk does not release the second
  run.sender->acknowledge(1);      // nor does a lower one
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(run.frames().size(), 2u);

  run.sender->acknowledge(2 * 49152);
  ASSERT_TRUE(eventually([&] { return run.frames().size() == 3 && run.clock.sleeperCount() == 1; }));
  run.sender->acknowledge(2 * 49152 + 1);
  auto result = run.waitResult();
  ASSERT_TRUE(success(result));
  EXPECT_EQ(run.receivedBytes(), content);
}

TEST(RemoteFileSender, DeadlinesForTheSinkAndForReceipts) {
  TempFolder folder;
  writeFile(folder / "f", randomBytes(10));
  {
    SCOPED_TRACE("sink refuses for 10 s");
    SenderRun run(folder / "f", SenderRun::Receipts::afterSinkReturns);
    run.refuse(1000000);
    run.start();
    ASSERT_TRUE(eventually([&] { return run.clock.sleeperCount() == 1; }));
    run.clock.advance(9900ms);
    EXPECT_FALSE(run.waitResult(20ms));
    run.clock.advance(100ms);
    EXPECT_EQ(failure(run.waitResult()), RemoteFileSendError::Code::channelUnavailable);
    EXPECT_TRUE(run.frames().empty());
  }
  {
    SCOPED_TRACE("sink accepts after 9 s");
    SenderRun run(folder / "f", SenderRun::Receipts::afterSinkReturns);
    run.refuse(450);  // one offer every 20 ms
    run.start();
    for (int i = 0; i < 450 && !run.resultCount(); ++i) {
      ASSERT_TRUE(eventually([&] { return run.clock.sleeperCount() == 1 || run.resultCount() > 0; }));
      if (run.resultCount()) break;
      run.clock.advance(20ms);
    }
    EXPECT_TRUE(success(run.waitResult()));
    EXPECT_LE(run.clock.now().time_since_epoch(), std::chrono::duration_cast<Clock::Duration>(9s));
  }
  {
    SCOPED_TRACE("no receipt for 30 s");
    SenderRun run(folder / "f", SenderRun::Receipts::never);
    run.start();
    ASSERT_TRUE(eventually([&] { return run.frames().size() == 1 && run.clock.sleeperCount() == 1; }));
    run.clock.advance(29s);
    EXPECT_FALSE(run.waitResult(20ms));
    run.clock.advance(1s);
    EXPECT_EQ(failure(run.waitResult()), RemoteFileSendError::Code::channelUnavailable);
  }
}

TEST(RemoteFileSender, CancelWakesTheSenderAtOnce) {
  TempFolder folder;
  writeFile(folder / "f", randomBytes(100000));
  writeFile(folder / "empty", Bytes());
  {
    SenderRun run(folder / "f", SenderRun::Receipts::never);
    run.start();
    ASSERT_TRUE(eventually([&] { return run.clock.sleeperCount() == 1; }));
    run.sender->cancel();
    EXPECT_EQ(failure(run.waitResult(2s)), RemoteFileSendError::Code::cancelled);  // no time had to pass
    EXPECT_EQ(run.frames().size(), 1u);
  }
  {
    SenderRun run(folder / "f", SenderRun::Receipts::afterSinkReturns);
    run.sender->cancel();
    run.start();
    EXPECT_EQ(failure(run.waitResult()), RemoteFileSendError::Code::cancelled);
    EXPECT_TRUE(run.frames().empty());
  }
  {
    SenderRun run(folder / "empty", SenderRun::Receipts::afterSinkReturns);
    run.sender->cancel();
    run.start();
    EXPECT_TRUE(success(run.waitResult()));  // nothing to read, nothing to cancel
  }
}

TEST(RemoteFileSender, SourceChangesAreDetected) {
  TempFolder folder;
  {
    SCOPED_TRACE("truncated while sending");
    writeFile(folder / "t", randomBytes(3 * 49152));
    SenderRun run(folder / "t", SenderRun::Receipts::afterSinkReturns);
    run.afterFrame = [&](const RemoteFileChunk& chunk) {
      if (chunk.offset == 0) ::truncate((folder / "t").c_str(), 49152);
    };
    run.start();
    EXPECT_EQ(failure(run.waitResult()), RemoteFileSendError::Code::sourceChanged);
    EXPECT_EQ(run.frames().size(), 1u);
  }
  {
    SCOPED_TRACE("modification date touched");
    writeFile(folder / "m", randomBytes(1000));
    SenderRun run(folder / "m", SenderRun::Receipts::afterSinkReturns);
    run.afterFrame = [&](const RemoteFileChunk&) {
      struct timespec times[2] = {{0, UTIME_OMIT}, {1000000, 123}};
      ::utimensat(AT_FDCWD, (folder / "m").c_str(), times, 0);
    };
    run.start();
    EXPECT_EQ(failure(run.waitResult()), RemoteFileSendError::Code::sourceChanged);
    EXPECT_EQ(run.receivedBytes().size(), 1000u);  // every byte was sent before the check
  }
  {
    SCOPED_TRACE("path replaced after the offer: the offered file's bytes are sent, then the change is reported");
    const auto original = randomBytes(5000, 1);
    writeFile(folder / "r", original);
    SenderRun run(folder / "r", SenderRun::Receipts::afterSinkReturns);
    writeFile(folder / "other", randomBytes(5000, 2));
    std::filesystem::rename(folder / "other", folder / "r");
    run.start();
    EXPECT_EQ(failure(run.waitResult()), RemoteFileSendError::Code::sourceChanged);
    EXPECT_EQ(run.receivedBytes(), original);
  }
}

TEST(DownloadSource, OnlyReadableFilesWithUsableNames) {
  TempFolder folder;
  writeFile(folder / "plain.txt", randomBytes(3));
  auto source = openDownloadSource(folder / "plain.txt");
  ASSERT_TRUE(source);
  EXPECT_EQ(source->name, "plain.txt");
  EXPECT_EQ(source->snapshot.size, 3u);

  // Links, folders and pipes: the coordinator's unusable picks.
  writeFile(folder / "bad\nname", randomBytes(3));
  EXPECT_FALSE(openDownloadSource(folder / "bad\nname"));
  EXPECT_FALSE(openDownloadSource(folder / "missing"));
  if (::geteuid() != 0) {  // root reads any file
    writeFile(folder / "secret", randomBytes(3));
    std::filesystem::permissions(folder / "secret", std::filesystem::perms::none);
    EXPECT_FALSE(openDownloadSource(folder / "secret"));
  }
}
