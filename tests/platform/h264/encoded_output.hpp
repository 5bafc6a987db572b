#pragma once
// Collects what a compression session hands out on its thread.
#include <string>
#include <vector>

#include "platform/h264/h264_compression_session.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::test {

class EncodedOutput {
 public:
  platform::H264CompressionSession::OutputHandler outputHandler() { return units_.recorder(); }
  platform::H264CompressionSession::ErrorHandler errorHandler() { return errors_.recorder(); }
  std::vector<platform::EncodedAccessUnit> units() { return units_.values(); }
  std::vector<std::string> errors() { return errors_.values(); }

 private:
  testing::RecordedValues<platform::EncodedAccessUnit> units_;
  testing::RecordedValues<std::string> errors_;
};

}  // namespace veltrano::test
