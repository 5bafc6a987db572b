#pragma once
// An independent decoder for the tests: the length-prefixed access units and out-of-band parameter sets are turned
// into an Annex-B elementary stream (start codes, parameter sets in front of every keyframe) and decoded by the
// ffmpeg command line into BGRA pictures.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/h264/h264_types.hpp"
#include "support/required_service.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::test {

// NAL units of one length-prefixed access unit; empty when the lengths do not add up to the whole unit.
inline std::vector<std::vector<std::uint8_t>> splitLengthPrefixed(const std::vector<std::uint8_t>& data) {
  std::vector<std::vector<std::uint8_t>> nals;
  std::size_t at = 0;
  while (at + 4 <= data.size()) {
    const std::size_t length = (std::size_t{data[at]} << 24) | (std::size_t{data[at + 1]} << 16) |
                               (std::size_t{data[at + 2]} << 8) | data[at + 3];
    at += 4;
    if (length == 0 || at + length > data.size()) return {};
    nals.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                      data.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  if (at != data.size()) return {};
  return nals;
}

inline void appendAnnexB(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& nal) {
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), nal.begin(), nal.end());
}

inline std::vector<std::uint8_t> toAnnexB(const std::vector<platform::EncodedAccessUnit>& units) {
  std::vector<std::uint8_t> stream;
  for (const auto& unit : units) {
    if (unit.keyframe && unit.parameterSets) {
      for (const auto& sps : unit.parameterSets->sps) appendAnnexB(stream, sps);
      for (const auto& pps : unit.parameterSets->pps) appendAnnexB(stream, pps);
    }
    for (const auto& nal : splitLengthPrefixed(unit.data)) appendAnnexB(stream, nal);
  }
  return stream;
}

struct DecodedVideo {
  int width = 0;
  int height = 0;
  std::vector<std::vector<std::uint8_t>> frames;  // BGRA, width * 4 per row
  std::string errors;                             // what ffmpeg complained about

  std::array<int, 3> rgbAt(std::size_t frame, int x, int y) const {
    const std::uint8_t* p = frames[frame].data() + (static_cast<std::size_t>(y) * width + x) * 4;
    return {p[2], p[1], p[0]};
  }
};

inline bool ffmpegAvailable() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

// Decodes with ffmpeg; nullopt when ffmpeg could not run at all.
inline std::optional<DecodedVideo> decodeWithFfmpeg(const std::vector<std::uint8_t>& annexB, int width, int height) {
  const testing::TemporaryFolder dir("veltrano-h264");
  const std::string input = dir / "in.h264";
  const std::string output = dir / "out.bgra";
  testing::writeText(input, std::string(annexB.begin(), annexB.end()));
  const std::string command = "ffmpeg -nostdin -v error -y -f h264 -i " + input +
                              " -fps_mode passthrough -f rawvideo -pix_fmt bgra " + output + " 2>" +
                              (dir / "log.txt").string();
  const int status = std::system(command.c_str());
  DecodedVideo video{width, height, {}, testing::readText(dir / "log.txt")};
  const std::string raw = testing::readText(output);
  const std::size_t frameBytes = static_cast<std::size_t>(width) * height * 4;
  for (std::size_t at = 0; at + frameBytes <= raw.size(); at += frameBytes) {
    video.frames.emplace_back(raw.begin() + static_cast<std::ptrdiff_t>(at),
                              raw.begin() + static_cast<std::ptrdiff_t>(at + frameBytes));
  }
  if (status != 0 && video.frames.empty()) video.errors += " (ffmpeg exit status " + std::to_string(status) + ")";
  return video;
}

// The units decoded as one stream; a decoder that could not run or complained fails the test.
inline DecodedVideo decodeCleanly(const std::vector<platform::EncodedAccessUnit>& units, int width, int height) {
  std::optional<DecodedVideo> video = decodeWithFfmpeg(toAnnexB(units), width, height);
  EXPECT_TRUE(video) << "ffmpeg did not run";
  if (!video) return {};
  EXPECT_EQ(video->errors, "");
  return *video;
}

}  // namespace veltrano::test

// ffmpeg is the decode oracle: required in CI, skipped elsewhere when missing.
#define VELTRANO_REQUIRE_FFMPEG()                                                              \
  VELTRANO_REQUIRE_SERVICE("ffmpeg", ::veltrano::test::ffmpegAvailable()                       \
                                         ? std::nullopt                                        \
                                         : std::optional<std::string>("ffmpeg is not installed"))
