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

// Random digits with runs of all-zero and all-one digits, which exercise
// the carries.
Number randomNumber(std::mt19937& generator, int digits, int significant) {
  Number a(digits, 0);
  for (int i = 0; i < significant; ++i) {
    switch (generator() % 4) {
      case 0:
        a[i] = 0xFFFFFFFFu;
        break;
      case 1:
        a[i] = generator() % 2 == 0 ? 0 : 0x80000000u;
        break;
      default:
        a[i] = static_cast<Digit>(generator());
    }
  }
  if (significant > 0 && a[significant - 1] == 0) a[significant - 1] = 1;
  return a;
}

TEST(BignumTest, DecodeAndEncodeAreBigEndianRightAligned) {
  const std::uint8_t bytes[] = {0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
  Digit a[2];
  ASSERT_TRUE(decode(a, 2, bytes, sizeof bytes));
  EXPECT_EQ(a[0], 0x02030405u);
  EXPECT_EQ(a[1], 0x01u);
  EXPECT_EQ(bitCount(a, 2), 33);
  EXPECT_EQ(digitCount(a, 2), 2);

  std::uint8_t out[8];
  ASSERT_TRUE(encode(out, sizeof out, a, 2));
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8),
            (std::vector<std::uint8_t>{0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05}));
  ASSERT_TRUE(encode(out, 5, a, 2));
  EXPECT_FALSE(encode(out, 4, a, 2));
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), std::vector<std::uint8_t>(4, 0));

  // A non-zero byte beyond the capacity does not fit; zero bytes do.
  const std::uint8_t wide[] = {0x00, 0x00, 0x07, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  ASSERT_TRUE(decode(a, 2, wide + 1, sizeof wide - 1 - 2));
  EXPECT_FALSE(decode(a, 2, wide, sizeof wide));
  EXPECT_TRUE(isZero(a, 2));
  ASSERT_TRUE(decode(a, 2, wide, 3));
  EXPECT_EQ(a[0], 0x07u);
}

TEST(BignumTest, SumsAndDifferencesWrapWithinTheDigitCount) {
  const Number ones = mersenne(64, 2);
  Number one = {1, 0}, sum(2), back(2);
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
  // Fermat's little theorem for the Mersenne primes 2^127 - 1 and 2^521 - 1:
  // a^p = a and a^(p-1) = 1.  Both odd, so worked in Montgomery form.
  std::mt19937 generator(5);
  for (int bits : {127, 521}) {
    const int digits = (bits + 31) / 32;
    const Number p = mersenne(bits, digits);
    Number pLess = p;
    subtractDigit(pLess.data(), p.data(), 1, digits);
    Number one(digits, 0);
    one[0] = 1;
    for (int round = 0; round < 4; ++round) {
      Number a = randomNumber(generator, digits, digits - 1);
      Number result(digits);
      modExp(result.data(), a.data(), p.data(), digits, p.data(), digits);
      EXPECT_EQ(result, a) << bits;
      modExp(result.data(), a.data(), pLess.data(), digits, p.data(), digits);
      EXPECT_EQ(result, one) << bits;
    }
  }

  // An even modulus, 2^64: the classic path against native arithmetic.
  const Number modulus = {0, 0, 1};
  for (std::uint64_t base : {3ull, 0x123456789ABCDEFull, 0xFFFFFFFFFFFFFFFFull}) {
    for (std::uint64_t exponent : {0ull, 1ull, 2ull, 65537ull, 0xFEDCBA9876543210ull}) {
      std::uint64_t expected = 1, square = base;
      for (std::uint64_t e = exponent; e != 0; e >>= 1) {
        if (e & 1) expected *= square;
        square *= square;
      }
      const Number b = {static_cast<Digit>(base), static_cast<Digit>(base >> 32), 0};
      const Number e = {static_cast<Digit>(exponent), static_cast<Digit>(exponent >> 32)};
      Number result(3);
      modExp(result.data(), b.data(), e.data(), 2, modulus.data(), 3);
      EXPECT_EQ(result, (Number{static_cast<Digit>(expected), static_cast<Digit>(expected >> 32), 0}))
          << base << "^" << exponent;
    }
  }

  // Modulo 1 everything is 0; b^0 is 1 otherwise.
  const Number one = {1}, seven = {7}, zero = {0};
  Number result(1);
  modExp(result.data(), seven.data(), zero.data(), 1, one.data(), 1);
  EXPECT_EQ(result[0], 0u);
  modExp(result.data(), seven.data(), seven.data(), 1, one.data(), 1);
  EXPECT_EQ(result[0], 0u);
  modExp(result.data(), seven.data(), zero.data(), 1, seven.data(), 1);
  EXPECT_EQ(result[0], 1u);
}

TEST(BignumTest, GcdAndInverse) {
  // gcd(2^64 x 15, 2^32 x 35) = 2^32 x 5.
  const Number a = {0, 0, 15}, b = {0, 35, 0};
  Number g(3);
  gcd(g.data(), a.data(), b.data(), 3);
  EXPECT_EQ(g, (Number{0, 5, 0}));
  Number inverse(3, 7);
  EXPECT_FALSE(modInverse(inverse.data(), a.data(), b.data(), 3));
  EXPECT_TRUE(isZero(inverse.data(), 3));

  const Number p = mersenne(127, 4);
  std::mt19937 generator(11);
  for (int round = 0; round < 20; ++round) {
    const Number x = randomNumber(generator, 4, 1 + round % 4);
    Number y(4), product(4);
    ASSERT_TRUE(modInverse(y.data(), x.data(), p.data(), 4));
    ASSERT_LT(compare(y.data(), p.data(), 4), 0);
    modMultiply(product.data(), x.data(), y.data(), p.data(), 4);
    EXPECT_EQ(product, (Number{1, 0, 0, 0})) << round;
  }
  // The RSA case: 65537^-1 mod an even number.
  const Number phi = {0xFFFFFFFEu, 0x12345678u};
  const Number e = {65537, 0};
  Number d(2), check(2);
  ASSERT_TRUE(modInverse(d.data(), e.data(), phi.data(), 2));
  modMultiply(check.data(), e.data(), d.data(), phi.data(), 2);
  EXPECT_EQ(check, (Number{1, 0}));
}

}  // namespace
}  // namespace kestrin::bignum
