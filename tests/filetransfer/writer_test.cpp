#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "filetransfer/file_transfer_test_support.hpp"
#include "filetransfer/incoming_remote_file_writer.hpp"
#include "filetransfer/partial_files_in_progress.hpp"

using namespace veltrano;
using namespace veltrano::testing;
namespace fs = std::filesystem;

namespace {

const std::string id = "a3c1e6f2-8b7d-4e59-9f0a-1d2c3b4a5e6f";

std::shared_ptr<IncomingRemoteFileWriter> makeWriter(const fs::path& destination, std::uint64_t size,
                                                     const std::string& transferID = id) {
  return runBlocking(IncomingRemoteFileWriter::create(RemoteFileOffer{transferID, destination.filename().string(), size},
                                                      destination));
}

// The writer's error code from `operation`, or nullopt when it succeeds.
template <class Operation>
std::optional<IncomingRemoteFileError::Code> errorOf(Operation operation) {
  try {
    operation();
  } catch (const IncomingRemoteFileError& error) {
    return error.code();
  }
  return std::nullopt;
}

std::optional<IncomingRemoteFileError::Code> creationError(const fs::path& destination, std::uint64_t size,
                                                           const std::string& transferID = id) {
  return errorOf([&] { makeWriter(destination, size, transferID); });
}

std::uint64_t write(IncomingRemoteFileWriter& writer, std::uint64_t offset, ByteView payload,
                    const std::string& transferID = id) {
  return runBlocking(writer.write(encodeChunkFrame(transferID, offset, payload)));
}

std::optional<IncomingRemoteFileError::Code> writeError(IncomingRemoteFileWriter& writer, std::uint64_t offset,
                                                        ByteView payload, const std::string& transferID = id) {
  return errorOf([&] { write(writer, offset, payload, transferID); });
}

std::optional<IncomingRemoteFileError::Code> finishError(IncomingRemoteFileWriter& writer, std::uint64_t size,
                                                         const std::string& sha) {
  return errorOf([&] { runBlocking(writer.finish(size, sha)); });
}

void writeAll(IncomingRemoteFileWriter& writer, const Bytes& content) {
  for (auto& frame : chunkFrames(id, content)) runBlocking(writer.write(std::move(frame)));
}

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return status.st_mode & 07777;
}

}  // namespace

TEST(IncomingRemoteFileWriter, StoresUploadsThroughAHiddenPartialFile) {
  TempFolder folder;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{49152}, std::size_t{49153},
                           std::size_t{3 * 1024 * 1024}}) {
    SCOPED_TRACE(size);
    const auto content = randomBytes(size, static_cast<unsigned>(size));
    const auto destination = folder / ("upload-" + std::to_string(size));
    auto writer = makeWriter(destination, size);
    const auto partial = folder / (".veltrano-" + id + ".download");
    EXPECT_EQ(writer->partialPath(), partial);
    ASSERT_TRUE(fs::exists(partial));
    EXPECT_EQ(modeOf(partial), 0600u);
    writeAll(*writer, content);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_EQ(finishError(*writer, size, sha256Hex(content)), std::nullopt);
    EXPECT_EQ(readFile(destination), content);
    EXPECT_EQ(modeOf(destination), 0600u);
    EXPECT_TRUE(folder.hiddenNames().empty());
    runBlocking(writer->abort());  // after a successful finish: nothing happens
    EXPECT_TRUE(fs::exists(destination));
    EXPECT_FALSE(writer->requestAbort());
  }
}

TEST(IncomingRemoteFileWriter, ReplacesAnExistingFileKeepingItsMode) {
  TempFolder folder;
  const auto destination = folder / "existing.txt";
  writeFile(destination, randomBytes(10, 1));
  ::chmod(destination.c_str(), 0644);
  const auto content = randomBytes(70000, 2);
  auto writer = makeWriter(destination, content.size());
  EXPECT_TRUE(writer->destinationSnapshot().existed);
  writeAll(*writer, content);
  EXPECT_EQ(finishError(*writer, content.size(), sha256Hex(content)), std::nullopt);
  EXPECT_EQ(readFile(destination), content);
  EXPECT_EQ(modeOf(destination), 0644u);
  EXPECT_TRUE(folder.hiddenNames().empty());
}

