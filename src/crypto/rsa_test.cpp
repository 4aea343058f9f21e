#include "crypto/rsa.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/prime_search.h"
#include "support/scripted_random.h"

namespace kestrin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ScriptedRandom;

struct KeyPair {
  RsaPublicKey publicKey;
  RsaPrivateKey privateKey;
};

KeyPair generate(std::uint32_t bits, int useFermat4, std::uint64_t seed) {
  KeyPair pair{};
  ScriptedRandom random(seed);
  EXPECT_EQ(rsaGenerateKeyPair(pair.publicKey, pair.privateKey, {bits, useFermat4}, random), kRsaOk);
  return pair;
}

// One 510-bit server key shared by the tests that only use it.
const KeyPair& serverKey() {
  static const KeyPair pair = generate(510, 1, 42);
  return pair;
}

Bytes pattern(std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 29 + 3);
  return bytes;
}

bool allZero(const std::uint8_t* bytes, std::size_t length) {
  return std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == 0; });
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

// A pair whose every byte is 0xA5, to see that a refusal changes nothing.
KeyPair poisoned() {
  KeyPair pair;
  std::memset(&pair, 0xA5, sizeof pair);
  return pair;
}

// Builds a block by hand and enciphers it raw, for the decryption checks.
Bytes rawCipher(const KeyPair& pair, const Bytes& block) {
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t length = 0;
  EXPECT_EQ(rsaPublicBlock(out, &length, block.data(), static_cast<std::uint32_t>(block.size()),
                           pair.publicKey),
            kRsaOk);
  return Bytes(out, out + length);
}

TEST(RsaKeyTest, ServerKeyHasTheDocumentedShape) {
  const KeyPair& pair = serverKey();
  const RsaPublicKey& pub = pair.publicKey;
  EXPECT_EQ(pub.bits, 510);
  EXPECT_TRUE(allZero(pub.modulus, 64));
  EXPECT_GE(pub.modulus[64], 0x24);
  EXPECT_LE(pub.modulus[64], 0x3F);
  EXPECT_TRUE(allZero(pub.exponent, 125));
  EXPECT_EQ(Bytes(pub.exponent + 125, pub.exponent + 128), (Bytes{0x01, 0x00, 0x01}));

  const RsaPrivateKey& key = pair.privateKey;
  EXPECT_EQ(key.bits, 510);
  EXPECT_EQ(std::memcmp(key.modulus, pub.modulus, 128), 0);
  EXPECT_EQ(std::memcmp(key.publicExponent, pub.exponent, 128), 0);
  for (const auto& prime : key.prime) {
    EXPECT_TRUE(allZero(prime, 32));
    EXPECT_GE(prime[32], 0x60);
    EXPECT_LE(prime[32], 0x7F);
    EXPECT_EQ(prime[63] & 1, 1);
  }
  EXPECT_GT(std::memcmp(key.prime[0], key.prime[1], 64), 0);
}

TEST(RsaKeyTest, KeyMaterialComesFromTheGivenSource) {
  const KeyPair a = generate(510, 1, 7);
  const KeyPair b = generate(510, 1, 7);
  const KeyPair c = generate(510, 1, 8);
  EXPECT_EQ(std::memcmp(&a.privateKey, &b.privateKey, sizeof a.privateKey), 0);
  EXPECT_NE(std::memcmp(a.publicKey.modulus, c.publicKey.modulus, 128), 0);
}

TEST(RsaKeyTest, ExponentThreeAndOtherSizesWork) {
  for (std::uint32_t bits : {433u, 511u, 512u, 777u, 1024u}) {
    SCOPED_TRACE(bits);
    const KeyPair pair = generate(bits, bits % 2 == 0 ? 0 : 1, bits);
    EXPECT_EQ(pair.publicKey.bits, bits);
    if (bits % 2 == 0) {
      EXPECT_TRUE(allZero(pair.publicKey.exponent, 127));
      EXPECT_EQ(pair.publicKey.exponent[127], 3);
      // e = 3 needs primes with p - 1 not divisible by 3.
      for (const auto& prime : pair.privateKey.prime) {
        bignum::Digit p[16];
        bignum::decode(p, 16, prime, 64);
        EXPECT_EQ(bignum::remainderDigit(p, 16, 3), 2u);
      }
    }
    const std::uint32_t modulusLength = rsaModulusLength(pair.publicKey.bits);
    EXPECT_TRUE(rsaValidatePublicKey(pair.publicKey, modulusLength - 11));
    ScriptedRandom random(bits);
    expectRoundTrip(pair, pattern(modulusLength - 11), random);
  }
}

