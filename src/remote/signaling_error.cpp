#include "remote/signaling_error.hpp"

namespace veltrano {

namespace {

const char* describe(SignalingError::Kind kind) {
  switch (kind) {
    case SignalingError::Kind::cannotParseResponse: return "cannot parse response";
    case SignalingError::Kind::userAuthenticationRequired: return "user authentication required";
    case SignalingError::Kind::cannotDecodeContentData: return "cannot decode raw data";
    case SignalingError::Kind::notConnectedToInternet: return "the Internet connection appears to be offline";
  }
  return "signaling failed";
}

}  // namespace

SignalingError::SignalingError(Kind kind) : std::runtime_error(describe(kind)), kind_(kind) {}

}  // namespace veltrano
