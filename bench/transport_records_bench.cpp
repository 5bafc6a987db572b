// Sealing and opening local transport records, measured beside the bare OpenSSL EVP calls that
// do the same cryptographic work (same key, nonce layout, 16 bytes of additional data) into
// preallocated buffers. The gap is what the record layer itself costs.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <stdexcept>

#include <openssl/evp.h>

#include "base/encoding.hpp"
#include "platform/crypto/random.hpp"
#include "transport/handshake_messages.hpp"
#include "transport/local_transport_session.hpp"

namespace {

using veltrano::Bytes;
using veltrano::LocalTransportChannel;
using veltrano::LocalTransportSession;

constexpr LocalTransportChannel kChannel = LocalTransportChannel::video;  // the largest limit

veltrano::handshake::SessionKeys benchKeys() {
  veltrano::handshake::Nonce cn{}, hn{};
  cn.fill(1);
  hn.fill(2);
  return veltrano::handshake::deriveSessionKeys(veltrano::platform::randomSecret(32), kChannel, "bench", cn, hn);
}

struct Sessions {
  veltrano::handshake::SessionKeys keys = benchKeys();
  LocalTransportSession client{kChannel, keys.clientToHost, keys.hostToClient};
  LocalTransportSession host{kChannel, keys.hostToClient, keys.clientToHost};
};

void BM_Seal(benchmark::State& state) {
  Sessions sessions;
  const Bytes plaintext = veltrano::platform::randomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Bytes record = sessions.client.seal(plaintext);
    benchmark::DoNotOptimize(record.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_SealOpen(benchmark::State& state) {
  Sessions sessions;
  const Bytes plaintext = veltrano::platform::randomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto opened = sessions.host.open(sessions.client.seal(plaintext));
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The bare EVP sequence for one record, with the record's nonce and header as additional data.
class RawGcm {
 public:
  explicit RawGcm(const veltrano::platform::SecureBytes& key) {
    cipher_ = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    encrypt_ = EVP_CIPHER_CTX_new();
    decrypt_ = EVP_CIPHER_CTX_new();
    if (!cipher_ || !encrypt_ || !decrypt_ ||
        EVP_EncryptInit_ex2(encrypt_, cipher_, key.data(), nullptr, nullptr) != 1 ||
        EVP_DecryptInit_ex2(decrypt_, cipher_, key.data(), nullptr, nullptr) != 1) {
      throw std::runtime_error("EVP set-up failed");
    }
  }
  ~RawGcm() {
    EVP_CIPHER_CTX_free(encrypt_);
    EVP_CIPHER_CTX_free(decrypt_);
    EVP_CIPHER_free(cipher_);
  }
  RawGcm(const RawGcm&) = delete;
  RawGcm& operator=(const RawGcm&) = delete;

  void seal(std::uint64_t sequence, const std::uint8_t* aad, const std::uint8_t* in, int length, std::uint8_t* out,
            std::uint8_t* tag) {
    const auto nonce = nonceFor(sequence);
    int n = 0;
    if (EVP_EncryptInit_ex2(encrypt_, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(encrypt_, nullptr, &n, aad, 16) != 1 ||
        EVP_EncryptUpdate(encrypt_, out, &n, in, length) != 1 || EVP_EncryptFinal_ex(encrypt_, out + length, &n) != 1 ||
        EVP_CIPHER_CTX_ctrl(encrypt_, EVP_CTRL_GCM_GET_TAG, 16, tag) != 1) {
      throw std::runtime_error("EVP seal failed");
    }
  }

  bool open(std::uint64_t sequence, const std::uint8_t* aad, const std::uint8_t* in, int length, std::uint8_t* out,
            std::uint8_t* tag) {
    const auto nonce = nonceFor(sequence);
    int n = 0;
    return EVP_DecryptInit_ex2(decrypt_, nullptr, nullptr, nonce.data(), nullptr) == 1 &&
           EVP_DecryptUpdate(decrypt_, nullptr, &n, aad, 16) == 1 &&
           EVP_DecryptUpdate(decrypt_, out, &n, in, length) == 1 &&
           EVP_CIPHER_CTX_ctrl(decrypt_, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
           EVP_DecryptFinal_ex(decrypt_, out + length, &n) == 1;
  }

 private:
  static std::array<std::uint8_t, 12> nonceFor(std::uint64_t sequence) {
    std::array<std::uint8_t, 12> nonce{};
    for (int i = 0; i < 8; ++i) nonce[11 - i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    return nonce;
  }

  EVP_CIPHER* cipher_ = nullptr;
  EVP_CIPHER_CTX* encrypt_ = nullptr;
  EVP_CIPHER_CTX* decrypt_ = nullptr;
};

void BM_RawSeal(benchmark::State& state) {
  const auto keys = benchKeys();
  RawGcm raw(keys.clientToHost);
  const int length = static_cast<int>(state.range(0));
  const Bytes plaintext = veltrano::platform::randomBytes(static_cast<std::size_t>(length));
  Bytes record(static_cast<std::size_t>(length) + 32);
  std::uint64_t sequence = 0;
  for (auto _ : state) {
    raw.seal(sequence++, record.data(), plaintext.data(), length, record.data() + 16, record.data() + 16 + length);
    benchmark::DoNotOptimize(record.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_RawSealOpen(benchmark::State& state) {
  const auto keys = benchKeys();
  RawGcm sender(keys.clientToHost);
  RawGcm receiver(keys.clientToHost);
  const int length = static_cast<int>(state.range(0));
  const Bytes plaintext = veltrano::platform::randomBytes(static_cast<std::size_t>(length));
  Bytes record(static_cast<std::size_t>(length) + 32);
  Bytes opened(static_cast<std::size_t>(length));
  std::uint64_t sequence = 0;
  for (auto _ : state) {
    sender.seal(sequence, record.data(), plaintext.data(), length, record.data() + 16, record.data() + 16 + length);
    if (!receiver.open(sequence, record.data(), record.data() + 16, length, opened.data(), record.data() + 16 + length)) {
      state.SkipWithError("raw open failed");
      break;
    }
    ++sequence;
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

#define RECORD_SIZES Arg(64)->Arg(1400)->Arg(16 * 1024)->Arg(64 * 1024)

BENCHMARK(BM_Seal)->RECORD_SIZES;
BENCHMARK(BM_RawSeal)->RECORD_SIZES;
BENCHMARK(BM_SealOpen)->RECORD_SIZES;
BENCHMARK(BM_RawSealOpen)->RECORD_SIZES;

}  // namespace
