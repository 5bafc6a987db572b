#pragma once
// An H.264 compression session: an x264 encoder on a thread of its own. Pictures are queued in, access units come
// out through a callback on that thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/h264/h264_types.hpp"

namespace veltrano::platform {

class H264CompressionSession {
 public:
  // Both run on the encoder thread.
  using OutputHandler = std::function<void(EncodedAccessUnit unit)>;
  using ErrorHandler = std::function<void(const std::string& message)>;

  // Opens the encoder (throws H264Error with the reason) and starts its thread.
  static std::unique_ptr<H264CompressionSession> create(const H264EncoderSettings& settings, OutputHandler onOutput,
                                                        ErrorHandler onError);
  ~H264CompressionSession();  // invalidate()
  H264CompressionSession(const H264CompressionSession&) = delete;
  H264CompressionSession& operator=(const H264CompressionSession&) = delete;

  // The sets of the current encoder; a frame-rate or keyframe-interval change replaces them.
  std::shared_ptr<const H264ParameterSets> parameterSets() const;

  // Queues a picture; `owner` keeps its planes alive until it is encoded. When the encoder falls behind by more
  // than a few pictures the oldest waiting one is dropped, and a keyframe request it carried passes on.
  void submit(const I420Image& image, std::shared_ptr<const void> owner, std::int64_t ptsMicros, bool forceKeyframe);
  // Takes effect in queue order. Throws H264Error on a value the encoder cannot take.
  void setBitRate(int bitsPerSecond);
  // x264 cannot change these on an open encoder: the encoder is rebuilt before the next picture, which is then a
  // keyframe carrying the new parameter sets. Throws H264Error on a value out of range.
  void setFrameRate(int framesPerSecond);
  void setKeyframeInterval(int frames);

  // Waits until everything queued so far is encoded and handed out. Returns at once after invalidate() or when
  // called from a handler.
  void completePending();
  // Drops waiting pictures and ends the thread; no handler runs once it returns. Idempotent. From inside a handler
  // it only asks the thread to end.
  void invalidate();

  std::uint64_t droppedPictures() const;

 private:
  struct Worker;
  explicit H264CompressionSession(std::shared_ptr<Worker> worker);

  std::shared_ptr<Worker> worker_;
  std::mutex threadMutex_;
  std::thread thread_;
};

}  // namespace veltrano::platform
