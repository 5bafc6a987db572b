#pragma once
// How the host reads a remote session's control and input messages before it routes them: the two media-control
// messages it handles itself, and the phone pointer commands that its pointer queue runs in order.
#include <cstdint>
#include <set>

#include "base/json.hpp"

namespace veltrano {

// An object whose "type" is "setAudioStreaming" or "setVideoSubscriptions".
bool parseMediaControl(const json::Json& message);

// "enabled" of a "setAudioStreaming"; false when missing or not a Boolean.
bool requestedAudioStreaming(const json::Json& message);
// "displayIDs" of a "setVideoSubscriptions": its integers that are display identifiers (0 to 2^32 - 1); none when
// the member is missing or anything in it is not an integer.
std::set<std::uint32_t> requestedDisplayIDs(const json::Json& message);

}  // namespace veltrano
