// Our cipher against OpenSSL's Blowfish in ECB mode.  OpenSSL reads each
// half most significant byte first, so blocks are converted at the border.
#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/blowfish.h>

#include <cstring>
#include <random>

#include "crypto/blowfish.h"

namespace kestrin {
namespace {

void reverseHalves(std::uint8_t* block) {
  std::swap(block[0], block[3]);
  std::swap(block[1], block[2]);
  std::swap(block[4], block[7]);
  std::swap(block[5], block[6]);
}

TEST(BlowfishOpenSslTest, RandomKeysAndBlocksAgree) {
  std::mt19937 generator(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 400; ++round) {
    const int length = 1 + round % 32;
    std::uint8_t keyBytes[32];
    for (int i = 0; i < length; ++i) keyBytes[i] = static_cast<std::uint8_t>(byte(generator));
    BlowfishKey ours;
    ASSERT_TRUE(blowfishSetKey(ours, keyBytes, length));
    BF_KEY theirs;
    BF_set_key(&theirs, length, keyBytes);
    ASSERT_EQ(std::memcmp(ours.P, theirs.P, sizeof ours.P), 0);
    ASSERT_EQ(std::memcmp(ours.S, theirs.S, sizeof ours.S), 0);

    std::uint8_t clear[64];
    for (auto& b : clear) b = static_cast<std::uint8_t>(byte(generator));
    std::uint8_t cipher[64];
    ASSERT_EQ(blowfishEncipher(ours, cipher, clear, sizeof clear), sizeof clear);
    for (std::size_t offset = 0; offset < sizeof clear; offset += 8) {
      std::uint8_t block[8];
      std::memcpy(block, clear + offset, 8);
      reverseHalves(block);
      BF_ecb_encrypt(block, block, &theirs, BF_ENCRYPT);
      reverseHalves(block);
      ASSERT_EQ(std::memcmp(block, cipher + offset, 8), 0) << "round " << round;
    }
    std::uint8_t back[64];
    blowfishDecipher(ours, back, cipher, sizeof cipher);
    ASSERT_EQ(std::memcmp(back, clear, sizeof clear), 0);
  }
}

}  // namespace
}  // namespace kestrin

#pragma GCC diagnostic pop
