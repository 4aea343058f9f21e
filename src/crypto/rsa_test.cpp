#include "crypto/rsa.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "crypto/bignum.h"
#include "crypto/prime_search.h"
#include "support/key_pairs.h"

namespace kestrin {
namespace {

using testing::Bytes;
using testing::KeyPair;
using testing::ScriptedRandom;

// One 510-bit key shared by the tests that only use it.
const KeyPair& serverKey() {
  static const KeyPair pair = testing::seededKeyPair(510, 42);
  return pair;
}

Bytes pattern(std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 29 + 3);
  return bytes;
}

// A big-endian field as a number of kMaxDigits digits.
std::vector<bignum::Digit> numberOf(const std::uint8_t* field, std::size_t size) {
  std::vector<bignum::Digit> n(bignum::kMaxDigits);
  bignum::decode(n.data(), bignum::kMaxDigits, field, size);
  return n;
}
int bitsOf(const std::uint8_t* field, std::size_t size) {
  return bignum::bitCount(numberOf(field, size).data(), bignum::kMaxDigits);
}

// Encrypts `message` under the pair's public key and decrypts it again.
void expectRoundTrip(const KeyPair& pair, const Bytes& message, RandomSource& random) {
  std::uint8_t cipher[kRsaMaxModulusLength], plain[kRsaMaxModulusLength];
  std::uint32_t cipherLength = 0, plainLength = 0;
  ASSERT_EQ(rsaPublicEncrypt(cipher, &cipherLength, message.data(), static_cast<std::uint32_t>(message.size()),
                             pair.publicKey, random),
            kRsaOk);
  EXPECT_EQ(cipherLength, rsaModulusLength(pair.publicKey.bits));
  ASSERT_EQ(rsaPrivateDecrypt(plain, &plainLength, cipher, cipherLength, pair.privateKey), kRsaOk);
  EXPECT_EQ(Bytes(plain, plain + plainLength), message);
}

// Enciphers a block built by hand, for the decryption checks.
Bytes rawCipher(const KeyPair& pair, const Bytes& block) {
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t length = 0;
  EXPECT_EQ(rsaPublicBlock(out, &length, block.data(), static_cast<std::uint32_t>(block.size()), pair.publicKey),
            kRsaOk);
  return Bytes(out, out + length);
}

TEST(RsaKeyTest, GeneratedKeysHaveTheRequestedShape) {
  struct Case {
    std::uint32_t bits;
    std::int32_t useFermat4;
  };
  for (const Case c : {Case{510, 1}, Case{433, 1}, Case{512, 0}, Case{777, 0}}) {
    SCOPED_TRACE(c.bits);
    const KeyPair pair = testing::seededKeyPair(c.bits, c.bits, c.useFermat4);
    const RsaPublicKey& pub = pair.publicKey;
    const RsaPrivateKey& key = pair.privateKey;
    ASSERT_EQ(pub.bits, c.bits);
    EXPECT_EQ(key.bits, c.bits);
    EXPECT_EQ(bitsOf(pub.modulus, sizeof pub.modulus), static_cast<int>(c.bits));
    EXPECT_EQ(Bytes(pub.exponent + 125, pub.exponent + 128), (c.useFermat4 ? Bytes{1, 0, 1} : Bytes{0, 0, 3}));
    EXPECT_EQ(bitsOf(pub.exponent, sizeof pub.exponent), c.useFermat4 ? 17 : 2);
    // The larger prime first; each has its top two bits set.
    EXPECT_GT(std::memcmp(key.prime[0], key.prime[1], kRsaPrimeSize), 0);
    const int primeBits[2] = {static_cast<int>(c.bits + 1) / 2, static_cast<int>(c.bits) / 2};
    for (int i = 0; i < 2; ++i) {
      const auto p = numberOf(key.prime[i], kRsaPrimeSize);
      EXPECT_EQ(bignum::bitCount(p.data(), bignum::kMaxDigits), primeBits[i]);
      const int second = primeBits[i] - 2;
      EXPECT_EQ((p[second / 32] >> (second % 32)) & 1, 1u);
    }
    const std::uint32_t modulusLength = rsaModulusLength(pub.bits);
    EXPECT_TRUE(rsaValidatePublicKey(pub, modulusLength - 11));
    ScriptedRandom random(c.bits);
    expectRoundTrip(pair, pattern(modulusLength - 11), random);
  }
}

TEST(RsaKeyTest, RefusalsLeaveBothRecordsUnchanged) {
  KeyPair pair;
  std::memset(&pair.publicKey, 0xA5, sizeof pair.publicKey);
  std::memset(&pair.privateKey, 0xA5, sizeof pair.privateKey);
  const KeyPair untouched = pair;
  for (std::uint32_t bits : {0u, 39u, 1025u, 65536u}) {
    ScriptedRandom random;
    EXPECT_EQ(rsaGenerateKeyPair(pair.publicKey, pair.privateKey, {bits, 1}, random), kRsaBitsOutOfRange) << bits;
    EXPECT_EQ(random.drawn(), 0u);
  }
  // 40 bits: 20-bit primes from 786432 to 1048575.  A start drawn at the top
  // (1048575 = 3 x 349525) has nowhere left to search.
  ScriptedRandom top;
  top.script({0x01, 0x03, 0xFF, 0xFF});
  EXPECT_EQ(rsaGenerateKeyPair(pair.publicKey, pair.privateKey, {40, 1}, top), kRsaNoPrime);
  ScriptedRandom failing;
  failing.failAfter(40);  // the second prime's draw fails
  EXPECT_EQ(rsaGenerateKeyPair(pair.publicKey, pair.privateKey, {510, 1}, failing), kRsaRandomFailed);
  EXPECT_EQ(std::memcmp(&pair.publicKey, &untouched.publicKey, sizeof pair.publicKey), 0);
  EXPECT_EQ(std::memcmp(&pair.privateKey, &untouched.privateKey, sizeof pair.privateKey), 0);
}

TEST(RsaKeyTest, EqualPrimesAreDrawnAgain) {
  // Both searches start at 1048573, the largest 20-bit prime; q is drawn
  // again from the stream.
  ScriptedRandom random;
  random.script({0x01, 0x03, 0xFF, 0xFD, 0x01, 0x03, 0xFF, 0xFD});
  KeyPair pair{};
  ASSERT_EQ(rsaGenerateKeyPair(pair.publicKey, pair.privateKey, {40, 1}, random), kRsaOk);
  const auto p = numberOf(pair.privateKey.prime[0], kRsaPrimeSize);
  const auto q = numberOf(pair.privateKey.prime[1], kRsaPrimeSize);
  const auto n = numberOf(pair.publicKey.modulus, kRsaNumberSize);
  EXPECT_EQ(p[0], 1048573u);
  EXPECT_NE(q[0], p[0]);
  EXPECT_EQ(std::uint64_t{p[0]} * q[0], (std::uint64_t{n[1]} << 32) | n[0]);
}

TEST(PrimeSearchTest, TrialDivisionThenFermat) {
  bignum::Digit prime[1];
  // A start equal to a small prime passes its own trial division.
  const bignum::Digit low7[1] = {3}, high7[1] = {101};
  ScriptedRandom seven;
  seven.script({0x01, 0x01, 0x01, 0x3F});
  ASSERT_EQ(findPrime(prime, low7, high7, 1, seven), PrimeSearch::kFound);
  EXPECT_EQ(prime[0], 7u);

  // 341 = 11 x 31 fools the Fermat test alone; trial division rejects it,
  // and 343 and 345, before 347.  Zero bytes are discarded from the draw.
  const bignum::Digit pseudo[1] = {341};
  EXPECT_TRUE(fermatTest(pseudo, 1));
  const bignum::Digit low[1] = {341}, high[1] = {349};
  for (const Bytes& draw : {Bytes{0x01, 0x01, 0x01, 0x06}, Bytes{0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x06}}) {
    ScriptedRandom start;
    start.script(draw);
    ASSERT_EQ(findPrime(prime, low, high, 1, start), PrimeSearch::kFound);
    EXPECT_EQ(prime[0], 347u);
  }
}

TEST(RsaCryptTest, DecryptionRejectsMalformedBlocks) {
  const KeyPair& pair = serverKey();
  std::uint8_t plain[kRsaMaxModulusLength];
  std::uint32_t plainLength = 99;
  auto decrypt = [&](const Bytes& cipher, std::uint32_t length = 64) {
    return rsaPrivateDecrypt(plain, &plainLength, cipher.data(), length, pair.privateKey);
  };
  auto decryptBlock = [&](const Bytes& block) { return decrypt(rawCipher(pair, block)); };

  EXPECT_EQ(decrypt(Bytes(65, 0x01), 65), kRsaCipherTooLong);
  Bytes block(64, 0x5A);
  block[0] = 0x00;
  block[1] = 0x01;
  block[40] = 0x00;
  EXPECT_EQ(decryptBlock(block), kRsaBadBlock);
  block[0] = 0x01;
  block[1] = 0x02;
  EXPECT_EQ(decryptBlock(block), kRsaBadBlock);
  block[0] = 0x00;
  // Not below the modulus.
  EXPECT_EQ(decrypt(Bytes(pair.publicKey.modulus + 64, pair.publicKey.modulus + 128)), kRsaBadBlock);
  // Shorter ciphertexts are numbers like any other: 0 is no 00 02 block.
  EXPECT_EQ(decrypt(block, 0), kRsaBadBlock);

  // No zero byte from index 2 on.
  block[1] = 0x02;
  block[40] = 0x5A;
  EXPECT_EQ(decryptBlock(block), kRsaNoSeparator);
  EXPECT_EQ(plainLength, 99u);
  // A zero in the last byte only: the empty message.
  block[63] = 0x00;
  EXPECT_EQ(decryptBlock(block), kRsaOk);
  EXPECT_EQ(plainLength, 0u);
  // Separator at index 9: seven padding bytes.
  block[9] = 0x00;
  EXPECT_EQ(decryptBlock(block), kRsaPaddingTooShort);
  EXPECT_EQ(plainLength, 54u);
  // Separator at index 10: eight padding bytes are enough.
  block[9] = 0x5A;
  block[10] = 0x00;
  EXPECT_EQ(decryptBlock(block), kRsaOk);
  EXPECT_EQ(plainLength, 53u);
}

TEST(RsaCryptTest, InconsistentKeysAndFailingSourcesAreRefusedWithoutOverrun) {
  const KeyPair& pair = serverKey();
  const Bytes message = pattern(44);
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  ScriptedRandom random;

  RsaPublicKey pub = pair.publicKey;
  pub.bits = 1025;
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, message.data(), 20, pub, random), kRsaKeyUnusable);
  EXPECT_EQ(rsaPublicBlock(out, &outLength, message.data(), 20, pub), kRsaKeyUnusable);
  pub.bits = 509;  // the modulus has 510 bits
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, message.data(), 20, pub, random), kRsaKeyUnusable);
  // A modulus well below its bits field: the block itself is too large.
  pub.bits = 1024;
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, message.data(), 20, pub, random), kRsaBlockTooLarge);
  Bytes huge(200, 0);
  huge[0] = 1;
  EXPECT_EQ(rsaPublicBlock(out, &outLength, huge.data(), 200, pub), kRsaBlockTooLarge);

  // 510 bits carry at most 53 bytes.
  const Bytes tooLong = pattern(54);
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, tooLong.data(), 54, pair.publicKey, random), kRsaInputTooLong);
  ScriptedRandom failing;
  failing.failAfter(0);
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, message.data(), 44, pair.publicKey, failing), kRsaRandomFailed);
  ScriptedRandom zeros;
  zeros.onlyZeros();
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, message.data(), 44, pair.publicKey, zeros), kRsaRandomFailed);
  EXPECT_EQ(outLength, 0u);

  RsaPrivateKey key = pair.privateKey;
  key.bits = 1025;
  EXPECT_EQ(rsaPrivateDecrypt(out, &outLength, message.data(), 20, key), kRsaKeyUnusable);
  key = pair.privateKey;
  std::memset(key.prime[1], 0, sizeof key.prime[1]);
  EXPECT_EQ(rsaPrivateDecrypt(out, &outLength, message.data(), 20, key), kRsaKeyUnusable);
  // A short bits field over a smaller modulus: the CRT result, below p q,
  // does not fit in 50 bytes.
  key = pair.privateKey;
  key.bits = 400;
  std::memset(key.modulus, 0, sizeof key.modulus);
  key.modulus[78] = 0x80;
  const Bytes cipher = pattern(50);
  EXPECT_EQ(rsaPrivateBlock(out, &outLength, cipher.data(), 50, key), kRsaBlockLength);
  EXPECT_EQ(rsaPrivateDecrypt(out, &outLength, cipher.data(), 50, key), kRsaBlockLength);
  EXPECT_EQ(outLength, 0u);
}

