#pragma once
// A peer's DTLS identity: a P-256 key with a self-signed certificate, and the certificate's fingerprint in the
// form SDP carries ("sha-256 AB:CD:...").
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/x509.h>

#include "platform/crypto/openssl_handles.hpp"

namespace veltrano::webrtc {

struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// Fingerprint of a certificate: "sha-256 " and the digest as upper-case hex pairs joined by colons.
std::string certificateFingerprint(X509* certificate);

// Splits "sha-256 ab:cd:..." into a normalized form for comparison; nullopt when it is not a SHA-256 fingerprint.
std::optional<std::string> normalizedFingerprint(std::string_view text);

class DtlsIdentity {
 public:
  // A fresh key and a certificate valid for 30 days. Throws CryptoError when OpenSSL fails.
  static std::shared_ptr<const DtlsIdentity> generate();

  EVP_PKEY* key() const { return key_.get(); }
  X509* certificate() const { return certificate_.get(); }
  const std::string& fingerprint() const { return fingerprint_; }

  DtlsIdentity(platform::detail::EvpPkeyPtr key, X509Ptr certificate);

 private:
  platform::detail::EvpPkeyPtr key_;
  X509Ptr certificate_;
  std::string fingerprint_;
};

}  // namespace veltrano::webrtc