TEST(IncomingRemoteFileWriter, RefusesChunksOutOfOrderOrBounds) {
  TempFolder folder;
  const auto content = randomBytes(100);
  auto writer = makeWriter(folder / "f", 100);
  using Code = IncomingRemoteFileError::Code;
  EXPECT_EQ(writeError(*writer, 1, ByteView(content).subspan(0, 10)), Code::invalidData);  // a gap
  EXPECT_EQ(write(*writer, 0, ByteView(content).subspan(0, 10)), 10u);
  EXPECT_EQ(writeError(*writer, 0, ByteView(content).subspan(0, 10)), Code::invalidData);  // a repeat
  EXPECT_EQ(writeError(*writer, 10, Bytes()), Code::invalidData);                           // empty
  EXPECT_EQ(writeError(*writer, 10, Bytes(91)), Code::invalidData);                         // one byte past
  EXPECT_EQ(writeError(*writer, 10, ByteView(content).subspan(10, 10), "b3c1e6f2-8b7d-4e59-9f0a-1d2c3b4a5e6f"),
            Code::invalidData);  // another transfer
  EXPECT_THROW(runBlocking(writer->write(Bytes{1, 2, 3})), RemoteFileTransferProtocolError);
  EXPECT_EQ(fs::file_size(writer->partialPath()), 10u);  // nothing refused was written
  EXPECT_EQ(write(*writer, 10, ByteView(content).subspan(10, 90)), 100u);

  EXPECT_EQ(finishError(*writer, 100, std::string(64, '0')), Code::integrityFailed);
  EXPECT_TRUE(fs::exists(writer->partialPath()));  // stays until abort
  EXPECT_EQ(writeError(*writer, 100, Bytes{1}), Code::invalidData);  // after finish started
  EXPECT_EQ(finishError(*writer, 100, sha256Hex(content)), Code::invalidData);  // a second finish
  runBlocking(writer->abort());
  EXPECT_TRUE(folder.hiddenNames().empty());
  EXPECT_FALSE(fs::exists(folder / "f"));
}

TEST(IncomingRemoteFileWriter, WritesHandedInWithACallbackKeepTheirOrderAndReportRefusals) {
  TempFolder folder;
  const auto content = randomBytes(3 * maximumChunkPayloadSize, 7);
  const auto destination = folder / "called-back";
  auto writer = makeWriter(destination, content.size());
  // Every frame handed in at once, the second one refused (a repeat) in between: the callbacks come in order, on
  // the writer's executor, and the refusal writes nothing.
  struct Report {
    std::optional<std::uint64_t> received;
    bool offTheCallersThread = false;
  };
  const auto callersThread = std::this_thread::get_id();
  std::mutex mutex;
  std::vector<Report> reports;
  const auto frames = chunkFrames(id, content);
  for (const auto& next : {frames[0], frames[0], frames[1], frames[2]}) {
    writer->write(next, [&](std::optional<std::uint64_t> received) {
      std::lock_guard lock(mutex);
      reports.push_back(Report{received, std::this_thread::get_id() != callersThread});
    });
  }
  runBlocking(writer->destinationUnchanged());  // queued behind the writes on the writer's executor
  std::lock_guard lock(mutex);
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0].received, maximumChunkPayloadSize);
  EXPECT_EQ(reports[1].received, std::nullopt);
  EXPECT_EQ(reports[2].received, 2 * maximumChunkPayloadSize);
  EXPECT_EQ(reports[3].received, 3 * maximumChunkPayloadSize);
  for (const auto& report : reports) EXPECT_TRUE(report.offTheCallersThread);
  EXPECT_EQ(finishError(*writer, content.size(), sha256Hex(content)), std::nullopt);
  EXPECT_EQ(readFile(destination), content);
}

