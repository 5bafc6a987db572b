#pragma once
#include <boost/system/error_code.hpp>

#include <stdexcept>

namespace veltrano::platform {

// A network failure thrown by the awaitable forms of the listener and connection operations.
// what() is the error's description.
class NetworkError : public std::runtime_error {
 public:
  explicit NetworkError(boost::system::error_code code) : std::runtime_error(code.message()), code_(code) {}
  const boost::system::error_code& code() const { return code_; }

 private:
  boost::system::error_code code_;
};

}  // namespace veltrano::platform
