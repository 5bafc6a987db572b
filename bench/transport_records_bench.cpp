// Sealing and opening local transport records, measured in turn with the bare OpenSSL EVP calls that
// do the same cryptographic work (same key, nonce layout, 16 bytes of additional data) into
// preallocated buffers. The gap is what the record layer itself costs.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
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

// Our records and the raw EVP calls in turn, a batch of each per iteration, so that both see the machine in the
// same state; each side's time is summed over its batches. With `open`, every record is also opened.
void sealAgainstRaw(benchmark::State& state, bool open) {
  using Clock = std::chrono::steady_clock;
  constexpr int kBatch = 32;
  Sessions sessions;
  RawGcm sender(sessions.keys.clientToHost);
  RawGcm receiver(sessions.keys.clientToHost);
  const int length = static_cast<int>(state.range(0));
  const Bytes plaintext = veltrano::platform::randomBytes(static_cast<std::size_t>(length));
  Bytes record(static_cast<std::size_t>(length) + 32);
  Bytes opened(static_cast<std::size_t>(length));
  std::uint64_t sequence = 0;
  Clock::duration ours{};
  Clock::duration raw{};
  for (auto _ : state) {
    auto began = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      Bytes sealed = sessions.client.seal(plaintext);
      if (open) {
        auto plaintexts = sessions.host.open(sealed);
        benchmark::DoNotOptimize(plaintexts.data());
      }
      benchmark::DoNotOptimize(sealed.data());
    }
    auto ended = Clock::now();
    ours += ended - began;
    began = Clock::now();
    for (int i = 0; i < kBatch; ++i, ++sequence) {
      sender.seal(sequence, record.data(), plaintext.data(), length, record.data() + 16, record.data() + 16 + length);
      if (open && !receiver.open(sequence, record.data(), record.data() + 16, length, opened.data(),
                                 record.data() + 16 + length)) {
        return state.SkipWithError("raw open failed");
      }
      benchmark::DoNotOptimize(opened.data());
      benchmark::DoNotOptimize(record.data());
    }
    ended = Clock::now();
    raw += ended - began;
  }
  const double bytes = static_cast<double>(state.iterations()) * kBatch * length;
  const double oursSeconds = std::chrono::duration<double>(ours).count();
  const double rawSeconds = std::chrono::duration<double>(raw).count();
  state.counters["ours_MiB_per_s"] = bytes / oursSeconds / (1 << 20);
  state.counters["raw_MiB_per_s"] = bytes / rawSeconds / (1 << 20);
  state.counters["ours_vs_raw"] = rawSeconds / oursSeconds;
}

void BM_SealAgainstRaw(benchmark::State& state) { sealAgainstRaw(state, false); }
void BM_SealOpenAgainstRaw(benchmark::State& state) { sealAgainstRaw(state, true); }

#define RECORD_SIZES Arg(64)->Arg(1400)->Arg(16 * 1024)->Arg(64 * 1024)

BENCHMARK(BM_SealAgainstRaw)->RECORD_SIZES;
BENCHMARK(BM_SealOpenAgainstRaw)->RECORD_SIZES;

}  // namespace
