// The computer's name from a machine-info file of the test's own.
#include "platform/hostname/computer_name.hpp"

#include <unistd.h>

#include <climits>
#include <ostream>
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

struct NameCase {
  const char* label;
  const char* machineInfo;  // nullptr: no file
  std::string expected;     // empty: the system host name
};
void PrintTo(const NameCase& c, std::ostream* out) { *out << c.label; }

class ComputerName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ComputerName, IsThePrettyHostNameWhenSetElseTheHostName) {
  testing::TemporaryFolder folder;
  const auto path = folder / "machine-info";
  if (GetParam().machineInfo) testing::writeText(path, GetParam().machineInfo);
  const std::string expected = GetParam().expected.empty() ? systemHostName() : GetParam().expected;
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(computerName(path), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Platform, ComputerName,
    ::testing::Values(
        NameCase{"NoFile", nullptr, ""},
        NameCase{"NoPrettyName", "CHASSIS=laptop\nDEPLOYMENT=production\n", ""},
        NameCase{"EmptyPrettyName", "PRETTY_HOSTNAME=\n", ""},
        NameCase{"Unquoted", "PRETTY_HOSTNAME=Studio\n", "Studio"},
        NameCase{"DoubleQuotedWithEscapes", "CHASSIS=desktop\nPRETTY_HOSTNAME=\"Ana's \\\"Big\\\" Mac\"\n",
                 "Ana's \"Big\" Mac"},
        NameCase{"SingleQuotedKeepsBackslashes", "PRETTY_HOSTNAME='Back\\slash Ñandú'\n", "Back\\slash Ñandú"},
        NameCase{"CommentedOutIgnored", "# PRETTY_HOSTNAME=Old\nPRETTY_HOSTNAME=\"New\"", "New"},
        NameCase{"LastOneWins", "PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace veltrano::platform
