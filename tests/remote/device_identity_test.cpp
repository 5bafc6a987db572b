#include "remote/device_identity.hpp"

#include <gtest/gtest.h>

#include <map>
#include <regex>

namespace veltrano {
namespace {

struct MemoryDefaults : StringDefaults {
  std::optional<std::string> string(const std::string& key) const override {
    auto found = values.find(key);
    return found == values.end() ? std::nullopt : std::optional(found->second);
  }
  void setString(const std::string& key, const std::string& value) override { values[key] = value; }
  std::map<std::string, std::string> values;
};

TEST(DeviceIdentity, IdentifierIsMadeOnceAndKept) {
  MemoryDefaults defaults;
  defaults.values["veltrano.deviceID.mac"] = "";
  const std::string first = persistentDeviceID(defaults, "mac");
  EXPECT_TRUE(std::regex_match(first, std::regex("mac-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << first;
  EXPECT_EQ(defaults.values["veltrano.deviceID.mac"], first);
  EXPECT_EQ(persistentDeviceID(defaults, "mac"), first);
  defaults.values["veltrano.deviceID.mac"] = "mac-kept";
  EXPECT_EQ(persistentDeviceID(defaults, "mac"), "mac-kept");
}

TEST(DeviceIdentity, NameIsCutAtSixtyFourCharacters) {
  const struct {
    std::string name;
    std::string expected;
  } cases[] = {{std::string(70, 'a'), std::string(64, 'a')},
               {std::string(64, 'b'), std::string(64, 'b')},
               {std::string(63, 'c') + "\xc3\xa9\xc3\xa9", std::string(63, 'c') + "\xc3\xa9"},
               {"Studio", "Studio"}};
  for (const auto& c : cases) EXPECT_EQ(signalingDeviceName(c.name), c.expected) << c.name;
}

}  // namespace
}  // namespace veltrano
