#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "base/encoding.hpp"
#include "platform/crypto/random.hpp"
#include "transport_test_support.hpp"
#include "transport/local_transport_session.hpp"

namespace veltrano {

// Moves the counters close to exhaustion; 2^64 records cannot be sent in a test.
struct LocalTransportSessionTestAccess {
  static void setSendSequence(LocalTransportSession& session, std::uint64_t value) { session.sendSequence_ = value; }
  static void setReceiveSequence(LocalTransportSession& session, std::uint64_t value) {
    session.receiveSequence_ = value;
  }
};

namespace {

using Code = LocalTransportSecurityError::Code;
using testing::establishSessions;
using testing::failureOf;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A record header announcing `sealedLength` bytes, with no body behind it.
Bytes headerFor(std::uint64_t sequence, std::uint64_t sealedLength) {
  Bytes header = text("VLE1");
  appendBE64(header, sequence);
  appendBE32(header, static_cast<std::uint32_t>(sealedLength));
  return header;
}

TEST(LocalTransportSession, RecordLayoutAndRoundTrips) {
  auto pair = establishSessions(LocalTransportChannel::control);
  const Bytes first = pair.host->seal(text("one"));
  const Bytes second = pair.host->seal({});
  ASSERT_EQ(first.size(), 16 + 3 + 16u);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 16), headerFor(0, 19));
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 16), headerFor(1, 16));

  const auto opened = pair.client->open(concat({first, second}));
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], text("one"));
  EXPECT_TRUE(opened[1].empty());
}

TEST(LocalTransportSession, LargestPlaintextPassesAndLargerRecordsAreRefusedFromTheHeaderAlone) {
  for (const auto& [channel, limit] : {std::pair{LocalTransportChannel::control, 262144u},
                                       {LocalTransportChannel::video, 8388608u},
                                       {LocalTransportChannel::audio, 65536u}, {LocalTransportChannel::file, 65536u}}) {
    SCOPED_TRACE(static_cast<int>(channel));
    EXPECT_EQ(maximumPlaintextSize(channel), limit);
    auto pair = establishSessions(channel);
    // Refused without using a sequence number: the next record still opens.
    EXPECT_EQ(failureOf([&] { pair.client->seal(Bytes(limit + 1)); }), Code::recordTooLarge);
    const Bytes largest = platform::randomBytes(limit);
    EXPECT_EQ(pair.host->open(pair.client->seal(largest)), std::vector<Bytes>{largest});
    // Fifteen header bytes are not enough to judge; the sixteenth is.
    const Bytes header = headerFor(1, limit + 1 + 16);
    EXPECT_TRUE(pair.host->open(ByteView(header).first(15)).empty());
    EXPECT_EQ(failureOf([&] { pair.host->open(ByteView(header).last(1)); }), Code::recordTooLarge);
  }
  // The largest possible length field too, in a single read.
  auto pair = establishSessions(LocalTransportChannel::control);
  EXPECT_EQ(failureOf([&] { pair.host->open(headerFor(0, 0xFFFFFFFF)); }), Code::recordTooLarge);
}

Bytes sealAll(LocalTransportSession& session, const std::vector<Bytes>& messages) {
  Bytes stream;
  for (const auto& message : messages) {
    const Bytes record = session.seal(message);
    stream.insert(stream.end(), record.begin(), record.end());
  }
  return stream;
}

// Feeds `stream` to a receiver in reads of the given sizes (the last one takes the rest).
std::vector<Bytes> openInReads(LocalTransportSession& session, ByteView stream,
                               const std::function<std::size_t()>& nextReadSize) {
  std::vector<Bytes> out;
  while (!stream.empty()) {
    const std::size_t n = std::min(nextReadSize(), stream.size());
    for (auto& plaintext : session.open(stream.first(n))) out.push_back(std::move(plaintext));
    stream = stream.subspan(n);
  }
  return out;
}

TEST(LocalTransportSession, SplitAndCoalescedReadsYieldTheSameRecords) {
  std::mt19937 random(1234);
  std::vector<Bytes> messages;
  for (int i = 0; i < 40; ++i) messages.push_back(platform::randomBytes(random() % 3000));

  auto byteByByte = establishSessions(LocalTransportChannel::file);
  EXPECT_EQ(openInReads(*byteByByte.host, sealAll(*byteByByte.client, messages), [] { return 1; }), messages);

  auto chunked = establishSessions(LocalTransportChannel::file);
  EXPECT_EQ(openInReads(*chunked.host, sealAll(*chunked.client, messages), [&] { return 1 + random() % 5000; }),
            messages);

  auto coalesced = establishSessions(LocalTransportChannel::file);
  EXPECT_EQ(coalesced.host->open(sealAll(*coalesced.client, messages)), messages);

  // A read that ends inside a header, then one that completes several records.
  auto mixed = establishSessions(LocalTransportChannel::file);
  const Bytes stream = sealAll(*mixed.client, messages);
  EXPECT_TRUE(mixed.host->open(ByteView(stream).first(7)).empty());
  EXPECT_EQ(mixed.host->open(ByteView(stream).subspan(7)), messages);
}

