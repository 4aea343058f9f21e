#include "crypto/bignum.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/modular.h"

namespace kestrin::bignum {
namespace {

using Number = std::vector<Digit>;

// 2^bits - 1.
Number mersenne(int bits, int digits) {
  Number a(digits, 0);
  for (int bit = 0; bit < bits; ++bit) a[bit / 32] |= Digit{1} << (bit % 32);
  return a;
}

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

TEST(BignumTest, SumsDifferencesAndShiftsWrapWithinTheDigitCount) {
  const Number ones = mersenne(64, 2);
  const Number one = {1, 0};
  Number sum(2), back(2);
  EXPECT_EQ(add(sum.data(), ones.data(), one.data(), 2), 1u);
  EXPECT_TRUE(isZero(sum.data(), 2));
  EXPECT_EQ(subtract(back.data(), sum.data(), one.data(), 2), 1u);
  EXPECT_EQ(back, ones);
  EXPECT_EQ(addDigit(sum.data(), ones.data(), 2, 2), 1u);
  EXPECT_EQ(sum, (Number{1, 0}));
  EXPECT_EQ(subtractDigit(back.data(), sum.data(), 2, 2), 1u);
  EXPECT_EQ(back, ones);
  EXPECT_EQ(compare(ones.data(), sum.data(), 2), 1);
  EXPECT_EQ(compare(sum.data(), ones.data(), 2), -1);

  Number shifted(2);
  EXPECT_EQ(shiftLeft(shifted.data(), ones.data(), 4, 2), 0xFu);
  EXPECT_EQ(shifted, (Number{0xFFFFFFF0u, 0xFFFFFFFFu}));
  EXPECT_EQ(shiftRight(shifted.data(), shifted.data(), 4, 2), 0u);
  EXPECT_EQ(shifted, (Number{0xFFFFFFFFu, 0x0FFFFFFFu}));
}

TEST(BignumTest, ExponentiationKnownAnswers) {
  // Fermat's little theorem for the Mersenne prime 2^521 - 1: a^p = a and
  // a^(p-1) = 1, worked in Montgomery form.
  std::mt19937 generator(5);
  const Number p = mersenne(521, 17);
  Number pLess(17), one(17, 0), a(17, 0), result(17);
  subtractDigit(pLess.data(), p.data(), 1, 17);
  one[0] = 1;
  for (int i = 0; i < 16; ++i) a[i] = i % 3 == 0 ? 0xFFFFFFFFu : static_cast<Digit>(generator());
  modExp(result.data(), a.data(), p.data(), 17, p.data(), 17);
  EXPECT_EQ(result, a);
  modExp(result.data(), a.data(), pLess.data(), 17, p.data(), 17);
  EXPECT_EQ(result, one);

  // An even modulus, 2^64: the classic path against native arithmetic.
  const Number modulus = {0, 0, 1};
  for (std::uint64_t base : {3ull, 0xFFFFFFFFFFFFFFFFull}) {
    for (std::uint64_t exponent : {0ull, 65537ull, 0xFEDCBA9876543210ull}) {
      std::uint64_t expected = 1, square = base;
      for (std::uint64_t e = exponent; e != 0; e >>= 1, square *= square)
        if (e & 1) expected *= square;
      const Number b = {static_cast<Digit>(base), static_cast<Digit>(base >> 32), 0};
      const Number e = {static_cast<Digit>(exponent), static_cast<Digit>(exponent >> 32)};
      Number power(3);
      modExp(power.data(), b.data(), e.data(), 2, modulus.data(), 3);
      EXPECT_EQ(power, (Number{static_cast<Digit>(expected), static_cast<Digit>(expected >> 32), 0}));
    }
  }

  // Modulo 1 everything is 0; b^0 is 1 otherwise.
  const Number unit = {1}, seven = {7}, zero = {0};
  Number small(1);
  modExp(small.data(), seven.data(), zero.data(), 1, unit.data(), 1);
  EXPECT_EQ(small[0], 0u);
  modExp(small.data(), seven.data(), zero.data(), 1, seven.data(), 1);
  EXPECT_EQ(small[0], 1u);
}

TEST(BignumTest, GcdAndInverse) {
  // gcd(2^64 x 15, 2^32 x 35) = 2^32 x 5: no inverse.
  const Number a = {0, 0, 15}, b = {0, 35, 0};
  Number g(3);
  gcd(g.data(), a.data(), b.data(), 3);
  EXPECT_EQ(g, (Number{0, 5, 0}));
  Number inverse(3, 7);
  EXPECT_FALSE(modInverse(inverse.data(), a.data(), b.data(), 3));
  EXPECT_TRUE(isZero(inverse.data(), 3));

  // The RSA case: 65537^-1 mod an even number.
  const Number phi = {0xFFFFFFFEu, 0x12345678u};
  const Number e = {65537, 0};
  Number d(2), check(2);
  ASSERT_TRUE(modInverse(d.data(), e.data(), phi.data(), 2));
  ASSERT_LT(compare(d.data(), phi.data(), 2), 0);
  modMultiply(check.data(), e.data(), d.data(), phi.data(), 2);
  EXPECT_EQ(check, (Number{1, 0}));
}

}  // namespace
}  // namespace kestrin::bignum
