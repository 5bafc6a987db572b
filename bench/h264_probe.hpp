#pragma once
// A received H.264 stream (length-prefixed access units and their AVCDecoderConfigurationRecord) turned into
// Annex B and decoded by ffmpeg afterwards, to the mean colour of a small square of every picture: how the
// latency benchmarks learn which frame first shows a mark.
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/encoding.hpp"

namespace veltrano::bench {

inline void appendAnnexB(std::vector<std::uint8_t>& out, ByteView nal) {
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), nal.begin(), nal.end());
}

// The length-prefixed NAL units of an access unit in Annex B.
inline void appendAccessUnit(std::vector<std::uint8_t>& out, const Bytes& unit) {
  std::size_t at = 0;
  while (at + 4 <= unit.size()) {
    const std::size_t length = (std::size_t{unit[at]} << 24) | (std::size_t{unit[at + 1]} << 16) |
                               (std::size_t{unit[at + 2]} << 8) | unit[at + 3];
    at += 4;
    if (at + length > unit.size()) throw std::runtime_error("an access unit whose lengths do not add up");
    appendAnnexB(out, ByteView(unit.data() + at, length));
    at += length;
  }
}

// The parameter sets of an AVCDecoderConfigurationRecord in Annex B.
inline std::vector<std::uint8_t> parameterSetsInAnnexB(const Bytes& record) {
  std::vector<std::uint8_t> out;
  std::size_t at = 5;
  for (int kind = 0; kind < 2; ++kind) {
    if (at >= record.size()) throw std::runtime_error("short decoder configuration record");
    const std::size_t count = kind == 0 ? (record[at] & 0x1F) : record[at];
    ++at;
    for (std::size_t i = 0; i < count; ++i) {
      if (at + 2 > record.size()) throw std::runtime_error("short decoder configuration record");
      const std::size_t length = (std::size_t{record[at]} << 8) | record[at + 1];
      at += 2;
      if (at + length > record.size()) throw std::runtime_error("short decoder configuration record");
      appendAnnexB(out, ByteView(record.data() + at, length));
      at += length;
    }
  }
  return out;
}

// A decoded picture: which access unit of the stream it came from, and the mean colour (0xRRGGBB) of the probed
// square.
struct ProbedPicture {
  std::size_t frame = 0;
  std::uint32_t colour = 0;
};

// Decodes the stream with ffmpeg and returns the mean colour of the `size` square at (x, y) of every picture, with
// the access unit it came from: a decoder that lost a reference shows no picture for some frames.
inline std::vector<ProbedPicture> probePictures(const std::vector<std::uint8_t>& annexB, int x, int y, int size) {
  char dir[] = "/tmp/veltrano-bench-XXXXXX";
  if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  const std::string input = std::string(dir) + "/in.h264";
  const std::string output = std::string(dir) + "/probe.bgra";
  const std::string log = std::string(dir) + "/showinfo.log";
  std::ofstream(input, std::ios::binary)
      .write(reinterpret_cast<const char*>(annexB.data()), static_cast<std::streamsize>(annexB.size()));
  // The raw stream's time stamps count its access units at one frame interval each; showinfo tells each picture's.
  const std::string command = "ffmpeg -nostdin -v info -y -f h264 -i " + input +
                              " -fps_mode passthrough -vf crop=" + std::to_string(size) + ":" + std::to_string(size) +
                              ":" + std::to_string(x) + ":" + std::to_string(y) +
                              ",showinfo -f rawvideo -pix_fmt bgra " + output + " 2>" + log;
  const int status = std::system(command.c_str());
  std::ifstream file(output, std::ios::binary);
  const std::vector<std::uint8_t> raw((std::istreambuf_iterator<char>(file)), {});
  std::vector<long long> stamps;
  std::ifstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const auto at = line.find(" pts:");
    if (line.find("Parsed_showinfo") == std::string::npos || at == std::string::npos) continue;
    stamps.push_back(std::atoll(line.c_str() + at + 5));
  }
  std::filesystem::remove_all(dir);
  // The interval is the smallest step between two pictures (a lost reference skips some).
  long long interval = 0;
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    const long long step = stamps[i] - stamps[i - 1];
    if (step > 0 && (interval == 0 || step < interval)) interval = step;
  }
  std::vector<std::size_t> frames;
  for (const long long stamp : stamps) {
    frames.push_back(interval == 0 ? 0 : static_cast<std::size_t>(std::llround(static_cast<double>(stamp) / interval)));
  }
  if (status != 0) throw std::runtime_error("ffmpeg could not decode the received stream");
  const std::size_t frameBytes = static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4;
  if (frames.size() != raw.size() / frameBytes) throw std::runtime_error("ffmpeg's pictures and their times differ");
  std::vector<ProbedPicture> pictures;
  for (std::size_t at = 0, i = 0; at + frameBytes <= raw.size(); at += frameBytes, ++i) {
    std::array<std::uint64_t, 3> sum{};
    for (std::size_t p = at; p < at + frameBytes; p += 4) {
      sum[0] += raw[p + 2];
      sum[1] += raw[p + 1];
      sum[2] += raw[p];
    }
    const std::uint64_t pixels = frameBytes / 4;
    pictures.push_back({frames[i], static_cast<std::uint32_t>((sum[0] / pixels) << 16 | (sum[1] / pixels) << 8 |
                                                              sum[2] / pixels)});
  }
  return pictures;
}

// The colours of every picture, in order.
inline std::vector<std::uint32_t> probeColours(const std::vector<std::uint8_t>& annexB, int x, int y, int size) {
  std::vector<std::uint32_t> colours;
  for (const ProbedPicture& picture : probePictures(annexB, x, y, size)) colours.push_back(picture.colour);
  return colours;
}

// Each channel within 40 of the other's.
inline bool nearColour(std::uint32_t a, std::uint32_t b) {
  for (int shift : {16, 8, 0}) {
    if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > 40) return false;
  }
  return true;
}

}  // namespace veltrano::bench
