// digestTransform against OpenSSL's MD5 block transform, the independent
// oracle.  MD5_Transform is deprecated in OpenSSL 3 but is exactly the block
// function wanted here.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
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

TEST(DigestTransformOracleTest, RandomLengthsAndStateSizesWrap) {
  std::mt19937 random(3);
  // Single blocks and whole pages with n = 4, as the name and library
  // digests run it, and random lengths and state sizes for the wrap and
  // window rules.
  for (int round = 0; round < 3000; ++round) {
    const bool plain = round % 5 == 0;
    const std::size_t n = plain ? 4 : 4 + random() % 13;
    const std::size_t length = plain ? (round % 2 == 0 ? 64 : 4096) : 64 + random() % 1200;
    std::vector<std::uint8_t> data(length);
    for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(random());
    std::vector<std::uint32_t> ours(n);
    for (std::uint32_t& word : ours) word = random() % 4 == 0 ? 0 : random();
    std::vector<std::uint32_t> theirs = ours;
    digestTransform(ours.data(), n, data.data(), length);
    // The mixing rules in their plain form, over the oracle's block function.
    std::size_t p = 0, w = 0;
    do {
      oracleBlock(theirs.data() + w % (n - 3), data.data() + p % (length - 63));
      ++w;
      p += 64;
    } while (w + 3 < n || p < length);
    ASSERT_EQ(ours, theirs) << "n=" << n << " length=" << length;
  }
}

}  // namespace
}  // namespace kestrin
