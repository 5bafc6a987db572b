#include <gtest/gtest.h>

#include <set>

#include "base/encoding.hpp"
#include "platform/crypto/constant_time.hpp"
#include "platform/crypto/random.hpp"
#include "platform/crypto/secure_bytes.hpp"

namespace veltrano::platform {
namespace {

TEST(Random, DrawsHaveTheRequestedSizeAndDoNotRepeat) {
  std::set<Bytes> seen;
  for (int i = 0; i < 64; ++i) {
    Bytes draw = randomBytes(16);
    ASSERT_EQ(draw.size(), 16u);
    EXPECT_TRUE(seen.insert(draw).second);
  }
  EXPECT_EQ(randomSecret(32).size(), 32u);
  EXPECT_TRUE(randomBytes(0).empty());
}

TEST(ConstantTimeEqual, ComparesContentAndLength) {
  const Bytes a = {1, 2, 3, 4};
  EXPECT_TRUE(constantTimeEqual(a, Bytes{1, 2, 3, 4}));
  EXPECT_FALSE(constantTimeEqual(a, Bytes{1, 2, 3, 5}));
  EXPECT_FALSE(constantTimeEqual(a, Bytes{0, 2, 3, 4}));
  EXPECT_FALSE(constantTimeEqual(a, Bytes{1, 2, 3}));
  EXPECT_TRUE(constantTimeEqual({}, {}));
}

TEST(SecureBytes, CopiesAreIndependentAndMovesEmptyTheSource) {
  SecureBytes original(Bytes{9, 8, 7});
  SecureBytes copy = original;
  copy.data()[0] = 1;
  EXPECT_EQ(original.data()[0], 9);
  SecureBytes moved = std::move(original);
  EXPECT_EQ(moved.size(), 3u);
  EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
  const SecureBytes zeros(4);
  EXPECT_EQ(Bytes(zeros.view().begin(), zeros.view().end()), Bytes(4, 0));
}

}  // namespace
}  // namespace veltrano::platform