TEST(RsaWireTest, KeyRecordBoundsAndValidation) {
  const RsaPublicKey& server = serverKey().publicKey;
  std::uint8_t wireBytes[kRsaPublicKeySize];
  std::memset(wireBytes, 0xEE, sizeof wireBytes);
  EXPECT_FALSE(writeRsaPublicKey(server, wireBytes, kRsaPublicKeySize - 1));
  EXPECT_EQ(wireBytes[0], 0xEE);
  ASSERT_TRUE(writeRsaPublicKey(server, wireBytes, kRsaPublicKeySize));
  RsaPublicKey read{};
  EXPECT_FALSE(readRsaPublicKey(wireBytes, kRsaPublicKeySize - 1, read));
  EXPECT_EQ(read.bits, 0);
  ASSERT_TRUE(readRsaPublicKey(wireBytes, kRsaPublicKeySize, read));
  EXPECT_EQ(std::memcmp(&read, &server, sizeof read), 0);

  // 510 bits carry at most 53 bytes, 432 bits at most 43.
  const KeyPair short432 = testing::seededKeyPair(432, 432);
  auto with = [&](auto change) {
    RsaPublicKey key = server;
    change(key);
    return key;
  };
  auto exponent = [&](std::uint8_t e) {
    return with([e](RsaPublicKey& key) { key.exponent[125] = 0, key.exponent[127] = e; });
  };
  struct Case {
    const char* name;
    RsaPublicKey key;
    std::uint32_t payload;
    bool valid;
  };
  const Case cases[] = {
      {"510 bits, 44", server, 44, true},
      {"510 bits, 53", server, 53, true},
      {"510 bits, 54", server, 54, false},
      {"432 bits, 44", short432.publicKey, 44, false},
      {"432 bits, 43", short432.publicKey, 43, true},
      {"1100 bits", with([](RsaPublicKey& key) { key.bits = 1100; }), 44, false},
      {"modulus shorter than claimed", with([](RsaPublicKey& key) { key.bits = 511; }), 44, false},
      {"even modulus", with([](RsaPublicKey& key) { key.modulus[127] ^= 1; }), 44, false},
      {"e = 1", exponent(1), 44, false},
      {"e = 4", exponent(4), 44, false},
      {"e = 3", exponent(3), 44, true},
  };
  for (const Case& c : cases) EXPECT_EQ(rsaValidatePublicKey(c.key, c.payload), c.valid) << c.name;
}

TEST(RandomSourceTest, NonZeroDrawsSkipZerosAndStopOnFailure) {
  ScriptedRandom random;
  random.script({0, 1, 0, 0, 2, 3, 0, 4, 5});
  std::uint8_t out[4];
  ASSERT_TRUE(drawNonZeroBytes(random, out, 4));
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
  ScriptedRandom zeros;
  zeros.onlyZeros();
  EXPECT_FALSE(drawNonZeroBytes(zeros, out, 4));
  ScriptedRandom failing;
  failing.failAfter(2);
  EXPECT_FALSE(drawNonZeroBytes(failing, out, 4));

  // The system's generator: two draws differ, and zero bytes are left out.
  std::uint8_t a[4096], b[4096];
  ASSERT_TRUE(systemRandomSource().fill(a, sizeof a));
  ASSERT_TRUE(drawNonZeroBytes(systemRandomSource(), b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  EXPECT_EQ(std::count(b, b + sizeof b, 0), 0);
}

}  // namespace
}  // namespace kestrin
