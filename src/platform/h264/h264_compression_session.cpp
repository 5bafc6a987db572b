#include "platform/h264/h264_compression_session.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <optional>
#include <variant>

#include "base/thread_pools.hpp"
#include "platform/h264/x264_encoder.hpp"

namespace veltrano::platform {
namespace {

// Pictures waiting beyond this are stale: the screen has moved on.
constexpr std::size_t kMaxQueuedPictures = 3;

struct PictureJob {
  I420Image image;
  std::shared_ptr<const void> owner;
  std::int64_t ptsMicros = 0;
  bool forceKeyframe = false;
};
struct BitRateJob {
  int bitsPerSecond = 0;
};
struct RebuildJob {
  std::optional<int> framesPerSecond;
  std::optional<int> keyframeInterval;
};
struct FlushJob {
  std::shared_ptr<std::promise<void>> done;
};
using Job = std::variant<PictureJob, BitRateJob, RebuildJob, FlushJob>;

}  // namespace

struct H264CompressionSession::Worker {
  OutputHandler onOutput;
  ErrorHandler onError;
  std::unique_ptr<X264Encoder> encoder;  // touched only by the encoder thread once it runs
  H264EncoderSettings wanted;            // what the next rebuild opens
  bool rebuildNeeded = false;

  mutable std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  std::size_t queuedPictures = 0;
  bool invalidated = false;
  std::shared_ptr<const H264ParameterSets> parameterSets;
  std::uint64_t dropped = 0;

  static thread_local const Worker* current;

  void push(Job job) {
    {
      std::lock_guard lock(mutex);
      if (invalidated) {
        if (auto* flush = std::get_if<FlushJob>(&job)) flush->done->set_value();
        return;
      }
      if (std::holds_alternative<PictureJob>(job)) {
        ++queuedPictures;
        if (queuedPictures > kMaxQueuedPictures) dropOldestPicture();
      }
      jobs.push_back(std::move(job));
    }
    wake.notify_one();
  }

  // Under the lock.
  void dropOldestPicture() {
    for (auto it = jobs.begin(); it != jobs.end(); ++it) {
      auto* picture = std::get_if<PictureJob>(&*it);
      if (!picture) continue;
      const bool force = picture->forceKeyframe;
      jobs.erase(it);
      --queuedPictures;
      ++dropped;
      if (force) {
        for (auto& later : jobs) {
          if (auto* next = std::get_if<PictureJob>(&later)) {
            next->forceKeyframe = true;
            return;
          }
        }
      }
      return;
    }
  }

  void run() {
    current = this;
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return invalidated || !jobs.empty(); });
        if (invalidated) break;
        job = std::move(jobs.front());
        jobs.pop_front();
        if (std::holds_alternative<PictureJob>(job)) --queuedPictures;
      }
      std::visit([this](auto& j) { handle(j); }, job);
    }
    std::lock_guard lock(mutex);
    for (auto& job : jobs) {
      if (auto* flush = std::get_if<FlushJob>(&job)) flush->done->set_value();
    }
    jobs.clear();
  }

  bool isInvalidated() const {
    std::lock_guard lock(mutex);
    return invalidated;
  }

  void emit(EncodedAccessUnit unit) {
    if (!isInvalidated() && onOutput) onOutput(std::move(unit));
  }

  void fail(const std::string& message) {
    if (!isInvalidated() && onError) onError(message);
  }

  void handle(PictureJob& job) {
    bool force = job.forceKeyframe;
    if (rebuildNeeded) {
      rebuildNeeded = false;
      try {
        auto rebuilt = std::make_unique<X264Encoder>(wanted);
        for (auto& unit : encoder->flush()) emit(std::move(unit));
        encoder = std::move(rebuilt);
        std::lock_guard lock(mutex);
        parameterSets = encoder->parameterSets();
      } catch (const H264Error& e) {
        wanted = encoder->settings();
        fail(std::string("Cannot rebuild the encoder: ") + e.what());
      }
      force = true;
    }
    try {
      if (auto unit = encoder->encode(job.image, job.ptsMicros, force)) emit(std::move(*unit));
    } catch (const H264Error& e) {
      fail(e.what());
    }
  }

  void handle(BitRateJob& job) {
    wanted.bitRate = job.bitsPerSecond;
    try {
      encoder->setBitRate(job.bitsPerSecond);
    } catch (const H264Error& e) {
      wanted.bitRate = encoder->settings().bitRate;
      fail(e.what());
    }
  }

  void handle(RebuildJob& job) {
    if (job.framesPerSecond) wanted.framesPerSecond = *job.framesPerSecond;
    if (job.keyframeInterval) wanted.keyframeInterval = *job.keyframeInterval;
    const auto& open = encoder->settings();
    rebuildNeeded = wanted.framesPerSecond != open.framesPerSecond || wanted.keyframeInterval != open.keyframeInterval;
  }

  // At zero latency x264 hands each picture back from its own encode call, so once the queue has reached this job
  // nothing is pending. (Draining x264 itself would end its look-ahead thread: that is for closing only.)
  void handle(FlushJob& job) { job.done->set_value(); }
};

