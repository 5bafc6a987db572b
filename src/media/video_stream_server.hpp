#pragma once
// The video server of one display (port 9100 plus the display's index, channel video). It keeps the last
// parameter-set packet and puts it ahead of every keyframe, on every connection and on the external sink. A
// client that joins, falls behind (more than two waiting frames) or loses frames waits for the next keyframe
// and the display's encoder is asked for one; congestion requests are limited to one per second. After the
// external sink refuses, its keyframe is asked for as soon as the sink has room for one (once per refusal) when
// the sink can tell, else at most once per second.
#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>

#include "media/encoded_video_frame.hpp"
#include "media/media_stream_server.hpp"

namespace veltrano {

struct VideoClient : MediaClient {
  bool waitingForKeyframe = true;
};

class VideoStreamServer final : public MediaStreamServer, public EncodedVideoFrameSink, public ExternalMediaOutlet {
 public:
  static constexpr std::uint16_t basePort = 9100;
  // Least time between two keyframe requests for congestion or an external sink that cannot tell its room
  // (joins always ask).
  static constexpr std::chrono::seconds keyframeRequestInterval{1};

  // Port 0 picks a free port (listeningPort() tells which).
  static std::shared_ptr<VideoStreamServer> create(std::uint16_t port, std::weak_ptr<MetricsStore> metrics,
                                                   MediaServerDependencies dependencies = {});

  // EncodedVideoFrameSink: any thread; the frame is handled on the server's executor in submission order.
  void submitEncodedFrame(EncodedVideoFrame frame) override;
  // Any thread: whether local clients or remote viewers were counted at the last publication.
  bool hasViewers() const override { return viewerCount() > 0; }
  // The same, completing once the frame has been queued to every client and offered to the external sink.
  boost::asio::awaitable<void> deliver(EncodedVideoFrame frame);

  // Forgets the stored parameter-set packet, empties every client's queue and makes every client (and the
  // external sink, when it has clients) wait for a keyframe.
  boost::asio::awaitable<void> resetStream();

  // Sets the encoder that keyframe requests go to (held weakly).
  boost::asio::awaitable<void> setEncoder(std::weak_ptr<KeyframeRequestTarget> target);

  // The remote transport's update for this display: count (below 1 means none) and sink (none for 0). Moving to
  // 0 clears the external keyframe wait and request time; a higher count (a new viewer) asks the encoder for a
  // keyframe. Then publishes the client count.
  boost::asio::awaitable<void> applyExternalClients(int count, ExternalPacketSink sink) override;

  // Executor only: whether the external sink waits for a keyframe, when it last asked for one (seconds on the
  // server's clock; 0: not since the count was 0), and the configuration envelope of the current stream.
  bool isExternalSinkWaitingForKeyframe() const;
  double lastExternalKeyframeRequestTime() const;
  const std::shared_ptr<const Bytes>& parameterSetPacket() const;

 private:
  VideoStreamServer(std::uint16_t port, std::weak_ptr<MetricsStore> metrics, MediaServerDependencies dependencies);

  std::shared_ptr<MediaClient> makeClient() const override;
  void clientJoined(const std::shared_ptr<MediaClient>& client) override;

  void handleFrame(EncodedVideoFrame frame);
  // Updates the stored packet from a keyframe's sets; false when they cannot describe a stream.
  bool acceptParameterSets(const VideoParameterSets& sets);
  void deliverToClient(VideoClient& client, const std::shared_ptr<const Bytes>& envelope, bool keyframe,
                       bool& congested);
  void deliverToExternalSink(const std::shared_ptr<const Bytes>& envelope, bool keyframe);
  void handleExternalRefusal();
  // Only while the sink has room for a keyframe: the one due after a refusal at once, otherwise at most one per
  // keyframeRequestInterval.
  void requestExternalKeyframe();
  // Everyone waits for a keyframe: what was encoded cannot be decoded from here on.
  void loseStream();
  // Asks the encoder for a keyframe; unless forced, at most one per keyframeRequestInterval. True when asked.
  bool requestKeyframe(bool force);
  double secondsNow() const;

  // Executor state.
  std::weak_ptr<KeyframeRequestTarget> encoder_;
  bool externalWaitingForKeyframe_ = false;
  bool externalKeyframeDue_ = false;           // refused by a sink that tells its room; not asked for since
  std::size_t lastExternalKeyframeSize_ = 0;  // configuration and keyframe envelopes, the last ones offered
  double lastExternalKeyframeRequestAt_ = 0;
  std::shared_ptr<const Bytes> parameterSetPacket_;
  std::optional<VideoParameterSets> parameterSets_;
  std::optional<Clock::TimePoint> lastKeyframeRequestAt_;
};

}  // namespace veltrano
