#include "remote/chunk_reassembly.hpp"

#include <algorithm>

#include "remote/data_channel_chunks.hpp"

namespace veltrano {

std::optional<Bytes> ChunkReassembly::receive(std::string_view label, ByteView data, Clock::TimePoint now) {
  expire(now);
  const std::optional<ChunkHeader> header = readChunkHeader(data);
  if (!header) return Bytes(data.begin(), data.end());

  const ByteView payload = data.subspan(chunkHeaderSize);
  if (header->count == 0 || header->count > maximumChunkCount || header->index >= header->count ||
      header->totalLength > maximumTotalLength) {
    return std::nullopt;
  }
  // Anything but the writer's own cut would let a peer pin memory the total does not account for.
  if (header->count != chunkCountFor(header->totalLength) ||
      payload.size() != chunkPayloadLengthFor(header->totalLength, header->index)) {
    return std::nullopt;
  }

  auto labelEntry = labels_.find(label);
  if (labelEntry == labels_.end()) labelEntry = labels_.emplace(std::string(label), LabelAssemblies{}).first;
  LabelAssemblies& assemblies = labelEntry->second;
  const auto existing = assemblies.byMessageID.find(header->messageID);
  if (existing != assemblies.byMessageID.end() && existing->second.totalLength != header->totalLength) {
    return std::nullopt;
  }
  Assembly& assembly = existing != assemblies.byMessageID.end()
                           ? existing->second
                           : open(assemblies, header->messageID, header->totalLength, header->count);

  assembly.lastChunkAt = now;
  std::optional<Bytes>& slot = assembly.chunks[header->index];
  if (!slot) ++assembly.receivedCount;
  slot = Bytes(payload.begin(), payload.end());
  if (assembly.receivedCount < assembly.chunkCount) return std::nullopt;

  Bytes message;
  message.reserve(assembly.totalLength);
  for (const std::optional<Bytes>& chunk : assembly.chunks) message.insert(message.end(), chunk->begin(), chunk->end());
  const bool whole = message.size() == assembly.totalLength;
  remove(assemblies, assemblies.byMessageID.find(header->messageID));
  if (assemblies.byMessageID.empty()) labels_.erase(labelEntry);
  if (!whole) return std::nullopt;
  return message;
}

std::vector<std::uint32_t> ChunkReassembly::openMessageIDs(std::string_view label) const {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> byAge;
  if (const auto entry = labels_.find(label); entry != labels_.end()) {
    for (const auto& [messageID, assembly] : entry->second.byMessageID) byAge.emplace_back(assembly.age, messageID);
  }
  std::sort(byAge.begin(), byAge.end());
  std::vector<std::uint32_t> messageIDs;
  for (const auto& [age, messageID] : byAge) messageIDs.push_back(messageID);
  return messageIDs;
}

void ChunkReassembly::expire(Clock::TimePoint now) {
  for (auto label = labels_.begin(); label != labels_.end();) {
    auto& byMessageID = label->second.byMessageID;
    for (auto assembly = byMessageID.begin(); assembly != byMessageID.end();) {
      const auto current = assembly++;
      if (now - current->second.lastChunkAt >= lifetime) remove(label->second, current);
    }
    label = byMessageID.empty() ? labels_.erase(label) : std::next(label);
  }
}

ChunkReassembly::Assembly& ChunkReassembly::open(LabelAssemblies& assemblies, std::uint32_t messageID,
                                                 std::uint32_t totalLength, std::uint16_t chunkCount) {
  makeRoom(assemblies, totalLength);
  Assembly& assembly = assemblies.byMessageID[messageID];
  assembly.totalLength = totalLength;
  assembly.chunkCount = chunkCount;
  assembly.age = nextAge_++;
  assembly.chunks.resize(chunkCount);
  assemblies.announcedBytes += totalLength;
  announcedBytes_ += totalLength;
  return assembly;
}

void ChunkReassembly::makeRoom(LabelAssemblies& assemblies, std::uint32_t totalLength) {
  const auto byAge = [](const auto& a, const auto& b) { return a.second.age < b.second.age; };
  auto& byMessageID = assemblies.byMessageID;
  while (!byMessageID.empty() && (byMessageID.size() >= maximumOpenPerLabel ||
                                  assemblies.announcedBytes + totalLength > maximumOpenBytesPerLabel)) {
    remove(assemblies, std::min_element(byMessageID.begin(), byMessageID.end(), byAge));
  }
  // A peer could otherwise spread its partial messages over many labels. Labels left empty go at the next expiry.
  while (announcedBytes_ + totalLength > maximumOpenBytes) {
    LabelAssemblies* oldestLabel = nullptr;
    std::map<std::uint32_t, Assembly>::iterator oldest;
    for (auto& [label, other] : labels_) {
      if (other.byMessageID.empty()) continue;
      const auto candidate = std::min_element(other.byMessageID.begin(), other.byMessageID.end(), byAge);
      if (!oldestLabel || candidate->second.age < oldest->second.age) {
        oldestLabel = &other;
        oldest = candidate;
      }
    }
    if (!oldestLabel) break;
    remove(*oldestLabel, oldest);
  }
}

void ChunkReassembly::remove(LabelAssemblies& assemblies, std::map<std::uint32_t, Assembly>::iterator which) {
  assemblies.announcedBytes -= which->second.totalLength;
  announcedBytes_ -= which->second.totalLength;
  assemblies.byMessageID.erase(which);
}

}  // namespace veltrano