thread_local const H264CompressionSession::Worker* H264CompressionSession::Worker::current = nullptr;

std::unique_ptr<H264CompressionSession> H264CompressionSession::create(const H264EncoderSettings& settings,
                                                                       OutputHandler onOutput, ErrorHandler onError) {
  auto worker = std::make_shared<Worker>();
  worker->encoder = std::make_unique<X264Encoder>(settings);
  worker->wanted = worker->encoder->settings();
  worker->parameterSets = worker->encoder->parameterSets();
  worker->onOutput = std::move(onOutput);
  worker->onError = std::move(onError);
  std::unique_ptr<H264CompressionSession> session(new H264CompressionSession(worker));
  session->thread_ = std::thread([worker] { worker->run(); });
  return session;
}

H264CompressionSession::H264CompressionSession(std::shared_ptr<Worker> worker) : worker_(std::move(worker)) {}

H264CompressionSession::~H264CompressionSession() {
  invalidate();
  // Destroyed from one of its own handlers: the thread holds the worker and ends by itself; another joins it.
  if (thread_.joinable()) joinElsewhere(std::move(thread_));
}

std::shared_ptr<const H264ParameterSets> H264CompressionSession::parameterSets() const {
  std::lock_guard lock(worker_->mutex);
  return worker_->parameterSets;
}

void H264CompressionSession::submit(const I420Image& image, std::shared_ptr<const void> owner,
                                    std::int64_t ptsMicros, bool forceKeyframe) {
  worker_->push(PictureJob{image, std::move(owner), ptsMicros, forceKeyframe});
}

void H264CompressionSession::setBitRate(int bitsPerSecond) {
  if (bitsPerSecond < 1000) throw H264Error("Bit rate " + std::to_string(bitsPerSecond) + " too low");
  worker_->push(BitRateJob{bitsPerSecond});
}

void H264CompressionSession::setFrameRate(int framesPerSecond) {
  if (framesPerSecond < 1 || framesPerSecond > 240) {
    throw H264Error("Frame rate " + std::to_string(framesPerSecond) + " out of range");
  }
  worker_->push(RebuildJob{framesPerSecond, std::nullopt});
}

void H264CompressionSession::setKeyframeInterval(int frames) {
  if (frames < 0) throw H264Error("Negative keyframe interval");
  worker_->push(RebuildJob{std::nullopt, frames});
}

void H264CompressionSession::completePending() {
  if (Worker::current == worker_.get()) return;
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  worker_->push(FlushJob{std::move(done)});
  finished.wait();
}

void H264CompressionSession::invalidate() {
  {
    std::lock_guard lock(worker_->mutex);
    worker_->invalidated = true;
  }
  worker_->wake.notify_all();
  if (Worker::current == worker_.get()) return;
  std::lock_guard lock(threadMutex_);
  if (thread_.joinable()) thread_.join();
}

std::uint64_t H264CompressionSession::droppedPictures() const {
  std::lock_guard lock(worker_->mutex);
  return worker_->dropped;
}

}  // namespace veltrano::platform