TEST(LocalTransportSession, ForeignBytesAndTamperingInAnyRegionAreRefused) {
  for (const Bytes& stream : {headerFor(0, 15), text("GET / HTTP/1.1\r\nHost: x\r\n\r\n")}) {
    auto pair = establishSessions(LocalTransportChannel::control);
    EXPECT_EQ(failureOf([&] { pair.host->open(stream); }), Code::invalidRecord) << asString(stream);
  }
  // A 100-byte plaintext: header 0..15, ciphertext 16..115, tag 116..131.
  const std::vector<std::tuple<const char*, std::function<void(Bytes&)>, Code>> cases = {
      {"magic", [](Bytes& r) { r[1] ^= 0x01; }, Code::invalidRecord},
      {"magic version", [](Bytes& r) { r[3] = '2'; }, Code::invalidRecord},
      {"sequence", [](Bytes& r) { r[11] ^= 0x01; }, Code::unexpectedSequence},
      {"length", [](Bytes& r) { r[15] -= 1; }, Code::authenticationFailed},
      {"ciphertext first", [](Bytes& r) { r[16] ^= 0x01; }, Code::authenticationFailed},
      {"ciphertext last", [](Bytes& r) { r[115] ^= 0x80; }, Code::authenticationFailed},
      {"tag first", [](Bytes& r) { r[116] ^= 0x01; }, Code::authenticationFailed},
      {"tag last", [](Bytes& r) { r[131] ^= 0x80; }, Code::authenticationFailed},
  };
  for (const auto& [region, alter, expected] : cases) {
    auto pair = establishSessions(LocalTransportChannel::control);
    Bytes record = pair.client->seal(platform::randomBytes(100));
    ASSERT_EQ(record.size(), 132u);
    alter(record);
    EXPECT_EQ(failureOf([&] { pair.host->open(record); }), expected) << region;
  }
}

TEST(LocalTransportSession, ReceiveSideStaysFailedAfterAnError) {
  auto pair = establishSessions(LocalTransportChannel::control);
  const Bytes good = pair.client->seal(text("good"));
  Bytes bad = good;
  bad.back() ^= 0x01;
  EXPECT_EQ(failureOf([&] { pair.host->open(bad); }), Code::authenticationFailed);
  EXPECT_EQ(failureOf([&] { pair.host->open(good); }), Code::authenticationFailed);
  EXPECT_EQ(failureOf([&] { pair.host->open({}); }), Code::authenticationFailed);
}

TEST(LocalTransportSession, ReplayedSkippedReorderedAndMirroredRecordsAreRefused) {
  using Attack = std::function<Bytes(testing::SessionPair&)>;
  const std::vector<std::tuple<const char*, Attack, Code>> attacks = {
      {"replay",
       [](auto& pair) {
         const Bytes first = pair.client->seal(text("a"));
         EXPECT_EQ(pair.host->open(first).size(), 1u);
         return first;
       },
       Code::unexpectedSequence},
      {"skip", [](auto& pair) { pair.client->seal(text("dropped")); return pair.client->seal(text("b")); },
       Code::unexpectedSequence},
      {"reorder",
       [](auto& pair) {
         const Bytes first = pair.client->seal(text("a"));
         return concat({pair.client->seal(text("b")), first});
       },
       Code::unexpectedSequence},
      // A record the host sealed itself, sent back at it, does not pass as the client's.
      {"mirror", [](auto& pair) { return pair.host->seal(text("mirror")); }, Code::authenticationFailed},
  };
  for (const auto& [name, attack, expected] : attacks) {
    auto pair = establishSessions(LocalTransportChannel::control);
    const Bytes stream = attack(pair);
    EXPECT_EQ(failureOf([&] { pair.host->open(stream); }), expected) << name;
  }
}

TEST(LocalTransportSession, ConcurrentSealsGetContiguousUniqueSequences) {
  auto pair = establishSessions(LocalTransportChannel::control);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 400;
  std::vector<std::vector<Bytes>> sealed(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        sealed[t].push_back(pair.client->seal(text(std::to_string(t) + ":" + std::to_string(i))));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::map<std::uint64_t, Bytes> bySequence;
  for (const auto& records : sealed) {
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::uint64_t sequence = readBE64(records[i].data() + 4);
      EXPECT_TRUE(i == 0 || sequence > readBE64(records[i - 1].data() + 4)) << "one thread's records keep their order";
      EXPECT_TRUE(bySequence.emplace(sequence, records[i]).second) << "duplicate sequence " << sequence;
    }
  }
  ASSERT_EQ(bySequence.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(bySequence.begin()->first, 0u);
  EXPECT_EQ(bySequence.rbegin()->first, static_cast<std::uint64_t>(kThreads * kPerThread - 1));

  std::set<std::string> plaintexts;
  for (const auto& [sequence, record] : bySequence) {
    for (const auto& p : pair.host->open(record)) plaintexts.insert(asString(p));
  }
  EXPECT_EQ(plaintexts.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST(LocalTransportSession, ExhaustedSequencesAreRefused) {
  auto pair = establishSessions(LocalTransportChannel::control);
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  LocalTransportSessionTestAccess::setSendSequence(*pair.client, kMax - 1);
  LocalTransportSessionTestAccess::setReceiveSequence(*pair.host, kMax - 1);
  const Bytes last = pair.client->seal(text("last"));
  EXPECT_EQ(readBE64(last.data() + 4), kMax - 1);
  EXPECT_EQ(pair.host->open(last).size(), 1u);
  EXPECT_EQ(failureOf([&] { pair.client->seal(text("one too many")); }), Code::unexpectedSequence);
}

}  // namespace
}  // namespace veltrano