// The completion comes on another channel than the chunks and can overtake the last of them.
TEST(IncomingRemoteFileWriter, AFinishThatCameBeforeTheLastChunksWaitsForThemWithinItsBound) {
  using Code = IncomingRemoteFileError::Code;
  TempFolder folder;
  const auto content = randomBytes(3 * maximumChunkPayloadSize + 5, 8);
  const auto frames = chunkFrames(id, content);
  {
    const auto destination = folder / "overtaken.bin";
    auto writer = makeWriter(destination, content.size());
    runBlocking(writer->write(frames[0]));
    auto finished = boost::asio::co_spawn(sharedIo().executor(), writer->finish(content.size(), sha256Hex(content)),
                                          boost::asio::use_future);
    for (std::size_t i = 1; i < frames.size(); ++i) {
      EXPECT_EQ(finished.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
      runBlocking(writer->write(frames[i]));
    }
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NO_THROW(finished.get());
    EXPECT_EQ(readFile(destination), content);
    EXPECT_EQ(writeError(*writer, content.size(), Bytes{1}), Code::invalidData) << "nothing is taken after the finish";
  }
  {
    // Bytes that never come: the finish gives up after its bound, and nothing is stored.
    const auto destination = folder / "short.bin";
    auto writer = makeWriter(destination, content.size());
    runBlocking(writer->write(frames[0]));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(errorOf([&] {
                runBlocking(writer->finish(content.size(), sha256Hex(content), std::chrono::milliseconds(300)));
              }),
              Code::incomplete);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
    runBlocking(writer->abort());
    EXPECT_FALSE(fs::exists(destination));
  }
  {
    // A cancel while the finish waits ends the wait at once.
    const auto destination = folder / "cancelled.bin";
    auto writer = makeWriter(destination, content.size());
    auto finished = boost::asio::co_spawn(sharedIo().executor(), writer->finish(content.size(), sha256Hex(content)),
                                          boost::asio::use_future);
    EXPECT_EQ(finished.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_TRUE(writer->requestAbort());
    runBlocking(writer->abort());
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(errorOf([&] { finished.get(); }), Code::incomplete);
    EXPECT_FALSE(fs::exists(destination));
  }
  EXPECT_TRUE(folder.hiddenNames().empty());
}

TEST(IncomingRemoteFileWriter, FailedFinishLeavesTheDestinationUntouched) {
  TempFolder folder;
  const auto destination = folder / "keep.txt";
  const auto original = randomBytes(500, 3);
  writeFile(destination, original);
  const auto content = randomBytes(200, 4);
  using Code = IncomingRemoteFileError::Code;
  // (Fewer bytes than offered: the coordinator's "short" upload.)
  {
    auto writer = makeWriter(destination, 200);
    writeAll(*writer, content);
    EXPECT_EQ(finishError(*writer, 199, sha256Hex(content)), Code::incomplete);
    runBlocking(writer->abort());
  }
  {
    auto writer = makeWriter(destination, 200);
    writeAll(*writer, content);
    EXPECT_TRUE(writer->requestAbort());  // cancelled while finishing: the rename must not happen
    EXPECT_EQ(finishError(*writer, 200, sha256Hex(content)), Code::writeFailed);
    runBlocking(writer->abort());
  }
  EXPECT_EQ(readFile(destination), original);
  EXPECT_TRUE(folder.hiddenNames().empty());
}

TEST(IncomingRemoteFileWriter, NoticesAChangedDestination) {
  TempFolder folder;
  const auto content = randomBytes(50);
  using Code = IncomingRemoteFileError::Code;
  const auto attempt = [&](const fs::path& destination, const std::function<void()>& change) {
    auto writer = makeWriter(destination, content.size());
    writeAll(*writer, content);
    change();
    auto error = finishError(*writer, content.size(), sha256Hex(content));
    runBlocking(writer->abort());
    return error;
  };
  writeFile(folder / "dated", randomBytes(5));
  EXPECT_EQ(attempt(folder / "dated",
                    [&] {
                      struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 6789}};
                      ::utimensat(AT_FDCWD, (folder / "dated").c_str(), times, 0);
                    }),
            Code::destinationChanged);
  writeFile(folder / "replaced", randomBytes(5));
  EXPECT_EQ(attempt(folder / "replaced",
                    [&] {
                      writeFile(folder / "other", randomBytes(5));
                      fs::rename(folder / "other", folder / "replaced");
                    }),
            Code::destinationChanged);
  writeFile(folder / "deleted", randomBytes(5));
  EXPECT_EQ(attempt(folder / "deleted", [&] { fs::remove(folder / "deleted"); }), Code::destinationChanged);
  // (A file created meanwhile: the coordinator's "changed" upload.)
  EXPECT_TRUE(folder.hiddenNames().empty());
}

