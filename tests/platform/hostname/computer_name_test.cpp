// The computer's name from a machine-info file of the test's own.
#include "platform/hostname/computer_name.hpp"

#include <unistd.h>

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "support/temporary_folder.hpp"

namespace veltrano::platform {
namespace {

std::string systemHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  ::gethostname(name, HOST_NAME_MAX);
  return name;
}

TEST(ComputerName, IsThePrettyHostNameWhenSetElseTheHostName) {
  const struct {
    const char* machineInfo;  // nullptr: no file
    std::string expected;     // empty: the system host name
  } cases[] = {
      {nullptr, ""},
      {"CHASSIS=laptop\nDEPLOYMENT=production\n", ""},
      {"PRETTY_HOSTNAME=\n", ""},
      {"PRETTY_HOSTNAME=Studio\n", "Studio"},
      {"CHASSIS=desktop\nPRETTY_HOSTNAME=\"Ana's \\\"Big\\\" Mac\"\n", "Ana's \"Big\" Mac"},
      {"PRETTY_HOSTNAME='Back\\slash Ñandú'\n", "Back\\slash Ñandú"},  // single quotes keep backslashes
      {"# PRETTY_HOSTNAME=Old\nPRETTY_HOSTNAME=\"New\"", "New"},
      {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.machineInfo ? c.machineInfo : "(no file)");
    testing::TemporaryFolder folder;
    const auto path = folder / "machine-info";
    if (c.machineInfo) testing::writeText(path, c.machineInfo);
    const std::string expected = c.expected.empty() ? systemHostName() : c.expected;
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(computerName(path), expected);
  }
}

}  // namespace
}  // namespace veltrano::platform