TEST(RsaKeyTest, RefusalsLeaveBothRecordsUnchanged) {
  KeyPair pair = poisoned();
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
  const KeyPair untouched = poisoned();
  EXPECT_EQ(std::memcmp(&pair, &untouched, sizeof pair), 0);
}

TEST(RsaKeyTest, EqualPrimesAreDrawnAgain) {
  // Both searches start at 1048573, the largest 20-bit prime; q is drawn
  // again from the stream.
  ScriptedRandom random;
  random.script({0x01, 0x03, 0xFF, 0xFD, 0x01, 0x03, 0xFF, 0xFD});
  KeyPair pair{};
  ASSERT_EQ(rsaGenerateKeyPair(pair.publicKey, pair.privateKey, {40, 1}, random), kRsaOk);
  EXPECT_EQ(Bytes(pair.privateKey.prime[0] + 61, pair.privateKey.prime[0] + 64),
            (Bytes{0x0F, 0xFF, 0xFD}));
  EXPECT_NE(std::memcmp(pair.privateKey.prime[0], pair.privateKey.prime[1], 64), 0);
  EXPECT_GT(random.drawn(), 8u);
  bignum::Digit p[1], q[1], n[2];
  bignum::decode(p, 1, pair.privateKey.prime[0], 64);
  bignum::decode(q, 1, pair.privateKey.prime[1], 64);
  bignum::decode(n, 2, pair.publicKey.modulus, 128);
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
  // and 343 and 345, before 347.
  const bignum::Digit pseudo[1] = {341};
  EXPECT_TRUE(fermatTest(pseudo, 1));
  const bignum::Digit low[1] = {341}, high[1] = {349};
  ScriptedRandom start;
  start.script({0x01, 0x01, 0x01, 0x06});
  ASSERT_EQ(findPrime(prime, low, high, 1, start), PrimeSearch::kFound);
  EXPECT_EQ(prime[0], 347u);

  // Zero bytes are discarded from the draw.
  ScriptedRandom zeros;
  zeros.script({0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x06});
  ASSERT_EQ(findPrime(prime, low, high, 1, zeros), PrimeSearch::kFound);
  EXPECT_EQ(prime[0], 347u);
}

TEST(RsaCryptTest, EveryLengthUpTo53RoundTripsUnder510Bits) {
  const KeyPair& pair = serverKey();
  ScriptedRandom random(3);
  for (std::uint32_t length = 0; length <= 53; ++length) {
    SCOPED_TRACE(length);
    expectRoundTrip(pair, pattern(length), random);
  }
  const Bytes tooLong = pattern(54);
  std::uint8_t cipher[kRsaMaxModulusLength];
  std::uint32_t cipherLength = 77;
  EXPECT_EQ(rsaPublicEncrypt(cipher, &cipherLength, tooLong.data(), 54, pair.publicKey, random),
            kRsaInputTooLong);
  EXPECT_EQ(cipherLength, 77u);
}

TEST(RsaCryptTest, PaddingIsNonZeroBytesOfTheSourceInOrder) {
  const KeyPair& pair = serverKey();
  ScriptedRandom random;
  Bytes script;
  for (int i = 0; i < 17; ++i) {
    script.push_back(0);
    script.push_back(static_cast<std::uint8_t>(0x80 + i));
  }
  random.script(script);
  const Bytes record = pattern(wire::kKeyRecordSize);
  std::uint8_t cipher[kRsaMaxModulusLength], block[kRsaMaxModulusLength];
  std::uint32_t cipherLength = 0, blockLength = 0;
  ASSERT_EQ(rsaPublicEncrypt(cipher, &cipherLength, record.data(), 44, pair.publicKey, random), kRsaOk);
  ASSERT_EQ(rsaPrivateBlock(block, &blockLength, cipher, cipherLength, pair.privateKey), kRsaOk);
  ASSERT_EQ(blockLength, 64u);
  EXPECT_EQ(block[0], 0x00);
  EXPECT_EQ(block[1], 0x02);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(block[2 + i], 0x80 + i) << i;
  EXPECT_EQ(block[19], 0x00);
  EXPECT_EQ(Bytes(block + 20, block + 64), record);
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

TEST(RsaCryptTest, InconsistentKeysAreRefusedWithoutOverrun) {
  const KeyPair& pair = serverKey();
  const Bytes message = pattern(20);
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
  EXPECT_EQ(outLength, 0u);

  RsaPrivateKey key = pair.privateKey;
  key.bits = 1025;
  EXPECT_EQ(rsaPrivateDecrypt(out, &outLength, message.data(), 20, key), kRsaKeyUnusable);
  key = pair.privateKey;
  std::memset(key.prime[1], 0, 64);
  EXPECT_EQ(rsaPrivateDecrypt(out, &outLength, message.data(), 20, key), kRsaKeyUnusable);

  // A short bits field over a smaller modulus: the CRT result, below p q,
  // does not fit in 50 bytes.
  key = pair.privateKey;
  key.bits = 400;
  std::memset(key.modulus, 0, 128);
  key.modulus[78] = 0x80;
  const Bytes cipher = pattern(50);
  EXPECT_EQ(rsaPrivateBlock(out, &outLength, cipher.data(), 50, key), kRsaBlockLength);
  EXPECT_EQ(rsaPrivateDecrypt(out, &outLength, cipher.data(), 50, key), kRsaBlockLength);
  EXPECT_EQ(outLength, 0u);
}

TEST(RsaCryptTest, RandomFailuresAreReported) {
  const KeyPair& pair = serverKey();
  const Bytes record = pattern(44);
  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = 0;
  ScriptedRandom failing;
  failing.failAfter(0);
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, record.data(), 44, pair.publicKey, failing),
            kRsaRandomFailed);
  ScriptedRandom zeros;
  zeros.onlyZeros();
  EXPECT_EQ(rsaPublicEncrypt(out, &outLength, record.data(), 44, pair.publicKey, zeros), kRsaRandomFailed);
  EXPECT_EQ(outLength, 0u);
}

