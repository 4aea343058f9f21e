// Private-key decryption under one fixed small key (e = 3), so that every
// input costs two short exponentiations.  The first byte picks the way in:
// even, the rest is the ciphertext; odd, the rest is the deciphered block,
// enciphered first by the raw public operation, so that the fuzzer shapes
// the padding that the decryption reads and the result can be foretold.
#include <cstdint>
#include <cstring>

#include "support/key_pairs.h"

namespace {

using namespace kestrin;

// What decrypting a block must give, worked out apart from the code.
int expectedStatus(const std::uint8_t* block, std::uint32_t length, std::uint32_t* messageLength) {
  if (block[0] != 0 || block[1] != 2) return kRsaBadBlock;
  const auto* separator = static_cast<const std::uint8_t*>(std::memchr(block + 2, 0, length - 2));
  if (separator == nullptr) return kRsaNoSeparator;
  *messageLength = static_cast<std::uint32_t>(block + length - separator - 1);
  return separator - block < 10 ? kRsaPaddingTooShort : kRsaOk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 2 * kRsaMaxModulusLength) return 0;
  static const testing::KeyPair key = testing::seededKeyPair(128, 1, 0);
  const std::uint32_t modulusLength = rsaModulusLength(key.privateKey.bits);
  std::uint8_t cipher[2 * kRsaMaxModulusLength];
  std::uint32_t length = static_cast<std::uint32_t>(size - 1);
  std::memcpy(cipher, data + 1, length);
  const bool clear = data[0] & 1;
  if (clear && rsaPublicBlock(cipher, &length, data + 1, length, key.publicKey) != kRsaOk) return 0;

  std::uint8_t out[kRsaMaxModulusLength];
  std::uint32_t outLength = UINT32_MAX;
  const int status = rsaPrivateDecrypt(out, &outLength, cipher, length, key.privateKey);
  if (status == kRsaOk && outLength + kRsaBlockOverhead > modulusLength) __builtin_trap();
  if (status != kRsaOk && status != kRsaPaddingTooShort && outLength != UINT32_MAX) __builtin_trap();
  if (!clear) return 0;
  // The block as a number below the modulus, right-aligned.
  std::uint8_t block[kRsaMaxModulusLength] = {};
  const std::size_t taken = size - 1 < modulusLength ? size - 1 : modulusLength;
  std::memcpy(block + modulusLength - taken, data + size - taken, taken);
  std::uint32_t messageLength = UINT32_MAX;
  if (status != expectedStatus(block, modulusLength, &messageLength) || outLength != messageLength ||
      (status == kRsaOk && std::memcmp(out, block + modulusLength - messageLength, messageLength) != 0))
    __builtin_trap();
  return 0;
}
