// digestTransform against OpenSSL's MD5 block transform, the independent
// oracle.  MD5_Transform is deprecated in OpenSSL 3 but is exactly the block
// function wanted here.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "digest/digest_transform.h"

namespace kestrin {
namespace {

// The oracle's transform of one block into four state words.
void oracleBlock(std::uint32_t* window, const std::uint8_t* block) {
  MD5_CTX context;
  std::memset(&context, 0, sizeof context);
  context.A = window[0];
  context.B = window[1];
  context.C = window[2];
  context.D = window[3];
  MD5_Transform(&context, block);
  window[0] = context.A;
  window[1] = context.B;
  window[2] = context.C;
  window[3] = context.D;
}

// The mixing rules in their plain form, over the oracle's block function.
void oracleDigest(std::uint32_t* state, std::size_t n, const std::uint8_t* data, std::size_t length) {
  std::size_t p = 0;
  std::size_t w = 0;
  do {
    oracleBlock(state + w % (n - 3), data + p % (length - 63));
    ++w;
    p += 64;
  } while (w + 3 < n || p < length);
}

std::vector<std::uint8_t> randomBytes(std::mt19937& random, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

TEST(DigestTransformOracleTest, SingleBlocksFromTheZeroState) {
  std::mt19937 random(1);
  for (int round = 0; round < 2000; ++round) {
    const std::vector<std::uint8_t> block = randomBytes(random, 64);
    FileDigest ours;
    digestTransform(ours.words, 4, block.data(), 64);
    std::uint32_t theirs[4] = {};
    oracleBlock(theirs, block.data());
    ASSERT_EQ(0, std::memcmp(ours.words, theirs, sizeof theirs)) << round;
  }
}

TEST(DigestTransformOracleTest, RandomLengthsAndStateSizesWrap) {
  std::mt19937 random(3);
  // Whole pages with n = 4, as the library digest runs it, and random
  // lengths and state sizes for the wrap and window rules.
  for (int round = 0; round < 3000; ++round) {
    const bool page = round % 10 == 0;
    const std::size_t n = page ? 4 : 4 + random() % 13;
    const std::size_t length = page ? 4096 : 64 + random() % 1200;
    const std::vector<std::uint8_t> data = randomBytes(random, length);
    std::vector<std::uint32_t> ours(n);
    for (std::uint32_t& word : ours) word = random() % 4 == 0 ? 0 : random();
    std::vector<std::uint32_t> theirs = ours;
    digestTransform(ours.data(), n, data.data(), length);
    oracleDigest(theirs.data(), n, data.data(), length);
    ASSERT_EQ(ours, theirs) << "n=" << n << " length=" << length;
  }
}

TEST(DigestTransformOracleTest, NameDigestIsOneZeroPaddedBlock) {
  std::mt19937 random(4);
  for (int round = 0; round < 500; ++round) {
    std::uint8_t block[64] = {};
    std::string name;
    const std::size_t length = 1 + random() % 31;
    for (std::size_t k = 0; k < length; ++k) {
      const char c = static_cast<char>('A' + random() % 58);  // letters and some punctuation
      name.push_back(c);
      block[k] = static_cast<std::uint8_t>(std::tolower(static_cast<unsigned char>(c)));
    }
    std::uint32_t expected[4] = {};
    oracleBlock(expected, block);
    ASSERT_EQ(nameDigest(name.c_str()), expected[0]) << name;
  }
}

}  // namespace
}  // namespace kestrin