// (A folder, and a size no disk holds: the coordinator's failed uploads.)
TEST(IncomingRemoteFileWriter, RefusesUnusableDestinations) {
  TempFolder folder;
  using Code = IncomingRemoteFileError::Code;
  writeFile(folder / "target", randomBytes(4));
  fs::create_symlink(folder / "target", folder / "link");
  EXPECT_EQ(creationError(folder / "link", 1), Code::invalidDestination);
  ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(creationError(folder / "pipe", 1), Code::invalidDestination);
  EXPECT_EQ(creationError(folder / "target" / "inside", 1), Code::invalidDestination);  // the folder is a file
  EXPECT_EQ(creationError("relative/name", 1), Code::invalidDestination);
  EXPECT_EQ(creationError(folder / "bad\nname", 1), Code::invalidDestination);
  EXPECT_THROW(makeWriter(folder / "missing" / "f", 1), std::system_error);
  EXPECT_EQ(creationError(folder / "huge", std::numeric_limits<std::uint64_t>::max()), Code::insufficientStorage);

  // A link planted at the partial file's name is never followed or removed.
  writeFile(folder / "victim", randomBytes(8, 5));
  fs::create_symlink(folder / "victim", folder / (".veltrano-" + id + ".download"));
  EXPECT_EQ(creationError(folder / "new", 8), Code::invalidDestination);
  EXPECT_EQ(readFile(folder / "victim"), randomBytes(8, 5));
  EXPECT_TRUE(fs::is_symlink(folder / (".veltrano-" + id + ".download")));
  EXPECT_EQ(readFile(folder / "target"), randomBytes(4));
  EXPECT_FALSE(fs::exists(folder / "new"));
}

TEST(IncomingRemoteFileWriter, RemovesAbandonedPartialFilesButNotLiveOnes) {
  TempFolder folder;
  const std::string staleID = "11111111-2222-4333-8444-555555555555";
  const auto stale = folder / (".veltrano-" + staleID + ".download");
  const auto sameIDStale = folder / (".veltrano-" + id + ".download");
  const auto unrelated = folder / ".veltrano-notes.download";
  writeFile(stale, randomBytes(100));
  writeFile(sameIDStale, randomBytes(100));
  writeFile(unrelated, randomBytes(3));

  auto live = makeWriter(folder / "first", 10);  // sweeps both abandoned partial files, the same id's included
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live->partialPath()));
  EXPECT_EQ(fs::file_size(live->partialPath()), 0u);
  EXPECT_TRUE(fs::exists(unrelated));

  // The live partial file is held by its writer: a second upload of the same id is refused, and it stays.
  EXPECT_EQ(creationError(folder / "second", 10), IncomingRemoteFileError::Code::invalidDestination);
  EXPECT_TRUE(fs::exists(live->partialPath()));
  auto other = makeWriter(folder / "third", 10, staleID);
  EXPECT_TRUE(fs::exists(live->partialPath()));
  runBlocking(other->abort());
  runBlocking(live->abort());
  EXPECT_FALSE(fs::exists(live->partialPath()));
}

// The program's last clean-up when it must end at once: the partial files of live uploads go, a stored upload
// stays.
TEST(IncomingRemoteFileWriter, TheLastCleanUpRemovesOnlyThePartialFilesOfLiveUploads) {
  TempFolder folder;
  const Bytes content = randomBytes(1000);
  auto stored = makeWriter(folder / "stored", content.size());
  writeAll(*stored, content);
  ASSERT_EQ(finishError(*stored, content.size(), sha256Hex(content)), std::nullopt);
  auto live = makeWriter(folder / "live", 5000, "11111111-2222-4333-8444-555555555555");
  write(*live, 0, content, "11111111-2222-4333-8444-555555555555");
  const auto livePartial = live->partialPath();

  removePartialFilesInProgress();
  EXPECT_FALSE(fs::exists(livePartial));
  EXPECT_EQ(readFile(folder / "stored"), content);
  EXPECT_FALSE(fs::exists(folder / "live"));
}
