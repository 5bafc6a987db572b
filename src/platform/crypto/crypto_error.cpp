#include "platform/crypto/crypto_error.hpp"

#include <openssl/err.h>

namespace veltrano::platform {

void throwOpenSslError(const std::string& what) {
  unsigned long code = ERR_get_error();
  std::string message = what;
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    message += ": ";
    message += text;
  }
  ERR_clear_error();
  throw CryptoError(message);
}

}  // namespace veltrano::platform
