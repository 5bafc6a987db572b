#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "remote/chunk_reassembly.hpp"
#include "remote/data_channel_chunks.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;

Bytes message(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

// A frame with any header and `payload` bytes of filler, conforming or not.
Bytes frame(std::uint32_t id, std::uint16_t index, std::uint16_t count, std::uint32_t total, std::size_t payload) {
  Bytes bytes{'V', 'L', 'C', '1'};
  appendBE32(bytes, id);
  appendBE16(bytes, index);
  appendBE16(bytes, count);
  appendBE32(bytes, total);
  bytes.resize(bytes.size() + payload, static_cast<std::uint8_t>(index));
  return bytes;
}

TEST(Chunking, MessagesOfEverySizeSurviveTheTripInAnyOrder) {
  struct Case {
    std::size_t size;
    std::size_t chunks;
    std::size_t lastPayload;
  };
  const Case cases[] = {{0, 1, 0},           {1, 1, 1},         {59999, 1, 59999},
                        {60000, 1, 60000},   {60001, 2, 1},     {180000, 3, 60000},
                        {8388608, 140, 48608}};
  std::mt19937 random(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes original = message(c.size);
    std::vector<Bytes> frames = makeChunks(original, 42);
    ASSERT_EQ(frames.size(), c.chunks);
    EXPECT_EQ(frames.back().size(), chunkHeaderSize + c.lastPayload);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const auto header = readChunkHeader(frames[i]);
      ASSERT_TRUE(header);
      EXPECT_EQ(header->messageID, 42u);
      EXPECT_EQ(header->index, i);
      EXPECT_EQ(header->count, c.chunks);
      EXPECT_EQ(header->totalLength, c.size);
    }
    std::shuffle(frames.begin(), frames.end(), random);
    ChunkReassembly reassembly;
    std::optional<Bytes> delivered;
    for (const Bytes& f : frames) {
      ASSERT_FALSE(delivered);
      delivered = reassembly.receive("veltrano.video.1", f, {});
    }
    EXPECT_EQ(delivered, original);
    EXPECT_TRUE(reassembly.openMessageIDs("veltrano.video.1").empty());
  }
}

TEST(Chunking, AMessageBeyondTheFramesFieldsGivesNoChunks) {
  const std::uint8_t byte = 0;
  // Only the length is looked at before refusing, so the view need not be backed.
  EXPECT_TRUE(makeChunks(ByteView(&byte, 65535ull * 60000 + 1), 1).empty());
}

struct Arrival {
  std::string label;
  Bytes data;
  std::chrono::milliseconds at{0};
};

struct ReaderCase {
  const char* name;
  std::vector<Arrival> arrivals;
  std::vector<Bytes> delivered;
  std::vector<std::uint32_t> openOnA;
};

