#include "crypto/bignum.h"

#include <gtest/gtest.h>

#include <vector>

#include "crypto/modular.h"

namespace kestrin::bignum {
namespace {

using Number = std::vector<Digit>;

TEST(BignumTest, DecodeAndEncodeAreBigEndianRightAlignedAndBounded) {
  const std::uint8_t bytes[] = {0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
  Digit a[2];
  ASSERT_TRUE(decode(a, 2, bytes, sizeof bytes));
  EXPECT_EQ(a[0], 0x02030405u);
  EXPECT_EQ(a[1], 0x01u);
  EXPECT_EQ(bitCount(a, 2), 33);
  EXPECT_EQ(digitCount(a, 2), 2);

  std::uint8_t out[8];
  ASSERT_TRUE(encode(out, sizeof out, a, 2));
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8), (std::vector<std::uint8_t>{0, 0, 0, 1, 2, 3, 4, 5}));
  ASSERT_TRUE(encode(out, 5, a, 2));
  EXPECT_FALSE(encode(out, 4, a, 2));
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), std::vector<std::uint8_t>(4, 0));

  // A non-zero byte beyond the capacity does not fit; zero bytes do.
  const std::uint8_t wide[] = {0x00, 0x00, 0x07, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  ASSERT_TRUE(decode(a, 2, wide + 1, sizeof wide - 1 - 2));
  EXPECT_FALSE(decode(a, 2, wide, sizeof wide));
  EXPECT_TRUE(isZero(a, 2));
}

// Edges that key generation and the round trips do not reach.
TEST(BignumTest, ModularEdges) {
  // Modulo 1 everything is 0; b^0 is 1 otherwise.
  const Number unit = {1}, seven = {7}, zero = {0};
  Number small(1);
  modExp(small.data(), seven.data(), zero.data(), 1, unit.data(), 1);
  EXPECT_EQ(small[0], 0u);
  modExp(small.data(), seven.data(), zero.data(), 1, seven.data(), 1);
  EXPECT_EQ(small[0], 1u);

  // gcd(2^64 x 15, 2^32 x 35) = 2^32 x 5 and gcd(2^64 x 15, 35) = 5: no
  // inverse, and a zero result.
  const Number a = {0, 0, 15};
  for (const auto& [b, expected] : {std::pair<Number, Number>{{0, 35, 0}, {0, 5, 0}}, {{35, 0, 0}, {5, 0, 0}}}) {
    Number g(3), inverse(3, 7);
    gcd(g.data(), a.data(), b.data(), 3);
    EXPECT_EQ(g, expected);
    EXPECT_FALSE(modInverse(inverse.data(), a.data(), b.data(), 3));
    EXPECT_TRUE(isZero(inverse.data(), 3));
  }
}

}  // namespace
}  // namespace kestrin::bignum
