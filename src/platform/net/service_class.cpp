#include "platform/net/service_class.hpp"

namespace veltrano::platform {

std::uint8_t trafficClassByte(ServiceClass serviceClass) {
  // DSCP code points after RFC 4594's service classes.
  switch (serviceClass) {
    case ServiceClass::bestEffort: return 0x00;        // CS0
    case ServiceClass::background: return 0x20;        // CS1, lower effort
    case ServiceClass::responsiveData: return 0x48;    // AF21, low-latency data
    case ServiceClass::interactiveVideo: return 0x88;  // AF41, multimedia conferencing
    case ServiceClass::interactiveVoice: return 0xB8;  // EF, telephony
  }
  return 0x00;
}

std::string_view name(ServiceClass serviceClass) {
  switch (serviceClass) {
    case ServiceClass::bestEffort: return "bestEffort";
    case ServiceClass::background: return "background";
    case ServiceClass::responsiveData: return "responsiveData";
    case ServiceClass::interactiveVideo: return "interactiveVideo";
    case ServiceClass::interactiveVoice: return "interactiveVoice";
  }
  return "unknown";
}

}  // namespace veltrano::platform