TEST(RsaWireTest, KeyRecordLayoutAndBounds) {
  const RsaPublicKey& key = serverKey().publicKey;
  std::uint8_t wireBytes[wire::kRsaPublicKeySize + 1];
  std::memset(wireBytes, 0xEE, sizeof wireBytes);
  EXPECT_FALSE(writeRsaPublicKey(key, wireBytes, wire::kRsaPublicKeySize - 1));
  EXPECT_EQ(wireBytes[0], 0xEE);
  ASSERT_TRUE(writeRsaPublicKey(key, wireBytes, wire::kRsaPublicKeySize));
  EXPECT_EQ(wireBytes[0], 0xFE);  // 510, little-endian
  EXPECT_EQ(wireBytes[1], 0x01);
  EXPECT_EQ(std::memcmp(wireBytes + 2, key.modulus, 128), 0);
  EXPECT_EQ(std::memcmp(wireBytes + 130, key.exponent, 128), 0);
  EXPECT_EQ(wireBytes[258], 0xEE);

  RsaPublicKey read{};
  EXPECT_FALSE(readRsaPublicKey(wireBytes, wire::kRsaPublicKeySize - 1, read));
  EXPECT_EQ(read.bits, 0);
  ASSERT_TRUE(readRsaPublicKey(wireBytes, wire::kRsaPublicKeySize, read));
  EXPECT_EQ(std::memcmp(&read, &key, sizeof key), 0);
}

TEST(RsaWireTest, ValidationDecidesWhetherAKeyCanCarryTheRecord) {
  const RsaPublicKey& server = serverKey().publicKey;
  EXPECT_TRUE(rsaValidatePublicKey(server, wire::kKeyRecordSize));
  EXPECT_TRUE(rsaValidatePublicKey(server, 53));
  EXPECT_FALSE(rsaValidatePublicKey(server, 54));

  const KeyPair short432 = generate(432, 1, 432);
  EXPECT_FALSE(rsaValidatePublicKey(short432.publicKey, wire::kKeyRecordSize));
  EXPECT_TRUE(rsaValidatePublicKey(short432.publicKey, 43));

  RsaPublicKey key = server;
  key.bits = 1100;
  EXPECT_FALSE(rsaValidatePublicKey(key, 44));
  key.bits = 511;  // modulus shorter than claimed
  EXPECT_FALSE(rsaValidatePublicKey(key, 44));
  key = server;
  key.modulus[127] ^= 1;  // even modulus
  EXPECT_FALSE(rsaValidatePublicKey(key, 44));
  key = server;
  std::memset(key.exponent, 0, 128);
  key.exponent[127] = 1;
  EXPECT_FALSE(rsaValidatePublicKey(key, 44));
  key.exponent[127] = 4;
  EXPECT_FALSE(rsaValidatePublicKey(key, 44));
  key.exponent[127] = 3;
  EXPECT_TRUE(rsaValidatePublicKey(key, 44));
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

  std::uint8_t a[64], b[64];
  ASSERT_TRUE(systemRandomSource().fill(a, sizeof a));
  ASSERT_TRUE(systemRandomSource().fill(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  std::uint8_t many[4096];
  ASSERT_TRUE(drawNonZeroBytes(systemRandomSource(), many, sizeof many));
  EXPECT_EQ(std::count(many, many + sizeof many, 0), 0);
}

}  // namespace
}  // namespace kestrin
