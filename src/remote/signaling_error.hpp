#pragma once
#include <stdexcept>

namespace veltrano {

// The signaling client's own failures, named after the URL errors a connection reports.
class SignalingError : public std::runtime_error {
 public:
  enum class Kind { cannotParseResponse, userAuthenticationRequired, cannotDecodeContentData, notConnectedToInternet };
  explicit SignalingError(Kind kind);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

}  // namespace veltrano
