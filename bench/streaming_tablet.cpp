// The tablet of bench/window_program_compare.sh's streaming phase: it watches the first display of the host on this
// machine for SECONDS, as the account whose key lies in DATA_FOLDER (made there first when there is none), and prints
// the video frames it received.
//
//   veltrano_bench_streaming_tablet DATA_FOLDER SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "base/thread_pools.hpp"
#include "media/media_envelope.hpp"
#include "platform/crypto/random.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "support/local_test_client.hpp"

int main(int argc, char** argv) {
  using namespace veltrano;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DATA_FOLDER SECONDS\n", argv[0]);
    return 2;
  }
  const auto key = platform::AccountKeyFile(argv[1]).readOrCreate(
      [] { return platform::SecureBytes(platform::randomBytes(platform::AccountKeyFile::seedSize)); });
  const auto seconds = std::chrono::seconds(std::atoi(argv[2]));
  if (seconds.count() == 0) return 0;  // the key only
  ThreadPools pools;  // the client's I/O threads
  try {
    const auto signing = platform::SigningKey::fromSeed(key.seed.view());
    auto control = testing::LocalTestClient::connectBlocking(9090, LocalTransportChannel::control, signing);
    auto video = testing::LocalTestClient::connectBlocking(9100, LocalTransportChannel::video, signing);
    const auto end = std::chrono::steady_clock::now() + seconds;
    long frames = 0;
    while (std::chrono::steady_clock::now() < end) {
      const auto record = video->nextRecordBlocking(std::chrono::seconds(10));
      if (!record) break;
      const auto envelope = parseMediaEnvelope(*record);
      if (envelope && envelope->type == MediaEnvelopeType::videoFrame) ++frames;
    }
    std::printf("%ld\n", frames);
    return frames > 0 ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
