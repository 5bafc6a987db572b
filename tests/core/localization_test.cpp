#include "core/localization.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

namespace veltrano {
namespace {

TEST(Localization, OtherFoldersRegisterTheirTablesAndFormatsTakeTypedValues) {
  registerLocalizedStrings({{"test.display.name_size_format", "%s (%lld x %lld)"},
                            {"test.error.capture_format", "Capture failed (%d): %s"}});
  EXPECT_EQ(localizedFormat("test.display.name_size_format", std::string("DP-1"), std::int64_t{2560}, std::int64_t{1440}),
            "DP-1 (2560 x 1440)");
  // {fmt}'s printf takes any integer width for %d.
  EXPECT_EQ(localizedFormat("test.error.capture_format", std::int64_t{-3}, "denied"), "Capture failed (-3): denied");
  // A newer registration replaces the text.
  registerLocalizedStrings({{"test.error.capture_format", "Capture error %d: %s"}});
  EXPECT_EQ(localizedFormat("test.error.capture_format", 5, "x"), "Capture error 5: x");
}

TEST(Localization, AStaticTableIsAddedOnlyTheFirstTimeItIsGiven) {
  static const LocalizationTable table = {{"test.once.title", "First"}};
  EXPECT_EQ(localized("test.once.title"), "test.once.title");
  registerLocalizedStringsOnce(table);
  EXPECT_EQ(localized("test.once.title"), "First");
  // A later registration wins, and giving the same table again does not put the old text back.
  registerLocalizedStrings({{"test.once.title", "Second"}});
  registerLocalizedStringsOnce(table);
  EXPECT_EQ(localized("test.once.title"), "Second");
  // Another table with the same key is a table of its own.
  static const LocalizationTable other = {{"test.once.title", "Third"}};
  registerLocalizedStringsOnce(other);
  EXPECT_EQ(localized("test.once.title"), "Third");
}

TEST(Localization, AMissingKeyComesBackAsItIsAndAFormatNotMatchingItsArgumentsUnfilled) {
  EXPECT_EQ(localized("host.no_such_key"), "host.no_such_key");
  EXPECT_EQ(localizedFormat("host.no_such_key_format", 3), "host.no_such_key_format");
  registerLocalizedStrings({{"test.bad_format", "%s and %s"}});
  EXPECT_EQ(localizedFormat("test.bad_format", "only one"), "%s and %s");
}

TEST(Localization, LookupsAndRegistrationsFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        auto key = "test.thread." + std::to_string(t) + "." + std::to_string(i);
        registerLocalizedStrings({{key, "v"}});
        EXPECT_EQ(localized(key), "v");
        EXPECT_EQ(localized("common.waiting"), "Waiting");
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace veltrano
