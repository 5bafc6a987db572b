#pragma once
// How much a data channel may have buffered before a new message is dropped at the sender, per channel label:
// input events get the smallest budget, the control channel the largest.
#include <cstdint>
#include <string_view>

namespace veltrano {

// 2 MiB for "veltrano.control", 64 KiB for "veltrano.input", 256 KiB for "veltrano.audio", 512 KiB otherwise.
std::uint64_t sendLimit(std::string_view label);

// Whether a message of `wireSize` bytes may join `bufferedAmount` bytes on the channel: always while at most
// 32 KiB are buffered, otherwise while the total stays within the label's limit.
bool fitsSendBudget(std::string_view label, std::uint64_t bufferedAmount, std::uint64_t wireSize);

}  // namespace veltrano
