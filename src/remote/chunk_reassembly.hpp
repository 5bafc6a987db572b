#pragma once
// Collects the "VLC1" chunk frames that arrive on a session's data channels into whole messages, per channel label
// and message identifier. A peer can make it hold only what a conforming writer would send: each chunk must have
// the count and payload length its total implies, a label holds at most 32 partial messages announcing at most
// 16 MiB together, all labels of the session together at most 16 MiB (the oldest gives way in both), and a partial
// message is dropped once 2 seconds pass without a chunk of it, checked whenever anything arrives. The wait runs
// from its latest chunk, not its first: an 8 MiB message takes longer than 2 seconds on any link below about
// 34 Mbit/s, and timing it from the first chunk lost every such message on a reliable channel.
//
// Not thread-safe: its owner touches it from one strand.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.hpp"
#include "base/encoding.hpp"

namespace veltrano {

class ChunkReassembly {
 public:
  static constexpr std::uint16_t maximumChunkCount = 256;
  static constexpr std::uint32_t maximumTotalLength = 8 * 1024 * 1024;
  static constexpr std::size_t maximumOpenPerLabel = 32;
  static constexpr std::uint64_t maximumOpenBytesPerLabel = 16 * 1024 * 1024;
  static constexpr std::uint64_t maximumOpenBytes = 16 * 1024 * 1024;
  static constexpr Clock::Duration lifetime = std::chrono::seconds(2);

  // Takes one data-channel message: returns the whole message a chunk frame completes, the message unchanged
  // when it is not a chunk frame, and nothing otherwise (a partial message, or a frame that is dropped).
  std::optional<Bytes> receive(std::string_view label, ByteView data, Clock::TimePoint now);

  // Identifiers of the partial messages of a label, oldest first.
  std::vector<std::uint32_t> openMessageIDs(std::string_view label) const;
  // The total length the partial messages of every label announce.
  std::uint64_t announcedBytes() const { return announcedBytes_; }

 private:
  struct Assembly {
    std::uint32_t totalLength = 0;
    std::uint16_t chunkCount = 0;
    Clock::TimePoint lastChunkAt;
    std::uint64_t age = 0;  // order of opening; smaller is older
    std::vector<std::optional<Bytes>> chunks;
    std::size_t receivedCount = 0;
  };
  struct LabelAssemblies {
    std::map<std::uint32_t, Assembly> byMessageID;
    std::uint64_t announcedBytes = 0;
  };

  void expire(Clock::TimePoint now);
  void makeRoom(LabelAssemblies& assemblies, std::uint32_t totalLength);
  Assembly& open(LabelAssemblies& assemblies, std::uint32_t messageID, std::uint32_t totalLength,
                 std::uint16_t chunkCount);
  void remove(LabelAssemblies& assemblies, std::map<std::uint32_t, Assembly>::iterator which);

  std::map<std::string, LabelAssemblies, std::less<>> labels_;
  std::uint64_t nextAge_ = 0;
  std::uint64_t announcedBytes_ = 0;  // over every label
};

}  // namespace veltrano
