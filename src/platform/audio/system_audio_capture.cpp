#include "platform/audio/system_audio_capture.hpp"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "base/thread_pools.hpp"

namespace veltrano::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr pa_usec_t kPacketMicros = 20'000;
constexpr pa_usec_t kConnectTimeoutMicros = 5 * PA_USEC_PER_SEC;
constexpr const char* kMonitorOfDefaultOutput = "@DEFAULT_MONITOR@";

// Holds the loop's lock for a scope (the client thread's callbacks run under it).
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

}  // namespace

struct SystemAudioCapture::Client {
  AudioCaptureSettings settings;
  PacketHandler onPacket;
  StopHandler onStop;
  pa_sample_spec spec{};
  std::size_t packetSamples = 0;

  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  // The fields below belong to the loop's lock.
  bool recording = false;
  bool timedOut = false;
  bool lossReported = false;
  std::vector<std::int16_t> pending;
  Clock::time_point lastTimestamp{};
  std::atomic<bool> silenced{false};

  std::mutex teardownMutex;

  // The client whose loop thread this is; every callback sets it on entry.
  static thread_local const Client* current;

  ~Client() { teardown(); }

  std::string lastError() const { return pa_strerror(context ? pa_context_errno(context) : PA_ERR_UNKNOWN); }

  // Waits (lock held, not on the loop thread) until `done` holds or the connect timeout passes.
  template <typename Predicate>
  bool waitFor(Predicate done) {
    timedOut = false;
    pa_time_event* timer = pa_context_rttime_new(context, pa_rtclock_now() + kConnectTimeoutMicros, &onTimeout, this);
    while (!done() && !timedOut) pa_threaded_mainloop_wait(loop);
    if (timer) pa_threaded_mainloop_get_api(loop)->time_free(timer);
    return done();
  }

  void reportLoss(const std::string& message) {
    if (lossReported || !recording) return;
    lossReported = true;
    if (!silenced && onStop) onStop(message);
  }

  void teardown() {
    std::lock_guard guard(teardownMutex);
    if (!loop) return;
    {
      LoopLock lock(loop);
      silenced = true;
      if (stream) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
      }
      if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
      }
    }
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
    loop = nullptr;
  }

  static void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* self = static_cast<Client*>(userdata);
    current = self;
    self->timedOut = true;
    pa_threaded_mainloop_signal(self->loop, 0);
  }

  static void onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<Client*>(userdata);
    current = self;
    const pa_context_state_t state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state)) {
      self->reportLoss("Lost the connection to the sound server: " + self->lastError());
    }
    pa_threaded_mainloop_signal(self->loop, 0);
  }

  static void onStreamState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<Client*>(userdata);
    current = self;
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (!PA_STREAM_IS_GOOD(state)) self->reportLoss("The sound server ended the recording: " + self->lastError());
    pa_threaded_mainloop_signal(self->loop, 0);
  }

  static void onReadable(pa_stream* stream, std::size_t, void* userdata) {
    auto* self = static_cast<Client*>(userdata);
    current = self;
    const auto now = Clock::now();
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0) {
        self->reportLoss("Reading sound failed: " + self->lastError());
        return;
      }
      if (bytes == 0) break;
      const std::size_t samples = bytes / sizeof(std::int16_t);
      if (data) {
        const auto* first = static_cast<const std::int16_t*>(data);
        self->pending.insert(self->pending.end(), first, first + samples);
      } else {
        self->pending.insert(self->pending.end(), samples, 0);  // a hole in the recording: keep the timing
      }
      pa_stream_drop(stream);
    }
    self->emitPackets(now);
  }

  // Cuts whole packets off the pending samples; `now` is when the last of them was read.
  void emitPackets(Clock::time_point now) {
    std::size_t offset = 0;
    while (pending.size() - offset >= packetSamples) {
      const auto framesFromStart = static_cast<std::int64_t>((pending.size() - offset) / spec.channels);
      auto timestamp = now - std::chrono::microseconds(framesFromStart * 1'000'000 / spec.rate);
      if (timestamp <= lastTimestamp) timestamp = lastTimestamp + std::chrono::microseconds(1);
      lastTimestamp = timestamp;
      AudioPacket packet;
      packet.samples.assign(pending.begin() + static_cast<std::ptrdiff_t>(offset),
                            pending.begin() + static_cast<std::ptrdiff_t>(offset + packetSamples));
      packet.sampleRate = static_cast<int>(spec.rate);
      packet.channels = spec.channels;
      packet.frames = static_cast<int>(packetSamples / spec.channels);
      packet.timestamp = timestamp;
      offset += packetSamples;
      if (!silenced && onPacket) onPacket(std::move(packet));
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
  }
};