// Payload bytes of a conforming chunk, as frame() fills them.
Bytes filled(std::size_t size, std::uint8_t index) { return Bytes(size, index); }
Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(Chunking, ReaderDeliversOnlyWholeConformingMessagesWithinItsBounds) {
  const Bytes plain15(15, 'x');
  const Bytes plainLong{'V', 'L', 'C', '2', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  const Bytes twoChunks = joined({filled(60000, 0), filled(5, 1)});
  const Bytes threeChunks = joined({filled(60000, 0), filled(60000, 1), filled(1, 2)});
  std::vector<ReaderCase> cases = {
      {"short message passes unchanged", {{"a", plain15}}, {plain15}, {}},
      {"other magic passes unchanged", {{"a", plainLong}}, {plainLong}, {}},
      {"empty message", {{"a", frame(1, 0, 1, 0, 0)}}, {Bytes{}}, {}},
      {"count 0", {{"a", frame(1, 0, 0, 0, 0)}}, {}, {}},
      {"count 257", {{"a", frame(1, 0, 257, 15420000, 60000)}}, {}, {}},
      {"index 5 of 5", {{"a", frame(1, 5, 5, 300000, 60000)}}, {}, {}},
      {"total beyond 8 MiB", {{"a", frame(1, 0, 140, 8388609, 60000)}}, {}, {}},
      {"total of 8 MiB opens", {{"a", frame(1, 0, 140, 8388608, 60000)}}, {}, {1}},
      {"count the total does not imply", {{"a", frame(1, 0, 2, 10, 5)}}, {}, {}},
      {"payload longer than its share", {{"a", frame(1, 1, 2, 60005, 6)}}, {}, {}},
      {"payload shorter than its share", {{"a", frame(1, 0, 2, 60005, 59999)}}, {}, {}},
      {"order 2, 0, 1",
       {{"a", frame(1, 2, 3, 120001, 1)}, {"a", frame(1, 0, 3, 120001, 60000)}, {"a", frame(1, 1, 3, 120001, 60000)}},
       {threeChunks},
       {}},
      {"contradicting total dropped, first completes",
       {{"a", frame(1, 0, 2, 60005, 60000)}, {"a", frame(1, 1, 2, 60006, 6)}, {"a", frame(1, 1, 2, 60005, 5)}},
       {twoChunks},
       {}},
      {"interleaved identifiers",
       {{"a", frame(1, 0, 2, 60005, 60000)}, {"a", frame(2, 0, 2, 60005, 60000)}, {"a", frame(2, 1, 2, 60005, 5)},
        {"a", frame(1, 1, 2, 60005, 5)}},
       {twoChunks, twoChunks},
       {}},
      {"same identifier on two labels",
       {{"a", frame(1, 0, 2, 60005, 60000)}, {"b", frame(1, 1, 2, 60005, 5)}},
       {},
       {1}},
      {"chunk 2 s after the first starts over",
       {{"a", frame(1, 0, 2, 60005, 60000)}, {"a", frame(1, 1, 2, 60005, 5), 2000ms}},
       {},
       {1}},
      {"chunk just inside 2 s completes",
       {{"a", frame(1, 0, 2, 60005, 60000)}, {"a", frame(1, 1, 2, 60005, 5), 1999ms}},
       {twoChunks},
       {}},
      {"chunks under 2 s apart complete, however long the message takes",
       {{"a", frame(1, 0, 3, 120001, 60000)},
        {"a", frame(1, 1, 3, 120001, 60000), 1900ms},
        {"a", frame(1, 2, 3, 120001, 1), 3800ms}},
       {threeChunks},
       {}},
      {"2 s without a chunk starts over, counted from the latest",
       {{"a", frame(1, 0, 3, 120001, 60000)},
        {"a", frame(1, 1, 3, 120001, 60000), 1900ms},
        {"a", frame(1, 2, 3, 120001, 1), 3900ms}},
       {},
       {1}},
      {"a contradicting chunk does not keep a partial message alive",
       {{"a", frame(1, 0, 2, 60005, 60000)},
        {"a", frame(1, 1, 2, 60006, 6), 1900ms},
        {"a", frame(1, 1, 2, 60005, 5), 2000ms}},
       {},
       {1}},
      {"anything arriving expires stale partial messages",
       {{"a", frame(1, 0, 2, 60005, 60000)}, {"b", plain15, 2000ms}},
       {plain15},
       {}},
      {"three 8 MiB messages: the oldest gives way",
       {{"a", frame(1, 0, 140, 8388608, 60000)},
        {"a", frame(2, 0, 140, 8388608, 60000)},
        {"a", frame(3, 0, 140, 8388608, 60000)}},
       {},
       {2, 3}},
  };
  ReaderCase many{"33 partial messages: the oldest gives way", {}, {}, {}};
  for (std::uint32_t id = 1; id <= 33; ++id) many.arrivals.push_back({"a", frame(id, 0, 2, 60005, 60000)});
  for (std::uint32_t id = 2; id <= 33; ++id) many.openOnA.push_back(id);
  cases.push_back(many);

  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChunkReassembly reassembly;
    std::vector<Bytes> delivered;
    for (const Arrival& arrival : c.arrivals) {
      if (auto whole = reassembly.receive(arrival.label, arrival.data, Clock::TimePoint(arrival.at))) {
        delivered.push_back(*whole);
      }
    }
    EXPECT_EQ(delivered, c.delivered);
    EXPECT_EQ(reassembly.openMessageIDs("a"), c.openOnA);
  }
}

TEST(Chunking, PartialMessagesOfEveryLabelShareOneBoundAndTheOldestGivesWay) {
  ChunkReassembly reassembly;
  const Bytes eightMiB = frame(1, 0, 140, 8388608, 60000);
  EXPECT_FALSE(reassembly.receive("a", eightMiB, {}));
  EXPECT_FALSE(reassembly.receive("b", eightMiB, {}));
  EXPECT_EQ(reassembly.announcedBytes(), 16u * 1024 * 1024);
  EXPECT_FALSE(reassembly.receive("c", eightMiB, {}));
  EXPECT_TRUE(reassembly.openMessageIDs("a").empty());
  EXPECT_EQ(reassembly.openMessageIDs("b"), std::vector<std::uint32_t>{1});
  EXPECT_EQ(reassembly.openMessageIDs("c"), std::vector<std::uint32_t>{1});

  // Even a small message on yet another label pushes out the oldest, which then cannot complete.
  EXPECT_FALSE(reassembly.receive("d", frame(7, 0, 2, 60005, 60000), {}));
  EXPECT_TRUE(reassembly.openMessageIDs("b").empty());
  EXPECT_EQ(reassembly.announcedBytes(), 8388608u + 60005u);
  const auto whole = reassembly.receive("d", frame(7, 1, 2, 60005, 5), {});
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), 60005u);
  EXPECT_EQ(reassembly.announcedBytes(), 8388608u);
  for (std::uint16_t index = 1; index < 140; ++index) {
    EXPECT_FALSE(reassembly.receive("b", frame(1, index, 140, 8388608, index == 139 ? 48608 : 60000), {}));
  }
}

TEST(Chunking, ARepeatedChunkReplacesTheEarlierOne) {
  ChunkReassembly reassembly;
  Bytes first = frame(9, 0, 2, 60001, 60000);
  EXPECT_FALSE(reassembly.receive("a", first, {}));
  first.back() = 0xEE;
  EXPECT_FALSE(reassembly.receive("a", first, {}));
  const auto whole = reassembly.receive("a", frame(9, 1, 2, 60001, 1), {});
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), 60001u);
  EXPECT_EQ((*whole)[59999], 0xEE);
}

}  // namespace
}  // namespace veltrano
