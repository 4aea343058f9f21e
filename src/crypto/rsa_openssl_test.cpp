// The multi-precision product and division, and RSA, against OpenSSL: key
// generation, the key check, encryption and decryption both ways.  Modular
// powers, greatest common divisors and inverses are pinned by the keys and
// round trips.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/rsa.h"
#include "support/openssl_rsa.h"
#include "support/scripted_random.h"

namespace kestrin {
namespace {

using bignum::Digit;
using bignum::kMaxDigits;
using Bytes = std::vector<std::uint8_t>;
using testing::Bn;
using testing::BnCtx;

Bn toBn(const Digit* a, int digits) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(digits) * 4);
  bignum::encode(bytes.data(), bytes.size(), a, digits);
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

std::vector<Digit> randomNumber(std::mt19937& generator, int significant) {
  std::vector<Digit> a(kMaxDigits * 2, 0);
  for (int i = 0; i < significant; ++i) {
    const unsigned kind = generator() % 5;
    a[i] = kind == 0 ? 0xFFFFFFFFu : kind == 1 ? 0 : static_cast<Digit>(generator());
  }
  if (significant > 0 && a[significant - 1] == 0) a[significant - 1] = 0x80000001u;
  return a;
}

TEST(BignumOpenSslTest, ProductsAndQuotientsAgreeWithBn) {
  std::mt19937 generator(77);
  BnCtx ctx(BN_CTX_new());
  for (int round = 0; round < 600; ++round) {
    SCOPED_TRACE(round);
    const int digits = 1 + round % kMaxDigits;
    const auto b = randomNumber(generator, 1 + static_cast<int>(generator() % digits));
    const auto c = randomNumber(generator, 1 + static_cast<int>(generator() % digits));
    const auto d = randomNumber(generator, 1 + static_cast<int>(generator() % digits));
    const Bn bnB = toBn(b.data(), digits), bnC = toBn(c.data(), digits), bnD = toBn(d.data(), digits);
    Bn expected(BN_new());

    std::vector<Digit> product(2 * digits);
    bignum::multiply(product.data(), b.data(), c.data(), digits);
    ASSERT_TRUE(BN_mul(expected.get(), bnB.get(), bnC.get(), ctx.get()));
    ASSERT_EQ(BN_cmp(toBn(product.data(), 2 * digits).get(), expected.get()), 0);

    std::vector<Digit> quotient(2 * digits), remainder(digits);
    bignum::divide(quotient.data(), remainder.data(), product.data(), 2 * digits, d.data(), digits);
    Bn expectedRemainder(BN_new());
    ASSERT_TRUE(BN_div(expected.get(), expectedRemainder.get(), toBn(product.data(), 2 * digits).get(),
                       bnD.get(), ctx.get()));
    ASSERT_EQ(BN_cmp(toBn(quotient.data(), 2 * digits).get(), expected.get()), 0);
    ASSERT_EQ(BN_cmp(toBn(remainder.data(), digits).get(), expectedRemainder.get()), 0);
  }
}

void checkBothDirections(const RsaPublicKey& pub, const RsaPrivateKey& key, EVP_PKEY* theirs,
                         std::mt19937& generator) {
  testing::ScriptedRandom random(generator());
  const std::uint32_t modulusLength = rsaModulusLength(pub.bits);
  for (std::uint32_t length : {0u, 1u, 44u, modulusLength - 11}) {
    SCOPED_TRACE(length);
    Bytes message(length);
    for (auto& b : message) b = static_cast<std::uint8_t>(generator());
    std::uint8_t out[kRsaMaxModulusLength];
    std::uint32_t outLength = 0;
    ASSERT_EQ(rsaPublicEncrypt(out, &outLength, message.data(), length, pub, random), kRsaOk);
    EXPECT_EQ(testing::openSslCrypt(theirs, false, Bytes(out, out + outLength)), message);

    const Bytes cipher = testing::openSslCrypt(theirs, true, message);
    ASSERT_EQ(cipher.size(), modulusLength);
    ASSERT_EQ(rsaPrivateDecrypt(out, &outLength, cipher.data(), modulusLength, key), kRsaOk);
    EXPECT_EQ(Bytes(out, out + outLength), message);
  }
}

TEST(RsaOpenSslTest, OurKeysPassTheKeyCheckAndInteroperate) {
  std::mt19937 generator(510);
  BnCtx ctx(BN_CTX_new());
  for (const RsaKeyRequest request : {RsaKeyRequest{510, 1}, RsaKeyRequest{510, 0},
                                      RsaKeyRequest{1024, 1}, RsaKeyRequest{1024, 0}}) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(::testing::Message() << request.bits << " bits, fermat4 " << request.useFermat4);
      RsaPublicKey pub;
      RsaPrivateKey key;
      testing::ScriptedRandom random(generator());
      ASSERT_EQ(rsaGenerateKeyPair(pub, key, request, random), kRsaOk);
      const testing::Pkey theirs = testing::toOpenSsl(key);
      ASSERT_TRUE(theirs);
      EXPECT_EQ(EVP_PKEY_get_bits(theirs.get()), static_cast<int>(request.bits));
      testing::PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, theirs.get(), nullptr));
      EXPECT_EQ(EVP_PKEY_check(check.get()), 1);
      for (const auto& prime : key.prime) {
        EXPECT_EQ(BN_check_prime(testing::fieldBn(prime, 64).get(), ctx.get(), nullptr), 1);
      }
      checkBothDirections(pub, key, theirs.get(), generator);
    }
  }
}

}  // namespace
}  // namespace kestrin
