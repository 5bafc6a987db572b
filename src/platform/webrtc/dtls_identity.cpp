#include "platform/webrtc/dtls_identity.hpp"

#include <array>
#include <cctype>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/crypto/crypto_error.hpp"

namespace veltrano::webrtc {

namespace {

constexpr long certificateLifetimeSeconds = 30L * 24 * 60 * 60;
constexpr std::string_view sha256Prefix = "sha-256 ";

}  // namespace

std::string certificateFingerprint(X509* certificate) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest.data(), &length) != 1) {
    platform::throwOpenSslError("certificate digest");
  }
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text(sha256Prefix);
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 0x0f];
  }
  return text;
}

std::optional<std::string> normalizedFingerprint(std::string_view text) {
  const auto space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string algorithm(text.substr(0, space));
  for (char& c : algorithm) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (algorithm != "sha-256") return std::nullopt;
  std::string_view pairs = text.substr(space + 1);
  // 32 pairs of hex digits and 31 colons.
  if (pairs.size() != 32 * 3 - 1) return std::nullopt;
  std::string normalized(sha256Prefix);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const char c = pairs[i];
    if (i % 3 == 2) {
      if (c != ':') return std::nullopt;
      normalized += ':';
    } else {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
      normalized += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return normalized;
}

DtlsIdentity::DtlsIdentity(platform::detail::EvpPkeyPtr key, X509Ptr certificate)
    : key_(std::move(key)), certificate_(std::move(certificate)),
      fingerprint_(certificateFingerprint(certificate_.get())) {}

std::shared_ptr<const DtlsIdentity> DtlsIdentity::generate() {
  platform::detail::EvpPkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) platform::throwOpenSslError("P-256 key");
  X509Ptr certificate(X509_new());
  if (!certificate) platform::throwOpenSslError("certificate");
  X509_set_version(certificate.get(), 2);
  // A random positive serial, so that two certificates of this host never share one.
  std::array<unsigned char, 8> serial{};
  if (RAND_bytes(serial.data(), static_cast<int>(serial.size())) != 1) platform::throwOpenSslError("serial");
  serial[0] &= 0x7f;
  BIGNUM* serialNumber = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
  const bool serialSet = serialNumber && BN_to_ASN1_INTEGER(serialNumber, X509_get_serialNumber(certificate.get()));
  BN_free(serialNumber);
  if (!serialSet) platform::throwOpenSslError("serial");
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -24L * 60 * 60);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), certificateLifetimeSeconds);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("WebRTC"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  if (X509_set_pubkey(certificate.get(), key.get()) != 1 ||
      X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) {
    platform::throwOpenSslError("self-signed certificate");
  }
  return std::make_shared<const DtlsIdentity>(std::move(key), std::move(certificate));
}

}  // namespace veltrano::webrtc