thread_local const SystemAudioCapture::Client* SystemAudioCapture::Client::current = nullptr;

std::unique_ptr<SystemAudioCapture> SystemAudioCapture::start(const AudioCaptureSettings& settings,
                                                              PacketHandler onPacket, StopHandler onStop) {
  auto client = std::make_shared<Client>();
  client->settings = settings;
  client->onPacket = std::move(onPacket);
  client->onStop = std::move(onStop);
  client->spec.format = PA_SAMPLE_S16LE;
  client->spec.rate = static_cast<std::uint32_t>(std::max(settings.sampleRate, 0));
  client->spec.channels = static_cast<std::uint8_t>(std::clamp(settings.channels, 0, 255));
  if (settings.sampleRate < 8000 || settings.channels < 1 || settings.channels > 2 ||
      !pa_sample_spec_valid(&client->spec)) {
    throw AudioCaptureError("Unsupported sound format " + std::to_string(settings.sampleRate) + " Hz x" +
                            std::to_string(settings.channels));
  }
  client->packetSamples =
      static_cast<std::size_t>(settings.sampleRate / 50) * static_cast<std::size_t>(settings.channels);

  client->loop = pa_threaded_mainloop_new();
  if (!client->loop) throw AudioCaptureError("Cannot create the sound client's loop");
  pa_threaded_mainloop_set_name(client->loop, "sound-capture");
  client->context = pa_context_new(pa_threaded_mainloop_get_api(client->loop), "Veltrano");
  if (!client->context) throw AudioCaptureError("Cannot create a sound server context");
  pa_context_set_state_callback(client->context, &Client::onContextState, client.get());
  if (pa_threaded_mainloop_start(client->loop) < 0) throw AudioCaptureError("Cannot start the sound client thread");

  {
    LoopLock lock(client->loop);
    const char* server = settings.server.empty() ? nullptr : settings.server.c_str();
    if (pa_context_connect(client->context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      throw AudioCaptureError("No sound server reachable: " + client->lastError());
    }
    const bool connected = client->waitFor([&] {
      const auto state = pa_context_get_state(client->context);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!connected || pa_context_get_state(client->context) != PA_CONTEXT_READY) {
      throw AudioCaptureError("No sound server reachable: " +
                              (connected ? client->lastError() : std::string("no answer within 5 seconds")));
    }

    client->stream = pa_stream_new(client->context, "System sound", &client->spec, nullptr);
    if (!client->stream) throw AudioCaptureError("Cannot create a recording: " + client->lastError());
    pa_stream_set_state_callback(client->stream, &Client::onStreamState, client.get());
    pa_stream_set_read_callback(client->stream, &Client::onReadable, client.get());
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kPacketMicros, &client->spec));
    if (pa_stream_connect_record(client->stream, kMonitorOfDefaultOutput, &attributes, PA_STREAM_ADJUST_LATENCY) <
        0) {
      throw AudioCaptureError("Cannot record the system sound: " + client->lastError());
    }
    const bool settled = client->waitFor([&] {
      const auto state = pa_stream_get_state(client->stream);
      return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (!settled || pa_stream_get_state(client->stream) != PA_STREAM_READY) {
      throw AudioCaptureError("Cannot record the system sound: " +
                              (settled ? client->lastError() : std::string("no answer within 5 seconds")));
    }
    client->recording = true;
  }
  return std::unique_ptr<SystemAudioCapture>(new SystemAudioCapture(std::move(client)));
}

SystemAudioCapture::SystemAudioCapture(std::shared_ptr<Client> client) : client_(std::move(client)) {}

SystemAudioCapture::~SystemAudioCapture() {
  if (Client::current == client_.get()) {
    // Destroyed from one of its own handlers: the loop cannot stop itself, so another thread finishes it.
    client_->silenced = true;
    joinElsewhere(std::thread([client = std::move(client_)] { client->teardown(); }));
    return;
  }
  stop();
}

void SystemAudioCapture::stop() {
  if (Client::current == client_.get()) {
    client_->silenced = true;
    return;
  }
  client_->teardown();
}

int SystemAudioCapture::framesPerPacket() const {
  return static_cast<int>(client_->packetSamples / client_->spec.channels);
}

}  // namespace veltrano::platform
