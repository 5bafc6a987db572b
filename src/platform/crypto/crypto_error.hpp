#pragma once
// A failure inside the crypto library itself (allocation, unsupported algorithm, bad key length).
// Authentication failures are ordinary results (bool / optional), never this error.
#include <stdexcept>
#include <string>

namespace veltrano::platform {

class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws CryptoError with `what` and the newest OpenSSL error text, and clears OpenSSL's error queue.
[[noreturn]] void throwOpenSslError(const std::string& what);

}  // namespace veltrano::platform
