#include "platform/dnssd/service_name_label.hpp"

namespace veltrano::platform {

namespace {
bool isContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }
}  // namespace

std::string serviceNameLabel(std::string_view name, std::size_t maxBytes) {
  if (name.size() <= maxBytes) return std::string(name);
  std::size_t end = maxBytes;
  // The byte at `end` is the first one dropped: back up while it continues the character before it.
  while (end > 0 && isContinuationByte(static_cast<unsigned char>(name[end]))) --end;
  return std::string(name.substr(0, end));
}

}  // namespace veltrano::platform
