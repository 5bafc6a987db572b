#include "platform/events/spare_keycode_pool.hpp"

#include <gtest/gtest.h>

namespace veltrano::platform {
namespace {

// Gives the keycode the pool picks to the keysym, as the event source does after the server took it.
std::optional<std::uint8_t> lend(SpareKeycodePool& pool, std::uint32_t keysym) {
  if (auto kept = pool.keycodeFor(keysym)) return kept;
  const std::optional<std::uint8_t> keycode = pool.nextToAssign();
  if (keycode) pool.assign(*keycode, keysym);
  return keycode;
}

TEST(SpareKeycodePool, KeepsCharactersMappedForReuse) {
  SpareKeycodePool pool({93, 97, 103});
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_EQ(pool.keycodeFor(0xE9), std::nullopt);
  const auto eacute = lend(pool, 0xE9);
  const auto euro = lend(pool, 0x10020AC);
  ASSERT_TRUE(eacute && euro);
  EXPECT_NE(*eacute, *euro);
  // Typed again: same keycode, no new mapping needed.
  EXPECT_EQ(pool.keycodeFor(0xE9), eacute);
  EXPECT_EQ(pool.assignedKeycodes().size(), 2u);
  EXPECT_TRUE(pool.contains(97));
  EXPECT_FALSE(pool.contains(98));
}

TEST(SpareKeycodePool, ReusesTheLeastRecentlyUsedKeycode) {
  SpareKeycodePool pool({10, 11, 12});
  const auto k1 = lend(pool, 1);
  const auto k2 = lend(pool, 2);
  const auto k3 = lend(pool, 3);
  ASSERT_TRUE(k1 && k2 && k3);
  pool.keycodeFor(1);  // 1 used again: 2 is now the oldest
  EXPECT_EQ(pool.nextToAssign(), k2);
  EXPECT_EQ(lend(pool, 4), k2);
  EXPECT_EQ(pool.keycodeFor(2), std::nullopt);
  EXPECT_EQ(pool.keycodeFor(4), k2);
  EXPECT_EQ(pool.nextToAssign(), k3);
}

TEST(SpareKeycodePool, NeverTakesAHeldKeycode) {
  SpareKeycodePool pool({20, 21});
  const auto held = lend(pool, 100);
  const auto other = lend(pool, 101);
  ASSERT_TRUE(held && other);
  pool.setHeld(*held, true);
  // The held one is the oldest, yet the other is reused, again and again.
  EXPECT_EQ(lend(pool, 102), other);
  EXPECT_EQ(lend(pool, 103), other);
  EXPECT_EQ(pool.keycodeFor(100), held);

  pool.setHeld(*other, true);
  EXPECT_EQ(pool.nextToAssign(), std::nullopt);
  EXPECT_EQ(lend(pool, 104), std::nullopt);

  pool.setHeld(*held, false);
  EXPECT_EQ(lend(pool, 104), held);
}

TEST(SpareKeycodePool, EmptyPoolLendsNothing) {
  SpareKeycodePool pool({});
  EXPECT_TRUE(pool.empty());
  EXPECT_EQ(lend(pool, 1), std::nullopt);
  // Duplicates collapse into one keycode.
  SpareKeycodePool twice({30, 30});
  EXPECT_EQ(twice.size(), 1u);
}

}  // namespace
}  // namespace veltrano::platform
