// Feeds arbitrary ciphertexts to the private-key decryption under one fixed
// 510-bit key.
#include <cstdint>
#include <cstring>

#include "crypto/random_source.h"
#include "crypto/rsa.h"

namespace {

// A fixed byte stream, so that every run uses the same key.
struct FixedStream final : kestrin::RandomSource {
  std::uint64_t state = 510;
  bool fill(std::uint8_t* out, std::size_t length) override {
    for (std::size_t i = 0; i < length; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      out[i] = static_cast<std::uint8_t>(state >> 56);
    }
    return true;
  }
};

struct FixedKey {
  kestrin::RsaPublicKey publicKey{};
  kestrin::RsaPrivateKey privateKey{};
  FixedKey() {
    FixedStream stream;
    if (kestrin::rsaGenerateKeyPair(publicKey, privateKey, {510, 1}, stream) != kestrin::kRsaOk) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FixedKey key;
  const std::uint32_t modulusLength = kestrin::rsaModulusLength(key.privateKey.bits);
  const std::uint32_t length = size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(size);

  std::uint8_t out[kestrin::kRsaMaxModulusLength];
  std::uint32_t outLength = UINT32_MAX;
  const int status = kestrin::rsaPrivateDecrypt(out, &outLength, data, length, key.privateKey);
  if (status == kestrin::kRsaOk && outLength + kestrin::kRsaBlockOverhead > modulusLength) __builtin_trap();
  if (status != kestrin::kRsaOk && status != kestrin::kRsaPaddingTooShort && outLength != UINT32_MAX) {
    __builtin_trap();
  }

  std::uint32_t blockLength = 0;
  if (kestrin::rsaPrivateBlock(out, &blockLength, data, length, key.privateKey) == kestrin::kRsaOk) {
    // The raw block undoes the public operation.
    std::uint8_t again[kestrin::kRsaMaxModulusLength];
    std::uint32_t againLength = 0;
    if (kestrin::rsaPublicBlock(again, &againLength, out, blockLength, key.publicKey) != kestrin::kRsaOk ||
        againLength != modulusLength) {
      __builtin_trap();
    }
    // The input as a number, right-aligned in modulus-length bytes.
    const std::uint8_t* tail = data;
    std::uint32_t tailLength = length;
    for (; tailLength > modulusLength; ++tail, --tailLength) {
      if (*tail != 0) __builtin_trap();
    }
    const std::uint32_t skip = modulusLength - tailLength;
    for (std::uint32_t i = 0; i < skip; ++i) {
      if (again[i] != 0) __builtin_trap();
    }
    if (tailLength > 0 && std::memcmp(again + skip, tail, tailLength) != 0) __builtin_trap();
  }
  return 0;
}
